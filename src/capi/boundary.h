#pragma once
// The edge between the C interface and the C++ control: no exception may cross it, and every failure that
// is not a result code of the control becomes a negative status with a readable reason.
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "karvex/fiscal.h"
#include "karvex/karvex.h"

namespace karvex::capi {

// Stores a reason without letting a failed allocation escape a noexcept path.
inline void SetReason(std::string& reason, std::string_view text, std::string_view detail = {}) noexcept {
    try {
        reason.assign(text);
        reason.append(detail);
    } catch (...) {
        reason.clear();
    }
}

// Runs `call` (which returns a result code) and turns whatever it throws into a KARVEX_ERR_* status, with
// the reason kept in `reason`. `reason` is cleared first, so it only ever explains the current call.
template <class Call>
std::int32_t Guard(std::string& reason, Call&& call) noexcept {
    reason.clear();
    try {
        return call();
    } catch (const ArgumentOverflow& e) {
        SetReason(reason, "argument does not fit its field: ", e.what());
        return KARVEX_ERR_ARGUMENT_OVERFLOW;
    } catch (const std::bad_alloc&) {
        SetReason(reason, "out of memory");
        return KARVEX_ERR_OUT_OF_MEMORY;
    } catch (const std::exception& e) {
        SetReason(reason, "internal failure: ", e.what());
        return KARVEX_ERR_INTERNAL;
    } catch (...) {
        SetReason(reason, "internal failure of unknown kind");
        return KARVEX_ERR_INTERNAL;
    }
}

}  // namespace karvex::capi
