#pragma once
// The store as a service: one object that owns the encrypted store of a data directory (its connection,
// the writer's lock, the four data-control slots and their record sets), the record writers and the queue
// of multi-frame answers that write into it, and the store's own bookkeeping (serial settings, clearing,
// signing, compaction at close). The control module, the console, the data browser and whatever else
// needs the store are given this object; the answer intake only writes through its writers and queue.
//
// The service reports nothing by itself: failures come back as result codes with LastErrorText(), and the
// lines the owner logs (and the detail behind a result) go to the reports it was given.
//
// What is created when missing at every writer's open (tables, indexes, triggers) is listed in
// open_steps.h.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/record_writers.h"
#include "store/store_access.h"

namespace karvex {

class StoreService {
public:
    // Where the service tells its owner about a failure it handled: a line for the command log, and the
    // detail (the engine's reason, a path) that belongs to a result code about to be reported.
    struct Reports {
        std::function<void(const std::string& line)> logLine;
        std::function<void(int code, const std::string& detail)> resultDetail;
    };

    StoreService();
    ~StoreService();
    StoreService(const StoreService&) = delete;
    StoreService& operator=(const StoreService&) = delete;

    void SetReports(Reports reports) { reports_ = std::move(reports); }

    // Opens <dataDirectory>/FiscalMachine.mdb for writing with `key` and empties the answer queue; 0, or the
    // store's code (91 with the reason logged as "数据库打开失败"). Opening an open store does nothing.
    int Open(const std::filesystem::path& dataDirectory, const std::string& key);
    // Compacts the store into its encrypted copy and puts the copy in its place (a copy left by an earlier,
    // interrupted run is replaced), then closes it. 0 or the store's code. A store that another process has
    // open is closed without compaction, which is logged and no failure.
    int Close();
    bool IsOpen() const { return handle_->Open() != nullptr; }

    // The store while it is open; nullptr otherwise.
    StoreAccess* Access() const { return handle_->Open(); }
    // The open store's connection, for record sets of their own (the browser's grids, the console's lists);
    // null while the store is closed.
    std::shared_ptr<StoreConnection> Connection() const;

    // Where decoded answers are written and multi-frame answers queued.
    const std::shared_ptr<StoreRecordWriters>& Writers() const { return writers_; }
    const std::shared_ptr<StoreAnswerQueue>& AnswerFrames() const { return queue_; }
    // Told about a writer's failure that the operator should see (title may be empty, then text).
    void SetWriterNotice(WriterNotice notice) { notice_ = std::move(notice); }

    // ComSet's CommPort and Bite; 0 (nothing chosen yet) stands for the first entry of the list (COM1,
    // 9600). Non-zero when the store cannot be read or holds a value outside the lists, so that the
    // control asks for the port.
    int LoadSerialSettings(int& port, int& selector);
    void SaveSerialSettings(int port, int selector);
    // Empties the flagged tables (StoreTableFlags), all or none; the clear progress hears of each.
    int EmptyTables(std::uint32_t flags);
    // Where the clear-store panel learns which tables were emptied.
    void SetClearProgress(ClearProgress progress) { clearProgress_ = std::move(progress); }
    // A roll of invoices as the installation list shows it.
    struct Roll {
        std::string code, first, last;
    };
    // The rolls not yet in use, in store order; 0 or the store's code.
    int UnusedRolls(std::vector<Roll>& rolls);
    // Drops the rolls not yet in use before an installation query: the processor's answer writes back the
    // rolls it still holds, so a roll it no longer knows cannot stay on offer. Rolls in use or used up stay.
    // 0 or the store's code (nothing is dropped then).
    int DropUnusedRolls();
    // The signing panel's booking after a send (StoreRecordWriters::BookSignature).
    int BookSigning(const std::string& typedText);

    // Logs "<what> Err<code text>[：detail]".
    void ReportFailure(const std::string& what, int code, const std::string& detail) const;
    void ReportDetail(int code, const std::string& detail) const;

private:
    std::shared_ptr<StoreHandle> handle_;
    WriterNotice notice_;
    std::shared_ptr<StoreRecordWriters> writers_;
    std::shared_ptr<StoreAnswerQueue> queue_;
    Reports reports_;
    ClearProgress clearProgress_;
};

}  // namespace karvex
