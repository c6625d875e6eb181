#include "commands.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <QString>

#include "commands/catalogue.h"
#include "commands/issuers.h"
#include "commands/sale_frame.h"
#include "control/fiscal_access.h"
#include "convert/conversions.h"
#include "convert/decimal_text.h"
#include "karvex/fiscal.h"

namespace karvex::cli {

namespace {
long long ParseInt(const Options& o, const std::string& name, int base) {
    if (!o.Has(name)) throw UsageError{"missing --" + name};
    const std::string text = o.Get(name);
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, base);
    if (text.empty() || *end != '\0' || errno == ERANGE) throw UsageError{"--" + name + " is not a number: " + text};
    return v;
}
}  // namespace

long long IntOption(const Options& o, const std::string& name) { return ParseInt(o, name, 10); }

long long IntOptionAnyBase(const Options& o, const std::string& name) { return ParseInt(o, name, 0); }

long long IntOption(const Options& o, const std::string& name, long long fallback) {
    return o.Has(name) ? IntOption(o, name) : fallback;
}

namespace {

Outcome Online(Fiscal& f, const Options&) {
    Outcome out{"FiscalOnline", f.FiscalOnline(), {}};
    return out;
}

std::string U8(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

Outcome CurrentNumber(Fiscal& f, const Options&) {
    QString number;
    Outcome out{"FiscalGetInvNum", f.FiscalGetInvNum(number), {}};
    out.outputs.emplace_back("InvNum", U8(number));
    return out;
}

// An integer option that the method takes as a 32-bit Long; a wider value would otherwise wrap silently
// into another (4294967297 items becoming 1).
std::int32_t Int32Option(const Options& o, const std::string& name, long long fallback) {
    const long long v = IntOption(o, name, fallback);
    if (v < INT32_MIN || v > INT32_MAX) throw UsageError{"--" + name + " does not fit 32 bits: " + o.Get(name)};
    return static_cast<std::int32_t>(v);
}

constexpr std::size_t kNumberChars = 11;
constexpr std::size_t kNameBytes = 20;

// A goods number as typed, at most 11 characters as the method's own slices hold them; its value in
// hundredths is judged by the sale's check (a third decimal, a value below 0.01: the field's result code).
std::string NumberText(const std::string& text) {
    if (text.size() > kNumberChars) {
        throw UsageError{"--items: \"" + text + "\" is longer than " + std::to_string(kNumberChars) + " characters"};
    }
    return text;
}

// A name passed on as typed, so that the sale's check sees it: a character without a GBK form or a tab is
// refused there rather than sent as "?" or a blank. A longer one is refused here, as cutting it would change it.
std::string NameText(const std::string& name) {
    if (GbkByteLength(name) > kNameBytes) {
        throw UsageError{"--items: \"" + name + "\" is longer than " + std::to_string(kNameBytes) + " GBK bytes"};
    }
    return name;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t p = 0;
    while (true) {
        const std::size_t q = text.find(separator, p);
        parts.push_back(text.substr(p, q == std::string::npos ? std::string::npos : q - p));
        if (q == std::string::npos) return parts;
        p = q + 1;
    }
}

// --items "NAME:QTY:PRICE:AMOUNT:TAX;NAME:..." as the goods of a typed sale. A malformed list is a usage
// error; a number the sale cannot carry (a third decimal, a value below 0.01) is the field's result code.
ResultCode ReadItems(const std::string& list, karvex::Sale& sale, std::string& fault) {
    for (const std::string& item : Split(list, ';')) {
        if (item.empty()) continue;
        const std::vector<std::string> parts = Split(item, ':');
        if (parts.size() != 5) throw UsageError{"--items wants NAME:QTY:PRICE:AMOUNT:TAX for every item: " + item};
        // One digit per item, as the method's tax-index text has it.
        if (parts[4].size() != 1 || parts[4][0] < '0' || parts[4][0] > '9') {
            throw UsageError{"--items wants one tax index digit for every item: " + item};
        }
        SaleGoods line;
        line.name = NameText(parts[0]);
        line.taxIndex = parts[4][0] - '0';
        const struct {
            std::string text;
            ResultCode belowOne;
            std::int64_t& value;
        } numbers[] = {{NumberText(parts[1]), result::kQuantityZero, line.quantity},
                       {NumberText(parts[2]), result::kBadUnitPrice, line.price},
                       {NumberText(parts[3]), result::kBadAmount, line.amount}};
        for (const auto& n : numbers) {
            if (ResultCode code = ParseGoodsNumber(n.text, n.belowOne, n.value); code != 0) {
                // The code's own message speaks of characters; say which number and what is wrong with it.
                if (code == result::kNotDecimalNumber) fault = "“" + n.text + "”不是最多两位小数的数";
                return code;
            }
        }
        sale.goods.push_back(std::move(line));
    }
    return result::kSuccess;
}

// The host's sale number and the invoice's own fields; the goods come either as --items, read into a typed
// sale, or as the method's own fixed-width texts (--sales-num, --sales-name, --sales-amount, --sales-price,
// --sales-sum, --tax-index), handed to the method as they are.
Outcome MakeInvoice(Fiscal& f, const Options& o, SaleKind kind) {
    const std::int32_t fh = Int32Option(o, "fh-number", 0);
    const std::int32_t mode = Int32Option(o, "inv-mode", 0);
    const std::string oinv = o.Get("o-inv-num");
    if (kind == SaleKind::Return && oinv.empty()) throw UsageError{"return needs --o-inv-num NUMBER"};
    Outcome out{"FiscalMakeInv", 0, {}};
    if (o.Has("items")) {
        karvex::Sale sale;
        sale.kind = kind;
        sale.returnedInvoice = oinv;
        sale.fhNumber = fh;
        sale.invMode = mode;
        sale.payer = o.Get("pay-unit");
        std::string fault;
        out.result = ReadItems(o.Get("items"), sale, fault);
        if (!fault.empty()) out.outputs.emplace_back("error", fault);
        if (out.result == 0) out.result = f.FiscalMakeInv(Q(o.Get("sale-id")), sale);
    } else {
        if (!o.Has("sales-num")) throw UsageError{"missing --sales-num"};
        const std::int32_t count = Int32Option(o, "sales-num", 0);
        out.result = f.FiscalMakeInv(Q(o.Get("sale-id")), SaleCommand(kind), fh, mode, Q(oinv), Q(o.Get("pay-unit")),
                                     count, Q(o.Get("sales-name")), Q(o.Get("sales-amount")), Q(o.Get("sales-price")),
                                     Q(o.Get("sales-sum")), Q(o.Get("tax-index")));
    }
    if (out.result == 0) {
        QString machine, user, taxNumber, taxCode, dateTime;
        f.FiscalReturnInvInfo(machine, user, taxNumber, taxCode, dateTime);
        out.outputs = {{"MachineNum", U8(machine)},
                       {"UserName", U8(user)},
                       {"TaxNumber", U8(taxNumber)},
                       {"TaxCode", U8(taxCode)},
                       {"DateTime", U8(dateTime)}};
        // The answer names no number; the journal has it from the counter read before the issue.
        QString state, invNum, code, when;
        if (f.FiscalGetSale(Q(o.Get("sale-id")), state, invNum, code, when) == 0)
            out.outputs.emplace_back("InvNum", U8(invNum));
    }
    return out;
}

Outcome Issue(Fiscal& f, const Options& o) { return MakeInvoice(f, o, SaleKind::Issue); }
Outcome Return(Fiscal& f, const Options& o) { return MakeInvoice(f, o, SaleKind::Return); }

// What the sales journal knows of a sale; the last one without --sale-id. Only reads the store.
Outcome Sale(Fiscal& f, const Options& o) {
    QString state, invNum, taxCode, dateTime;
    Outcome out{"FiscalGetSale", f.FiscalGetSale(Q(o.Get("sale-id")), state, invNum, taxCode, dateTime), {}};
    if (out.result == 0) {
        out.outputs = {
            {"State", U8(state)}, {"InvNum", U8(invNum)}, {"TaxCode", U8(taxCode)}, {"DateTime", U8(dateTime)}};
    }
    return out;
}

Outcome LastIssueInfo(Fiscal& f, const Options&) {
    QString machine, user, taxNumber, taxCode, dateTime;
    Outcome out{"FiscalReturnInvInfo", f.FiscalReturnInvInfo(machine, user, taxNumber, taxCode, dateTime), {}};
    out.outputs = {{"MachineNum", U8(machine)},
                   {"UserName", U8(user)},
                   {"TaxNumber", U8(taxNumber)},
                   {"TaxCode", U8(taxCode)},
                   {"DateTime", U8(dateTime)}};
    return out;
}

Outcome Void(Fiscal& f, const Options& o) {
    if (!o.Has("inv-num")) throw UsageError{"missing --inv-num NUMBER"};
    QString number = Q(o.Get("inv-num"));
    Outcome out{"FiscalInvalidateInv", f.FiscalInvalidateInv(number), {}};
    out.outputs.emplace_back("InvNum", U8(number));
    return out;
}

Outcome PrintData(Fiscal& f, const Options& o) {
    std::int32_t command = kHostLastInvoiceData;
    QString invNum;
    if (o.Has("inv-num")) {
        command = kHostPrintDataByNumber;
        invNum = Q(o.Get("inv-num"));
    }
    QString oInvNum, machine, saleUnit, payUnit, taxNumber, taxCode, printDate, name, amount, price, sum;
    std::int32_t invType = 0;
    Outcome out{"GetPrintInv",
                f.GetPrintInv(command, invNum, oInvNum, machine, saleUnit, payUnit, taxNumber, taxCode, printDate, name,
                              amount, price, sum, invType),
                {}};
    out.outputs = {{"InvNum", U8(invNum)},
                   {"OInvNum", U8(oInvNum)},
                   {"MachineNumber", U8(machine)},
                   {"SaleUnit", U8(saleUnit)},
                   {"PayUnit", U8(payUnit)},
                   {"TaxNumber", U8(taxNumber)},
                   {"TaxCode", U8(taxCode)},
                   {"PrintDate", U8(printDate)},
                   {"SalesName", U8(name)},
                   {"SalesAmount", U8(amount)},
                   {"SalesPrice", U8(price)},
                   {"SalesSum", U8(sum)},
                   {"InvType", static_cast<int>(invType)}};
    return out;
}

Outcome RollSummary(Fiscal& f, const Options& o) {
    if (!o.Has("inv-num")) throw UsageError{"missing --inv-num NUMBER"};
    QString beginDate, endDate, beginNum, endNum, invCode, taxNumber, userName, machine;
    std::int32_t invalidated = 0, normal = 0, returned = 0;
    double normalSum = 0, returnSum = 0;
    Outcome out{"GetInvUseSum",
                f.GetInvUseSum(Q(o.Get("inv-num")), beginDate, endDate, beginNum, endNum, invalidated, normal,
                               normalSum, returned, returnSum, invCode, taxNumber, userName, machine),
                {}};
    out.outputs = {{"BeginDate", U8(beginDate)},  {"EndDate", U8(endDate)},       {"BeginInvNum", U8(beginNum)},
                   {"EndInvNum", U8(endNum)},     {"InvalidateInv", invalidated}, {"NormalInv", normal},
                   {"NormalSum", normalSum},      {"ReturnInv", returned},        {"ReturnSum", returnSum},
                   {"InvCode", U8(invCode)},      {"TaxNumber", U8(taxNumber)},   {"UserName", U8(userName)},
                   {"MachineNumber", U8(machine)}};
    return out;
}

// The codes `command` takes: the command table's menu entries that send at once, the ones the control runs
// for a host.
std::string MenuCommandCodes() {
    std::string list;
    char code[8];
    for (const CommandInfo& row : CommandTable()) {
        if (!row.menuDirect) continue;
        std::snprintf(code, sizeof code, "0x%02X", ToByte(row.code));
        list += (list.empty() ? "" : " ") + std::string(code);
    }
    return list;
}

// A console menu command without a payload (the rolls already dispensed, machine data, user information,
// tax items, machine state, totals ...), run as a host call: silent, waited for, its answer stored.
Outcome ConsoleCommand(Fiscal& f, const Options& o) {
    const long long code = IntOptionAnyBase(o, "code");
    const CommandInfo* info = code >= 0 && code <= 255 ? FindCommand(static_cast<std::uint8_t>(code)) : nullptr;
    if (!info || !info->menuDirect) throw UsageError{"--code must be one of " + MenuCommandCodes()};
    const CommandCode* cc = &info->code;
    FiscalAccess control(f);
    Outcome out{CommandName(static_cast<std::uint8_t>(code)), control.RunMenuCommand(*cc), {}};
    out.outputs.emplace_back("code", static_cast<long long>(code));
    const std::string number = control.Command().currentInvoice;
    if (!number.empty()) out.outputs.emplace_back("CurrentInvNumber", number);
    return out;
}

std::vector<Subcommand> Build() {
    std::vector<Subcommand> list;
    const std::vector<UsagePart> goods = {Needs("sales-num", "N"),
                                          Needs("sales-name", "S"),
                                          Needs("sales-amount", "S"),
                                          Needs("sales-price", "S"),
                                          Needs("sales-sum", "S"),
                                          Needs("tax-index", "S"),
                                          Maybe("pay-unit", "TEXT"),
                                          Maybe("fh-number", "N"),
                                          Maybe("inv-mode", "N"),
                                          Words(", or"),
                                          Needs("items", "\"NAME:QTY:PRICE:AMOUNT:TAX;...\""),
                                          Words(";"),
                                          Maybe("sale-id", "ID"),
                                          Words("the host's sale number: a repeat never issues twice")};
    std::vector<UsagePart> returned = {Needs("o-inv-num", "NUMBER")};
    returned.insert(returned.end(), goods.begin(), goods.end());
    list.push_back({"online", "bring the processor on line", {}, Online});
    list.push_back({"number", "read the current invoice number", {}, CurrentNumber});
    list.push_back({"issue", "issue an invoice (goods as fixed-width slices)", goods, Issue});
    list.push_back({"return", "return an invoice", returned, Return});
    list.push_back({"sale",
                    "what the sales journal knows of a sale (the last one without --sale-id)",
                    {Maybe("sale-id", "ID")},
                    Sale,
                    false});
    list.push_back({"void", "void an invoice", {Needs("inv-num", "NUMBER")}, Void});
    list.push_back({"lastinfo", "the processor's reply to the last issue (this run only)", {}, LastIssueInfo});
    list.push_back(
        {"print", "print data of the last invoice, or of --inv-num", {Maybe("inv-num", "NUMBER")}, PrintData});
    list.push_back({"command",
                    "run a console command without payload",
                    {Needs("code", "0xNN"), Words(", one of " + MenuCommandCodes())},
                    ConsoleCommand});
    list.push_back(
        {"summary", "usage summary of the roll holding --inv-num", {Needs("inv-num", "NUMBER")}, RollSummary});
    AddStoreSubcommands(list);
    AddSyncSubcommands(list);
    return list;
}

}  // namespace

UsagePart Needs(std::string option, std::string value) { return {std::move(option), std::move(value), false, {}}; }
UsagePart Maybe(std::string option, std::string value) { return {std::move(option), std::move(value), true, {}}; }
UsagePart Flag(std::string option) { return {std::move(option), {}, false, {}}; }
UsagePart Words(std::string words) { return {{}, {}, false, std::move(words)}; }

std::string UsageLine(const std::vector<UsagePart>& parts) {
    std::string line;
    for (const UsagePart& part : parts) {
        std::string shown = part.words;
        if (!part.option.empty()) {
            shown = "--" + part.option + (part.value.empty() ? "" : " " + part.value);
            if (part.optional) shown = "[" + shown + "]";
        }
        const bool attached = !part.words.empty() && (part.words[0] == ',' || part.words[0] == ';');
        line += (line.empty() || attached ? "" : " ") + shown;
    }
    return line;
}

const std::vector<Subcommand>& Subcommands() {
    static const std::vector<Subcommand> list = Build();
    return list;
}

}  // namespace karvex::cli
