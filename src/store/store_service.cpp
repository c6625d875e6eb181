#include "store/store_service.h"

#include "link/result_codes.h"
#include "store/store_codes.h"

namespace karvex {

namespace {
constexpr int kComSetSlot = 0;
constexpr int kClearSlot = StoreAccess::kRollSlot;

// A roll's state 1: installed but no invoice of it issued yet.
Selection Unused() { return Selection::Of("InvoiceNumber").Where("发票使用状态", std::int64_t{1}); }
}  // namespace

StoreService::StoreService()
    : handle_(std::make_shared<StoreHandle>()),
      writers_(std::make_shared<StoreRecordWriters>(handle_,
                                                    [this](const std::string& title, const std::string& text) {
                                                        if (notice_) notice_(title, text);
                                                    })),
      queue_(std::make_shared<StoreAnswerQueue>(handle_)) {}

StoreService::~StoreService() {
    writers_->ReleaseStatements();
    queue_->Detach();
    if (handle_->access) handle_->access->Close();
}

std::shared_ptr<StoreConnection> StoreService::Connection() const {
    StoreAccess* access = Access();
    return access != nullptr ? access->Connection() : nullptr;
}

void StoreService::ReportFailure(const std::string& what, int code, const std::string& detail) const {
    std::string line = what + " Err" + ResultCodeText(code);
    if (!detail.empty()) line += "：" + detail;
    if (reports_.logLine) reports_.logLine(line);
}

void StoreService::ReportDetail(int code, const std::string& detail) const {
    if (reports_.resultDetail) reports_.resultDetail(code, detail);
}

int StoreService::Open(const std::filesystem::path& dataDirectory, const std::string& key) {
    if (handle_->Open() != nullptr) return 0;
    handle_->access = std::make_unique<StoreAccess>(dataDirectory, key);
    int r = handle_->access->Open();
    if (r == 0) r = handle_->access->OpenAnswerQueue();
    if (r != 0) {
        const std::string why = handle_->access->LastErrorText();
        ReportFailure("数据库打开失败", r, why);
        ReportDetail(r, why);
        handle_->access->Close();
        handle_->access.reset();
        return r;
    }
    queue_->Detach();
    return 0;
}

int StoreService::Close() {
    StoreAccess* access = handle_->Open();
    if (access == nullptr) {
        handle_->access.reset();
        return 0;
    }
    writers_->ReleaseStatements();
    queue_->Detach();
    const int r = access->CompactStoreAtUnload();
    if (r != 0) {
        ReportFailure("数据库压缩失败", r, access->LastErrorText());
        ReportDetail(r, access->LastErrorText());
    }
    if (r == 0 && access->CompactionSkipped() && reports_.logLine)
        reports_.logLine("数据库正被其他程序打开，本次不压缩");
    access->Close();
    handle_->access.reset();
    return r;
}

int StoreService::LoadSerialSettings(int& port, int& selector) {
    port = 0;
    selector = 0;
    StoreAccess* access = handle_->Open();
    if (access == nullptr) return result::kStoreOpenFailed;
    int r = access->OpenAccess(Selection::Of("ComSet"), kComSetSlot);
    RecordSet* rs = access->Slot(kComSetSlot);
    std::int64_t p = 0, b = 0;
    if (r == 0) r = rs->MoveFirst();
    if (r == 0) r = rs->GetInteger("CommPort", p);
    if (r == 0) r = rs->GetInteger("Bite", b);
    access->ReleaseSlot(kComSetSlot);
    if (r != 0) {
        ReportFailure("读取串口设置失败", r, access->LastErrorText());
        return r;
    }
    // 0 means nothing was chosen yet: the settings panel then shows the first entry of each list
    // (COM1, 9600), and that is what is tried first. A value outside the lists cannot be opened.
    if (p == 0) p = 1;
    if (b == 0) b = 1;
    if (p < 1 || p > 5 || b < 1 || b > 2) return result::kNoCurrentRecord;
    port = static_cast<int>(p);
    selector = static_cast<int>(b);
    return 0;
}

void StoreService::SaveSerialSettings(int port, int selector) {
    StoreAccess* access = handle_->Open();
    if (access == nullptr) return;
    int r = access->OpenAccess(Selection::Of("ComSet"), kComSetSlot);
    RecordSet* rs = access->Slot(kComSetSlot);
    if (r == 0 && rs->Eof()) r = rs->AddNew();
    if (r == 0) r = rs->SetInteger("CommPort", port);
    if (r == 0) r = rs->SetInteger("Bite", selector);
    if (r == 0) r = rs->Update();
    const std::string detail = rs->LastErrorText();
    access->ReleaseSlot(kComSetSlot);
    if (r != 0) ReportFailure("保存串口设置失败", r, detail);
}

int StoreService::EmptyTables(std::uint32_t flags) {
    StoreAccess* access = handle_->Open();
    if (access == nullptr) return result::kStoreOpenFailed;
    const int r = access->ClearStoreTables(kClearSlot, flags, clearProgress_);
    if (r != 0) ReportFailure("清空数据库失败", r, access->LastErrorText());
    return r;
}

int StoreService::UnusedRolls(std::vector<Roll>& rolls) {
    rolls.clear();
    StoreAccess* access = handle_->Open();
    if (access == nullptr) return result::kStoreOpenFailed;
    RecordSet rs;
    std::int64_t count = 0;
    int r = rs.Open(access->Connection(), Unused());
    if (r == 0) r = rs.RecordCount(count);
    // An empty selection has no first record to move to.
    if (r == 0 && count == 0) return 0;
    for (r = r == 0 ? rs.MoveFirst() : r; r == 0 && !rs.Eof(); r = rs.MoveNext()) {
        Roll roll;
        r = rs.GetText("发票代码", roll.code);
        if (r == 0) r = rs.GetText("单卷发票起始号", roll.first);
        if (r == 0) r = rs.GetText("单卷发票终止号", roll.last);
        if (r != 0) break;
        rolls.push_back(std::move(roll));
    }
    if (r != 0) {
        ReportFailure("读取发票库失败", r, rs.LastErrorText());
        rolls.clear();
    }
    return r;
}

int StoreService::DropUnusedRolls() {
    StoreAccess* access = handle_->Open();
    if (access == nullptr) return result::kStoreOpenFailed;
    RecordSet unused;
    int r = unused.Open(access->Connection(), Unused());
    if (r == 0) r = unused.DeleteAll();
    const std::string detail = unused.LastErrorText();
    unused.Close();
    if (r != 0) ReportFailure("删除未用发票失败", r, detail);
    return r;
}

int StoreService::BookSigning(const std::string& typedText) {
    if (handle_->Open() == nullptr) return result::kStoreOpenFailed;
    const int r = writers_->BookSignature(typedText);
    if (r != 0) ReportFailure("保存签名数据失败", r, writers_->LastErrorText());
    return r;
}

}  // namespace karvex
