#include "commands.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <QString>

#include "commands/catalogue.h"
#include "commands/issuers.h"
#include "control/control_module.h"
#include "convert/conversions.h"
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

// Right-pads a number to its 11-character slice. A longer one is refused: cutting it would change the value
// ("1234567890.5" would go out as 1234567890.).
std::string NumberSlice(const std::string& text, std::size_t width) {
    if (text.size() > width) {
        throw UsageError{"--items: \"" + text + "\" is longer than " + std::to_string(width) + " characters"};
    }
    return text + std::string(width - text.size(), ' ');
}

// A name padded with blanks to its 20-byte slice and otherwise passed on as typed, so that the control's
// own checks see it: fitting it here would turn a character without a GBK form into "?" and a tab into a
// name of blanks. A longer one is refused, as cutting it would change it.
std::string NameSlice(const std::string& name, std::size_t width) {
    const std::size_t bytes = GbkByteLength(name);
    if (bytes > width) {
        throw UsageError{"--items: \"" + name + "\" is longer than " + std::to_string(width) + " GBK bytes"};
    }
    return name + std::string(width - bytes, ' ');
}

// Goods lines are given either as --items "NAME:QTY:PRICE:AMOUNT:TAX;NAME:..." or as the method's own
// fixed-width slices (--sales-num, --sales-name, --sales-amount, --sales-price, --sales-sum, --tax-index).
void ExpandItems(Options& o) {
    if (!o.Has("items")) return;
    std::string names, amounts, prices, sums, taxes;
    int count = 0;
    std::string list = o.Get("items");
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(';', start);
        std::string item = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!item.empty()) {
            std::vector<std::string> parts;
            std::size_t p = 0;
            while (true) {
                std::size_t q = item.find(':', p);
                parts.push_back(item.substr(p, q == std::string::npos ? std::string::npos : q - p));
                if (q == std::string::npos) break;
                p = q + 1;
            }
            if (parts.size() != 5) throw UsageError{"--items wants NAME:QTY:PRICE:AMOUNT:TAX for every item: " + item};
            names += NameSlice(parts[0], 20);
            amounts += NumberSlice(parts[1], 11);
            prices += NumberSlice(parts[2], 11);
            sums += NumberSlice(parts[3], 11);
            // One digit per item: a missing or longer index would shift every later item's index.
            if (parts[4].size() != 1) throw UsageError{"--items wants one tax index digit for every item: " + item};
            taxes += parts[4];
            ++count;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    o.values["sales-num"] = std::to_string(count);
    o.values["sales-name"] = names;
    o.values["sales-amount"] = amounts;
    o.values["sales-price"] = prices;
    o.values["sales-sum"] = sums;
    o.values["tax-index"] = taxes;
}

Outcome MakeInvoice(Fiscal& f, const Options& given, int command) {
    Options o = given;
    ExpandItems(o);
    const std::int32_t fh = Int32Option(o, "fh-number", 0);
    const std::int32_t mode = Int32Option(o, "inv-mode", 0);
    const std::string oinv = o.Get("o-inv-num");
    if (command == kHostReturnInvoice && oinv.empty()) throw UsageError{"return needs --o-inv-num NUMBER"};
    if (!o.Has("sales-num")) throw UsageError{"missing --sales-num"};
    const std::int32_t count = Int32Option(o, "sales-num", 0);
    Outcome out{"FiscalMakeInv",
                f.FiscalMakeInv(Q(o.Get("sale-id")), command, fh, mode, Q(oinv), Q(o.Get("pay-unit")), count,
                                Q(o.Get("sales-name")), Q(o.Get("sales-amount")), Q(o.Get("sales-price")),
                                Q(o.Get("sales-sum")), Q(o.Get("tax-index"))),
                {}};
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

Outcome Issue(Fiscal& f, const Options& o) { return MakeInvoice(f, o, kHostIssueInvoice); }
Outcome Return(Fiscal& f, const Options& o) { return MakeInvoice(f, o, kHostReturnInvoice); }

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
    ControlModule& m = f.Module();
    Outcome out{CommandName(static_cast<std::uint8_t>(code)), m.RunMenuCommandForHost(*cc), {}};
    out.outputs.emplace_back("code", static_cast<long long>(code));
    const std::string& number = m.Command().replies.current_inv_number;
    if (!number.empty()) out.outputs.emplace_back("CurrentInvNumber", number);
    return out;
}

std::vector<Subcommand> Build() {
    std::vector<Subcommand> list;
    const std::string goods =
        "--sales-num N --sales-name S --sales-amount S --sales-price S --sales-sum S --tax-index S"
        " [--pay-unit TEXT] [--fh-number N] [--inv-mode N], or --items \"NAME:QTY:PRICE:AMOUNT:TAX;...\";"
        " [--sale-id ID] the host's sale number: a repeat never issues twice";
    list.push_back({"online", "bring the processor on line", "", Online});
    list.push_back({"number", "read the current invoice number", "", CurrentNumber});
    list.push_back({"issue", "issue an invoice (goods as fixed-width slices)", goods, Issue});
    list.push_back({"return", "return an invoice", "--o-inv-num NUMBER " + goods, Return});
    list.push_back({"sale", "what the sales journal knows of a sale (the last one without --sale-id)", "[--sale-id ID]",
                    Sale, false});
    list.push_back({"void", "void an invoice", "--inv-num NUMBER", Void});
    list.push_back({"lastinfo", "the processor's reply to the last issue (this run only)", "", LastIssueInfo});
    list.push_back({"print", "print data of the last invoice, or of --inv-num", "[--inv-num NUMBER]", PrintData});
    list.push_back({"command", "run a console command without payload", "--code 0xNN, one of " + MenuCommandCodes(),
                    ConsoleCommand});
    list.push_back({"summary", "usage summary of the roll holding --inv-num", "--inv-num NUMBER", RollSummary});
    AddStoreSubcommands(list);
    AddSyncSubcommands(list);
    return list;
}

}  // namespace

const std::vector<Subcommand>& Subcommands() {
    static const std::vector<Subcommand> list = Build();
    return list;
}

}  // namespace karvex::cli
