// The C interface over karvex::Fiscal: argument checks, UTF-8 texts in and out, and the boundary that keeps
// C++ exceptions, foreign threads and overlapping calls away from the control.
#include "karvex/karvex.h"

#include <QCoreApplication>
#include <QString>
#include <QStringDecoder>
#include <QThread>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "capi/boundary.h"
#include "commands/sale_frame.h"
#include "karvex/application.h"
#include "karvex/fiscal.h"
#include "link/user_interface.h"

struct karvex_string {
    std::string text;
};

struct karvex_fiscal {
    std::unique_ptr<karvex::Fiscal> fiscal;
    mutable std::string reason;  // why the last call returned a negative status
    bool busy = false;           // a call is waiting for the processor
    bool destroyLater = false;   // karvex_destroy came from a callback of a waiting call
};

namespace karvex::capi {
namespace {

constexpr const char* kNullHandle = "the karvex_fiscal handle is NULL";

std::int32_t Fail(const karvex_fiscal& f, std::int32_t status, std::string_view text, std::string_view detail = {}) {
    SetReason(f.reason, text, detail);
    return status;
}

bool OnApplicationThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

// Strict UTF-8: a text that would only survive with replacement characters is refused, not altered.
bool DecodeUtf8(std::string_view bytes, QString& out) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    out = decoder(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return !decoder.hasError();
}

struct InText {
    const char* text;
    const char* name;
    QString* value;
};

std::int32_t ReadInputs(const karvex_fiscal& f, std::initializer_list<InText> args) {
    for (const InText& a : args) {
        if (!a.text) return Fail(f, KARVEX_ERR_NULL_ARGUMENT, "argument is NULL: ", a.name);
        if (!DecodeUtf8(a.text, *a.value)) return Fail(f, KARVEX_ERR_INVALID_TEXT, "argument is not UTF-8: ", a.name);
    }
    return 0;
}

// A by-reference text of the control: it starts from the handle's content and is written back only when the
// control changed it, so an untouched output keeps its exact bytes.
struct RefText {
    karvex_string* handle = nullptr;
    QString value;
    QString original;

    void WriteBack() const {
        if (value != original) handle->text = value.toStdString();
    }
};

struct RefArg {
    karvex_string* handle;
    const char* name;
    RefText* ref;
};

std::int32_t ReadRefs(const karvex_fiscal& f, std::initializer_list<RefArg> args) {
    for (const RefArg& a : args) {
        if (!a.handle) return Fail(f, KARVEX_ERR_NULL_ARGUMENT, "string handle is NULL: ", a.name);
        if (!DecodeUtf8(a.handle->text, a.ref->value)) {
            return Fail(f, KARVEX_ERR_INVALID_TEXT, "string handle does not hold UTF-8: ", a.name);
        }
        a.ref->handle = a.handle;
        a.ref->original = a.ref->value;
    }
    return 0;
}

template <class T>
std::int32_t CheckPointers(const karvex_fiscal& f, std::initializer_list<std::pair<T*, const char*>> args) {
    for (const auto& [p, name] : args) {
        if (!p) return Fail(f, KARVEX_ERR_NULL_ARGUMENT, "argument is NULL: ", name);
    }
    return 0;
}

// Every control call goes through here: handle, thread and overlap checks, then the exception boundary.
template <class Body>
std::int32_t Run(karvex_fiscal* f, Body&& body) noexcept {
    if (!f) return KARVEX_ERR_NULL_ARGUMENT;
    std::int32_t status = Guard(f->reason, [&]() -> std::int32_t {
        if (!OnApplicationThread()) {
            return Fail(*f, KARVEX_ERR_WRONG_THREAD, "called from a thread other than the Qt application's");
        }
        // A second call would overwrite the shared result word the first one is waiting on.
        if (f->busy) return Fail(*f, KARVEX_ERR_BUSY, "another call on this control is still waiting");
        f->busy = true;
        struct Release {
            bool& flag;
            ~Release() { flag = false; }
        } release{f->busy};
        return body(*f->fiscal);
    });
    // A call refused from inside a callback must not leave its reason on the call that then returns.
    if (status >= 0) f->reason.clear();
    // A destroy requested from a callback takes effect once the outermost call has returned.
    if (f->destroyLater && !f->busy) delete f;
    return status;
}

class CallbackUserInterface final : public UserInterface {
public:
    CallbackUserInterface(karvex_show_message_fn show, karvex_ask_yes_no_fn yesNo, karvex_ask_text_fn text, void* user)
        : show_(show), yesNo_(yesNo), text_(text), user_(user) {}

