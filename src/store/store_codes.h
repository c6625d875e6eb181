#pragma once
// Result codes of the record store. The numbers are those the rest of the library already
// knows from the message table, so a store failure can be handed on unchanged.
#include <cstdint>
#include <string>

namespace karvex {

inline constexpr std::int32_t kStoreOk = 0;
// The store or a record set could not be opened (also: the key does not open the file).
inline constexpr std::int32_t kStoreNotOpen = 91;
// No current record (BOF/EOF, or the row vanished under the cursor).
inline constexpr std::int32_t kStoreNoCurrentRecord = 3021;
// The field is not a column of the table.
inline constexpr std::int32_t kStoreNoSuchField = 3265;
// A criterion text that is not of the form field = 'text' | number [and ...].
inline constexpr std::int32_t kStoreBadCriterion = 3075;
// A value that does not fit the field's type (text into a number, 300 into a byte ...).
inline constexpr std::int32_t kStoreTypeMismatch = 3464;
// Any other engine failure (disk full, I/O error, locked file ...); details in the error text.
inline constexpr std::int32_t kStoreEngineFailure = 4098;
// A record whose key already exists was refused.
inline constexpr std::int32_t kStoreDuplicateKey = static_cast<std::int32_t>(0x80004005u);
// The compaction destination already exists.
inline constexpr std::int32_t kStoreDestinationExists = static_cast<std::int32_t>(0x80040E17u);

// The composed message that goes with kStoreDuplicateKey.
std::string DuplicateKeyMessage();

}  // namespace karvex
