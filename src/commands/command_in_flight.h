#pragma once
// One command from its start to the end of its answer: what it is, who started it, what its chain carries,
// the reply values its answer fills and the frames received so far. Whoever starts a command (a host call,
// a console issuer, the completion step sending the next link of a chain) creates one; the control owns it
// while it runs and hands it by reference to the answer intake and the decoders. Between commands the
// control keeps the last one, so that a host reads the reply values of its finished call.
#include <cstdint>
#include <string>

#include "commands/answer_records.h"
#include "commands/caller_modes.h"
#include "convert/result_values.h"

namespace karvex {

// What one link of a chain hands to the next (and one self-test item to the next).
struct ChainStep {
    // DispenseInvoice: rolls still to be dispensed; each answer counts it down and the completion step sends
    // the command again while it is above 0.
    int rolls_to_dispense = 0;
    // CheckSelf: the items the request asked for, already widened (WidenCheckselfMask).
    std::uint8_t checkself_mask = 0;
    // CheckSelf: a failed sub-test of the RAM or memory group, remembered until the group's last item.
    bool checkself_failed = false;
};

// The values the host's calls read back. A command starts from those its predecessor left, so that each
// kind holds the last answer of its kind (FiscalReturnInvInfo reads the last issue, whatever came after).
struct ReplyValues {
    std::string current_inv_number;  // the current invoice number (FiscalGetInvNum)
    IssueReply issue;                // the last issue or return answer
    HostReply host;                  // filled while a print-data or roll-summary chain runs
};

struct CommandInFlight {
    CommandInFlight() = default;
    explicit CommandInFlight(std::uint8_t command, std::uint16_t by = kCallerConsole) : code(command), caller(by) {}

    // The next link of a chain: its own code and caller, this command's chain step and reply values.
    CommandInFlight FollowUp(std::uint8_t next, std::uint16_t by) const {
        CommandInFlight f(next, by);
        f.chain = chain;
        f.replies = replies;
        return f;
    }

    std::uint8_t code = 0;
    // Who started it (caller_modes.h); a self-test's answer rewrites it so that only its last item is shown.
    std::uint16_t caller = kCallerConsole;
    ChainStep chain;
    ReplyValues replies;
    // Frames of its answer taken so far ("WT" frames do not count).
    int frames_received = 0;
    // The code byte of the last "ER" frame judged, so that a byte outside the processor's codes (135) can be
    // named in the messages.
    std::uint8_t refusal_code = 0;
    // "Under way" until it ends; then the code the completion step put in the result word (or the
    // time-out's, or the lost port's).
    ResultCode result = result::kCommandUnderWay;
};

}  // namespace karvex