    void ShowMessage(const std::string& title, const std::string& text) override {
        if (show_) show_(user_, title.c_str(), text.c_str());
    }
    bool AskYesNo(const std::string& title, const std::string& text) override {
        return yesNo_ && yesNo_(user_, title.c_str(), text.c_str()) != 0;
    }
    std::optional<std::string> AskText(const std::string& title, const std::string& prompt,
                                       const std::string& initial) override {
        if (!text_) return std::nullopt;
        karvex_string reply{initial};
        if (text_(user_, title.c_str(), prompt.c_str(), initial.c_str(), &reply) == 0) return std::nullopt;
        return std::move(reply.text);
    }

private:
    karvex_show_message_fn show_;
    karvex_ask_yes_no_fn yesNo_;
    karvex_ask_text_fn text_;
    void* user_;
};

}  // namespace
}  // namespace karvex::capi

using namespace karvex::capi;

extern "C" {

const char* karvex_version(void) { return KARVEX_VERSION_TEXT; }

// ----- string handles

karvex_string* karvex_string_create(const char* text) {
    try {
        return new karvex_string{text ? std::string(text) : std::string()};
    } catch (...) {
        return nullptr;
    }
}

const char* karvex_string_get(const karvex_string* s) { return s ? s->text.c_str() : ""; }

size_t karvex_string_size(const karvex_string* s) { return s ? s->text.size() : 0; }

int32_t karvex_string_set(karvex_string* s, const char* text) {
    if (!s) return KARVEX_ERR_NULL_ARGUMENT;
    try {
        if (text) {
            s->text.assign(text);
        } else {
            s->text.clear();
        }
        return 0;
    } catch (...) {
        return KARVEX_ERR_OUT_OF_MEMORY;
    }
}

void karvex_string_free(karvex_string* s) { delete s; }

// ----- the control

karvex_fiscal* karvex_create(void) {
    try {
        if (!OnApplicationThread()) return nullptr;
        karvex::EnsureApplication();
        auto f = std::make_unique<karvex_fiscal>();
        f->fiscal = std::make_unique<karvex::Fiscal>(karvex::Settings::FromEnvironment());
        f->fiscal->SetUserInterface(std::make_shared<karvex::SilentUserInterface>());
        return f.release();
    } catch (...) {
        return nullptr;
    }
}

void karvex_destroy(karvex_fiscal* f) {
    if (!f) return;
    if (f->busy) {
        // Called from a user-interface callback: the waiting call still uses the control and frees it on return.
        f->destroyLater = true;
        return;
    }
    delete f;
}

const char* karvex_last_error(const karvex_fiscal* f) { return f ? f->reason.c_str() : kNullHandle; }

int32_t karvex_set_user_interface(karvex_fiscal* f, karvex_show_message_fn show_message,
                                  karvex_ask_yes_no_fn ask_yes_no, karvex_ask_text_fn ask_text, void* user_data) {
    return Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        fiscal.SetUserInterface(std::make_shared<CallbackUserInterface>(show_message, ask_yes_no, ask_text, user_data));
        return 0;
    });
}

void karvex_set_progress_callback(karvex_fiscal* f, karvex_progress_fn callback, void* user) {
    Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        if (callback == nullptr) {
            fiscal.SetProgressCallback({});
            return 0;
        }
        fiscal.SetProgressCallback([callback, user](const karvex::Progress& p) {
            const QByteArray label = p.label.toUtf8();
            callback(user, label.constData(), p.received, p.total, p.framesPerSecond, p.secondsLeft, p.done ? 1 : 0);
        });
        return 0;
    });
}

