#pragma once
// The intake that keeps what the processor answers: the decoders' records go to the record writers of the
// encrypted store, multi-frame answers are queued in its ARecord table, the roll bookkeeping follows every
// current-invoice-number and issue answer, and the console's store hooks (serial settings, clearing,
// signing bookkeeping, compaction at unload) run on the same store.
#include <cstdint>
#include <memory>
#include <string>

#include "control/control_module.h"
#include "store/record_writers.h"

namespace karvex {

class StoreIntake : public DecodingIntake {
public:
    StoreIntake();
    ~StoreIntake() override;

    IntakeOutcome AcceptSingleAnswer(ControlModule& m, CommandInFlight& command, const Bytes& frame) override;
    IntakeOutcome AcceptStoredAnswers(ControlModule& m, CommandInFlight& command) override;

    // Opens FiscalMachine.mdb in the module's data directory and empties the answer queue; 0 or the store's
    // code (91 with the reason in the command log). Opening an open store does nothing.
    int OpenStore(ControlModule& m) override;
    // Compacts the store into its encrypted copy and puts the copy in its place (a copy left by an earlier,
    // interrupted run is replaced), then closes it. 0 or the store's code.
    int CloseStore(ControlModule& m) override;
    // ComSet's CommPort and Bite; 0 (nothing chosen yet) stands for the first entry of the list (COM1,
    // 9600). Non-zero when the store cannot be read or holds a value outside the lists, so that the
    // control asks for the port.
    int ReadSerialSettings(ControlModule& m, int& port, int& selector) override;
    void WriteSerialSettings(ControlModule& m, int port, int selector) override;
    int ClearStoreTables(ControlModule& m, std::uint32_t flags) override;
    int BookSignature(ControlModule& m, const std::string& typedText) override;
    std::shared_ptr<StoreConnection> JournalStore() override;

    // Where the clear-store panel learns which tables were emptied.
    void SetClearProgress(ClearProgress progress) { clearProgress_ = std::move(progress); }

    // The store while it is open (tests and the data browser read through it); nullptr otherwise.
    StoreAccess* Access() { return handle_->Open(); }
    StoreRecordWriters& RecordWriters() { return *writers_; }

private:
    StoreIntake(std::shared_ptr<StoreHandle> handle, std::unique_ptr<StoreRecordWriters> writers,
                std::unique_ptr<StoreAnswerQueue> queue);
    void BeginAnswer(ControlModule& m, const CommandInFlight& command);
    void EndAnswer(ControlModule& m, std::uint8_t command, IntakeOutcome& o, const std::string& queueError);
    void RunRollProgress(ControlModule& m, const CommandInFlight& command);
    void ReportStoreFailure(ControlModule& m, const std::string& what, int code, const std::string& detail);

    std::shared_ptr<StoreHandle> handle_;
    StoreRecordWriters* writers_;
    StoreAnswerQueue* queue_;
    ControlModule* module_ = nullptr;  // the module whose answer is being taken up (for writer notices)
    bool noticeLogged_ = false;        // a writer's notice already logged the answer's failure
    ClearProgress clearProgress_;
};

// The control's intake: the store-backed one.
std::unique_ptr<AnswerIntake> MakeStoreIntake();

}  // namespace karvex
