#pragma once
// The intake that keeps what the processor answers: the decoders' records go to the record writers of the
// store service, multi-frame answers are queued in its ARecord table, and the roll bookkeeping follows every
// current-invoice-number and issue answer. The store itself (opening, settings, clearing, compaction) is the
// service's, not the intake's.
#include <cstdint>
#include <memory>
#include <string>

#include "control/control_module.h"
#include "store/store_service.h"

namespace karvex {

class StoreIntake : public DecodingIntake {
public:
    explicit StoreIntake(std::shared_ptr<StoreService> store);
    ~StoreIntake() override;

    IntakeOutcome AcceptSingleAnswer(ControlModule& m, CommandInFlight& command, const Bytes& frame) override;
    IntakeOutcome AcceptStoredAnswers(ControlModule& m, CommandInFlight& command) override;

protected:
    bool StoresAsItArrives(ControlModule& m, const CommandInFlight& command) override;
    void StreamAbandoned(ControlModule& m) override;

private:
    void BeginAnswer(ControlModule& m, const CommandInFlight& command);
    void EndAnswer(ControlModule& m, std::uint8_t command, IntakeOutcome& o, const std::string& queueError);
    void RunRollProgress(ControlModule& m, const CommandInFlight& command);

    std::shared_ptr<StoreService> store_;
    StoreRecordWriters* writers_;
    StoreAnswerQueue* queue_;
    ControlModule* module_ = nullptr;  // the module whose answer is being taken up (for writer notices)
    bool noticeLogged_ = false;        // a writer's notice already logged the answer's failure
};

// The control's intake: the one that writes into `store`.
std::unique_ptr<AnswerIntake> MakeStoreIntake(std::shared_ptr<StoreService> store);

}  // namespace karvex