void karvex_set_line_recovery(karvex_fiscal* f, int32_t on, karvex_line_restored_fn restored, void* user) {
    Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        std::function<void()> call;
        if (restored) call = [restored, user] { restored(user); };
        fiscal.SetLineRecovery(on != 0, std::move(call));
        return 0;
    });
}

int32_t karvex_ShowFiscalForm(karvex_fiscal* f, int32_t showModal, int32_t inHandle) {
    return Run(f, [&](karvex::Fiscal& fiscal) { return fiscal.ShowFiscalForm(showModal, inHandle); });
}

int32_t karvex_LoadFiscalForm(karvex_fiscal* f) {
    return Run(f, [&](karvex::Fiscal& fiscal) { return fiscal.LoadFiscalForm(); });
}

int32_t karvex_UnloadFicalForm(karvex_fiscal* f, int32_t inHandle) {
    return Run(f, [&](karvex::Fiscal& fiscal) { return fiscal.UnloadFicalForm(inHandle); });
}

int32_t karvex_FiscalOnline(karvex_fiscal* f) {
    return Run(f, [&](karvex::Fiscal& fiscal) { return fiscal.FiscalOnline(); });
}

int32_t karvex_FiscalGetInvNum(karvex_fiscal* f, karvex_string* invNum) {
    return Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        RefText num;
        if (std::int32_t r = ReadRefs(*f, {{invNum, "invNum", &num}}); r != 0) return r;
        std::int32_t r = fiscal.FiscalGetInvNum(num.value);
        num.WriteBack();
        return r;
    });
}

int32_t karvex_FiscalMakeInv(karvex_fiscal* f, int32_t commandNum, int32_t fhNumber, int32_t invMode,
                             const char* oInvNum, const char* payUnit, int32_t salesNum, const char* salesName,
                             const char* salesAmount, const char* salesPrice, const char* salesSum,
                             const char* taxIndex) {
    // The plain form is a sale without a sale id.
    return karvex_FiscalMakeInvSale(f, nullptr, commandNum, fhNumber, invMode, oInvNum, payUnit, salesNum, salesName,
                                    salesAmount, salesPrice, salesSum, taxIndex);
}

int32_t karvex_FiscalMakeInvSale(karvex_fiscal* f, const char* saleId, int32_t commandNum, int32_t fhNumber,
                                 int32_t invMode, const char* oInvNum, const char* payUnit, int32_t salesNum,
                                 const char* salesName, const char* salesAmount, const char* salesPrice,
                                 const char* salesSum, const char* taxIndex) {
    return Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        QString sale, oInv, payer, names, amounts, prices, sums, taxes;
        // A NULL sale id is a sale without one, as the empty text is.
        std::int32_t r = ReadInputs(*f, {{saleId != nullptr ? saleId : "", "saleId", &sale},
                                         {oInvNum, "oInvNum", &oInv},
                                         {payUnit, "payUnit", &payer},
                                         {salesName, "salesName", &names},
                                         {salesAmount, "salesAmount", &amounts},
                                         {salesPrice, "salesPrice", &prices},
                                         {salesSum, "salesSum", &sums},
                                         {taxIndex, "taxIndex", &taxes}});
        if (r != 0) return r;
        return fiscal.FiscalMakeInv(sale, commandNum, fhNumber, invMode, oInv, payer, salesNum, names, amounts, prices,
                                    sums, taxes);
    });
}

