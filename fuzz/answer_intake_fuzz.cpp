// Every answer decoder, reached the way the link reaches it: through the answer intake, with an in-memory
// store and queue (the intake needs no event loop, no port and no database).
//
// Input: byte 0 = command, byte 1 = flags (bits 0-2 caller mode, bit 3 the queued path of a multi-frame
// answer, bit 4 frames taken as they are instead of given a fitting length byte and CRC, bit 5 the store's
// writers fail), byte 2 = self-test mask, byte 3 = rolls still to dispense, then frames, each a length byte
// and its bytes. With the fitting (default) every frame is status letters, P and payload; the target puts L
// and the CRC in, so the decoders' field checks are what the mutations reach.
//
// Properties: no crash or sanitizer report; every result is success, a chain step, a processor code (1-255)
// or a code with a message in the result table; what reaches the store and the host is well-formed UTF-8
// with finite, non-negative amounts; a decoder that fails leaves its record empty; a multi-frame answer taken
// as it arrives ends with the same result, display text and replies as the replay of its queue.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "commands/answer_intake.h"
#include "commands/decoders.h"
#include "fuzz_support.h"
#include "link/frame_codec.h"
#include "link/result_codes.h"

using namespace karvex;
using fuzz::IsUtf8;

namespace {

void Text(const std::string& s) {
    FUZZ_CHECK(IsUtf8(s), "text is not UTF-8: %s",
               fuzz::Hex({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}).c_str());
}
void Amount(double v) { FUZZ_CHECK(std::isfinite(v) && v >= 0, "amount %g", v); }
template <typename... S>
void Texts(const S&... s) {
    (Text(s), ...);
}
template <typename Slots>
void SlotAmounts(const Slots& slots) {
    for (const auto& s : slots) {
        Amount(s.normal_total);
        Amount(s.return_total);
    }
}

// Checks each record as a writer would receive it.
class CheckingStore final : public AnswerStore {
public:
    ResultCode writer_result = 0;
    ResultCode OpenCommandTables(std::uint8_t) override { return 0; }
    ResultCode ClearCommandTable(std::uint8_t) override { return 0; }
    void CloseCommandTables(std::uint8_t) override {}
    ResultCode SaveInvoiceNumber(const InvoiceRollRecord& r, int) override {
        Texts(r.invoice_code, r.first_number, r.last_number, r.current_number, r.start_time, r.used_up_time,
              r.dispensed_time, r.key);
        return writer_result;
    }
    ResultCode SaveMachineData(const MachineDataRecord& r) override {
        Texts(r.machine_number, r.production_date, r.hardware_version, r.software_version);
        return writer_result;
    }
    ResultCode SaveUserInformation(const UserInformationRecord& r) override {
        Texts(r.card_number, r.card_password, r.start_date, r.valid_date, r.taxpayer_name, r.taxpayer_code,
              r.tax_number, r.tax_office_code, r.invoice_end_date);
        return writer_result;
    }
    ResultCode SaveTaxInformation(const TaxItemRecord& r) override {
        Texts(r.item_code, r.name_cn, r.name_en);
        return writer_result;
    }
    ResultCode SaveInvUseSum(const InvUseSumRecord& r) override {
        Texts(r.invoice_code, r.first_number, r.last_number, r.first_date, r.last_date);
        return writer_result;
    }
    ResultCode SaveDeclareData(const DeclareDataRecord& r) override {
        Texts(r.card_number, r.start_date, r.end_date, r.status_text, r.mac1, r.signature, r.xor_check_text);
        SlotAmounts(r.slots);
        Amount(r.card_normal_total);
        Amount(r.card_return_total);
        return writer_result;
    }
    ResultCode SaveInvPrintData(const InvPrintDataRecord& r) override {
        Texts(r.issue_date, r.invoice_number, r.tax_code, r.original_number, r.reserved, r.payer, r.key);
        Amount(r.total);
        for (const auto& g : r.goods) {
            if (!g) continue;
            Text(g->name);
            Amount(g->quantity);
            Amount(g->amount);
        }
        return writer_result;
    }
    ResultCode SaveDayTrade(const DayTradeRecord& r) override {
        Texts(r.date, r.signature);
        SlotAmounts(r.slots);
        return writer_result;
    }
    ResultCode SaveIdiograph(const SignatureRecord& r) override {
        Text(r.signature);
        return writer_result;
    }
};

void CheckOutcome(const DispatchOutcome& outcome) {
    const ResultCode code = outcome.result;
    // The link's "NP" and "WT" codes have no message of their own: described, they read as an unknown error.
    FUZZ_CHECK(code == 0 || code == result::kChainContinues || code == result::kAnswerNextCommand ||
                   code == result::kAnswerKeepWaiting || (code >= 1 && code <= 255) ||
                   FindResultMessage(code).has_value(),
               "result %d has no message", code);
    Text(outcome.display_text);
    if (outcome.checkself)
        Texts(outcome.checkself->item_text, outcome.checkself->label_text, outcome.checkself->next_line);
}

void CheckReplies(const ReplyValues& c) {
    Texts(c.current_inv_number, c.issue.machine_num, c.issue.user_name, c.issue.tax_number, c.issue.tax_code,
          c.issue.date_time);
    const HostReply& h = c.host;
    Texts(h.print_date, h.inv_num, h.o_inv_num, h.pay_unit, h.tax_code, h.sale_unit, h.tax_number, h.machine_number,
          h.user_name, h.inv_code, h.begin_inv_num, h.end_inv_num, h.begin_date, h.end_date);
    for (const auto& g : h.goods) Texts(g.name, g.quantity, g.price, g.amount);
    Amount(h.normal_sum);
    Amount(h.return_sum);
}

Bytes Fitted(std::span<const std::uint8_t> piece) {
    // Letters and P from the piece (missing ones as "OK", 0), the rest as payload.
    const std::string status{piece.size() > 0 ? static_cast<char>(piece[0]) : 'O',
                             piece.size() > 1 ? static_cast<char>(piece[1]) : 'K'};
    const std::uint8_t follow = piece.size() > 2 ? piece[2] : 0;
    return BuildAnswerFrame(status, follow, piece.size() > 3 ? piece.subspan(3) : piece.subspan(piece.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t command = in.Byte();
    const std::uint8_t flags = in.Byte();
    static constexpr std::uint16_t kModes[] = {
        kCallerConsole, kCallerHost, kCallerInstall, kCallerPrintDataChain, kCallerRollSummaryChain, 0, 3, 7};
    CommandInFlight context(command, kModes[flags & 7]);
    context.chain.checkself_mask = in.Byte();
    context.chain.rolls_to_dispense = in.Byte() % 8;
    const bool queued = flags & 0x08;
    const bool raw = flags & 0x10;
    CheckingStore store;
    if (flags & 0x20) store.writer_result = result::kStoreOpenFailed;

    std::vector<Bytes> frames;
    while (!in.empty() && frames.size() < 64) {
        const auto piece = in.Piece();
        frames.push_back(raw ? Bytes(piece.begin(), piece.end()) : Fitted(piece));
    }

    // The decoder on its own: a failure leaves the record empty.
    for (const Bytes& frame : frames) {
        AnswerRecord record;
        const ResultCode code = DecodeAnswer(command, frame, record);
        if (code != 0) FUZZ_CHECK(std::holds_alternative<std::monostate>(record), "code %d with a record", code);
    }

    if (queued) {
        // The same frames taken as they arrive end as their replay does.
        CommandInFlight streamed = context;
        AnswerStream stream;
        FUZZ_CHECK(stream.Begin(streamed, store) == 0);
        for (const Bytes& frame : frames) stream.Take(streamed, frame, store);
        const auto asArrived = stream.Finish(streamed, store);

        MemoryAnswerQueue queue;
        int number = 0;
        for (const Bytes& frame : frames) FUZZ_CHECK(QueueAnswerFrame(queue, frame, ++number) == 0);
        const auto outcome = TakeQueuedAnswer(context, queue, store);
        CheckOutcome(outcome);
        FUZZ_CHECK(queue.Count() == 0, "%zu frames left in the queue", queue.Count());
        // The receiver never hands over an empty frame, which the queue cannot tell from an unreadable row.
        if (std::none_of(frames.begin(), frames.end(), [](const Bytes& f) { return f.empty(); })) {
            FUZZ_CHECK(asArrived.result == outcome.result && asArrived.display_text == outcome.display_text,
                       "stored as it arrived: %d, replayed: %d", asArrived.result, outcome.result);
            FUZZ_CHECK(streamed.replies.host.inv_num == context.replies.host.inv_num &&
                           streamed.refusal_code == context.refusal_code &&
                           streamed.chain.rolls_to_dispense == context.chain.rolls_to_dispense,
                       "the command differs after the answer stored as it arrived");
        }
    } else {
        for (const Bytes& frame : frames) CheckOutcome(TakeAnswerFrame(context, frame, store));
    }
    CheckReplies(context.replies);
    return 0;
}