int32_t karvex_FiscalMakeInvGoods(karvex_fiscal* f, const char* saleId, int32_t commandNum, int32_t fhNumber,
                                  int32_t invMode, const char* oInvNum, const char* payUnit, const karvex_goods* goods,
                                  int32_t goodsCount) {
    return Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        const bool isReturn = commandNum == karvex::SaleCommand(karvex::SaleKind::Return);
        if (!isReturn && commandNum != karvex::SaleCommand(karvex::SaleKind::Issue)) {
            return karvex::result::kCommandTypeError;
        }
        // The count is judged before the array is read, so a wrong count never reads past the host's lines.
        if (goodsCount < 1 || goodsCount > karvex::kMaxSaleGoods) return karvex::result::kBadItemCount;
        if (!goods) return Fail(*f, KARVEX_ERR_NULL_ARGUMENT, "argument is NULL: ", "goods");
        QString sale, oInv, payer;
        std::int32_t r = ReadInputs(*f, {{saleId != nullptr ? saleId : "", "saleId", &sale},
                                         {oInvNum, "oInvNum", &oInv},
                                         {payUnit, "payUnit", &payer}});
        if (r != 0) return r;
        karvex::Sale typed;
        typed.kind = isReturn ? karvex::SaleKind::Return : karvex::SaleKind::Issue;
        typed.returnedInvoice = oInv.toStdString();
        typed.fhNumber = fhNumber;
        typed.invMode = invMode;
        typed.payer = payer.toStdString();
        for (int32_t i = 0; i < goodsCount; ++i) {
            QString name;
            if ((r = ReadInputs(*f, {{goods[i].name, "goods[].name", &name}})) != 0) return r;
            typed.goods.push_back(
                {name.toStdString(), goods[i].quantity, goods[i].price, goods[i].amount, goods[i].tax_index});
        }
        return fiscal.FiscalMakeInv(sale, typed);
    });
}

int32_t karvex_FiscalGetSale(karvex_fiscal* f, const char* saleId, karvex_string* state, karvex_string* invNum,
                             karvex_string* taxCode, karvex_string* dateTime) {
    return Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        QString sale;
        std::int32_t r = ReadInputs(*f, {{saleId != nullptr ? saleId : "", "saleId", &sale}});
        if (r != 0) return r;
        RefText st, num, code, when;
        r = ReadRefs(*f, {{state, "state", &st},
                          {invNum, "invNum", &num},
                          {taxCode, "taxCode", &code},
                          {dateTime, "dateTime", &when}});
        if (r != 0) return r;
        r = fiscal.FiscalGetSale(sale, st.value, num.value, code.value, when.value);
        for (const RefText* t : {&st, &num, &code, &when}) t->WriteBack();
        return r;
    });
}

int32_t karvex_FiscalReturnInvInfo(karvex_fiscal* f, karvex_string* machineNum, karvex_string* userName,
                                   karvex_string* taxNumber, karvex_string* taxCode, karvex_string* dateTime) {
    return Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        RefText machine, user, taxNo, code, when;
        std::int32_t r = ReadRefs(*f, {{machineNum, "machineNum", &machine},
                                       {userName, "userName", &user},
                                       {taxNumber, "taxNumber", &taxNo},
                                       {taxCode, "taxCode", &code},
                                       {dateTime, "dateTime", &when}});
        if (r != 0) return r;
        r = fiscal.FiscalReturnInvInfo(machine.value, user.value, taxNo.value, code.value, when.value);
        for (const RefText* t : {&machine, &user, &taxNo, &code, &when}) t->WriteBack();
        return r;
    });
}

int32_t karvex_FiscalInvalidateInv(karvex_fiscal* f, karvex_string* invNum) {
    return Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        RefText num;
        if (std::int32_t r = ReadRefs(*f, {{invNum, "invNum", &num}}); r != 0) return r;
        std::int32_t r = fiscal.FiscalInvalidateInv(num.value);
        num.WriteBack();
        return r;
    });
}

int32_t karvex_GetPrintInv(karvex_fiscal* f, int32_t commandNum, karvex_string* invNum, karvex_string* oInvNum,
                           karvex_string* machineNumber, karvex_string* saleUnit, karvex_string* payUnit,
                           karvex_string* taxNumber, karvex_string* taxCode, karvex_string* printDate,
                           karvex_string* salesName, karvex_string* salesAmount, karvex_string* salesPrice,
                           karvex_string* salesSum, int32_t* invType) {
    return Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        RefText inv, oInv, machine, seller, payer, taxNo, code, date, names, amounts, prices, sums;
        std::int32_t r = ReadRefs(*f, {{invNum, "invNum", &inv},
                                       {oInvNum, "oInvNum", &oInv},
                                       {machineNumber, "machineNumber", &machine},
                                       {saleUnit, "saleUnit", &seller},
                                       {payUnit, "payUnit", &payer},
                                       {taxNumber, "taxNumber", &taxNo},
                                       {taxCode, "taxCode", &code},
                                       {printDate, "printDate", &date},
                                       {salesName, "salesName", &names},
                                       {salesAmount, "salesAmount", &amounts},
                                       {salesPrice, "salesPrice", &prices},
                                       {salesSum, "salesSum", &sums}});
        if (r != 0) return r;
        if (r = CheckPointers<int32_t>(*f, {{invType, "invType"}}); r != 0) return r;
        std::int32_t type = *invType;
        r = fiscal.GetPrintInv(commandNum, inv.value, oInv.value, machine.value, seller.value, payer.value, taxNo.value,
                               code.value, date.value, names.value, amounts.value, prices.value, sums.value, type);
        for (const RefText* t :
             {&inv, &oInv, &machine, &seller, &payer, &taxNo, &code, &date, &names, &amounts, &prices, &sums}) {
            t->WriteBack();
        }
        *invType = type;
        return r;
    });
}

int32_t karvex_GetInvUseSum(karvex_fiscal* f, const char* invNum, karvex_string* beginDate, karvex_string* endDate,
                            karvex_string* beginInvNum, karvex_string* endInvNum, int32_t* invalidateInv,
                            int32_t* normalInv, double* normalSum, int32_t* returnInv, double* returnSum,
                            karvex_string* invCode, karvex_string* taxNumber, karvex_string* userName,
                            karvex_string* machineNumber) {
    return Run(f, [&](karvex::Fiscal& fiscal) -> std::int32_t {
        QString inv;
        RefText begin, end, first, last, code, taxNo, user, machine;
        std::int32_t r = ReadInputs(*f, {{invNum, "invNum", &inv}});
        if (r != 0) return r;
        r = ReadRefs(*f, {{beginDate, "beginDate", &begin},
                          {endDate, "endDate", &end},
                          {beginInvNum, "beginInvNum", &first},
                          {endInvNum, "endInvNum", &last},
                          {invCode, "invCode", &code},
                          {taxNumber, "taxNumber", &taxNo},
                          {userName, "userName", &user},
                          {machineNumber, "machineNumber", &machine}});
        if (r != 0) return r;
        r = CheckPointers<int32_t>(
            *f, {{invalidateInv, "invalidateInv"}, {normalInv, "normalInv"}, {returnInv, "returnInv"}});
        if (r != 0) return r;
        if (r = CheckPointers<double>(*f, {{normalSum, "normalSum"}, {returnSum, "returnSum"}}); r != 0) return r;
        std::int32_t voided = *invalidateInv, normal = *normalInv, returned = *returnInv;
        double normalTotal = *normalSum, returnTotal = *returnSum;
        r = fiscal.GetInvUseSum(inv, begin.value, end.value, first.value, last.value, voided, normal, normalTotal,
                                returned, returnTotal, code.value, taxNo.value, user.value, machine.value);
        for (const RefText* t : {&begin, &end, &first, &last, &code, &taxNo, &user, &machine}) t->WriteBack();
        *invalidateInv = voided;
        *normalInv = normal;
        *normalSum = normalTotal;
        *returnInv = returned;
        *returnSum = returnTotal;
        return r;
    });
}

int32_t karvex_FiscalInstallInv(karvex_fiscal* f, int32_t showModal, int32_t inHandle) {
    return Run(f, [&](karvex::Fiscal& fiscal) { return fiscal.FiscalInstallInv(showModal, inHandle); });
}

int32_t karvex_Status(const karvex_fiscal* f) {
    // Readable while a call waits (from a callback): it then shows 4128, the command under way.
    if (!f) return KARVEX_ERR_NULL_ARGUMENT;
    return f->fiscal->Status();
}

int32_t karvex_Description(const karvex_fiscal* f, karvex_string* out) {
    if (!f) return KARVEX_ERR_NULL_ARGUMENT;
    return Guard(f->reason, [&]() -> std::int32_t {
        if (!out) return Fail(*f, KARVEX_ERR_NULL_ARGUMENT, "argument is NULL: out");
        out->text = f->fiscal->Description().toStdString();
        return 0;
    });
}

}  // extern "C"
