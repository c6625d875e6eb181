#pragma once
// Typed records decoded from the processor's answers.
//
// Each record holds exactly what one answer frame carries, already in the form the rest of the library keeps:
// invoice numbers as 10-digit texts, BCD fields as digit texts, amounts as doubles in yuan (the wire's
// hundredths / 100), signatures and MACs as upper-case hex text, GBK texts as UTF-8. The comment after each
// member names the store column it fills.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace karvex {

inline constexpr int kAnswerSlots = 6;  // tax-item and goods slots repeated in one answer

// 0x31 `DispenseInvoice`, 0x32 `AlreadyInvoice`: one invoice roll; table InvoiceNumber.
struct InvoiceRollRecord {
    std::string invoice_code;          // 发票代码 (20 digits)
    std::string first_number;          // 单卷发票起始号 (10 digits)
    std::string last_number;           // 单卷发票终止号 (10 digits)
    std::string current_number = " ";  // 当前发票号: a blank until the roll is taken into use
    std::uint8_t use_state = 1;        // 发票使用状态: 1 distributed, not yet in use
    std::string start_time = " ";      // 开始使用时间
    std::string used_up_time = " ";    // 用完时间
    std::string dispensed_time;        // 分发时间: time stamp of decoding
    std::string key;                   // 发票代码单卷发票起始号 = invoice_code + first_number
};

// 0x33 `CurrentInvoice`.
struct CurrentInvoiceRecord {
    std::string number;  // 10 digits
};

// 0x34 `MakeInvoice`, 0x35 `ReturnInvoice`: what the host gets back from `FiscalReturnInvInfo`.
struct IssueReply {
    std::string machine_num;  // MachineNum, 16 digits
    std::string user_name;    // UserName
    std::string tax_number;   // TaxNumber
    std::string tax_code;     // TaxCode: leading part + trailing part padded to 10 digits
    std::string date_time;    // DateTime, yyyymmddhhmm
};

// 0x37 `GetMachineData`; table MachineData.
struct MachineDataRecord {
    std::string machine_number;    // 机器编号 (16 digits)
    std::string production_date;   // 生产日期 (yyyymmdd)
    std::string hardware_version;  // 硬件版本号
    std::string software_version;  // 软件版本号
};

// 0x38 `UserInformation`; table UserInformation.
struct UserInformationRecord {
    std::string card_number;          // 税控卡编号
    std::string card_password;        // 税控卡使用口令
    std::string start_date;           // 应用起用日期
    std::string valid_date;           // 应用有效日期
    std::string taxpayer_name;        // 纳税人名称
    std::string taxpayer_code;        // 纳税人编码
    std::string tax_number;           // 税号
    std::string tax_office_code;      // 主管分局代码
    std::uint8_t declare_method = 0;  // 申报方式
    std::string invoice_end_date;     // 开票截止日期
    double single_invoice_limit = 0;  // 单张发票开票金额限额
    double invoice_total_limit = 0;   // 发票累计金额限额
    double return_total_limit = 0;    // 退票累计金额限额
};

// 0x39 `TaxInformation`, one tax item per frame; table TaxInformation (the writer adds 序号).
struct TaxItemRecord {
    std::uint8_t index = 0;      // 税种税目索引号
    std::string item_code;       // 税种项目代码 (8 digits)
    std::uint16_t tax_rate = 0;  // 税率, the raw value as received
    std::string name_cn;         // 经营项目中文名称
    std::string name_en;         // 经营项目英文名称
};

// 0x3A `GetTime` (no seconds) and 0xB3 `GetDateTime` (with seconds).
struct DateTimeRecord {
    std::string year;   // 4 digits
    std::string month;  // 2 digits
    std::string day;
    std::string hour;
    std::string minute;
    std::string second;  // empty for 0x3A
};

// 0x3C `InvoiceSum`: usage summary of one roll; table InvUseSum (the writer builds the key).
struct InvUseSumRecord {
    std::string invoice_code;       // 发票代码
    std::string first_number;       // 发票起始号
    std::string last_number;        // 发票终止号
    std::uint8_t normal_count = 0;  // 正常发票份数
    std::uint8_t return_count = 0;  // 退票份数
    std::uint8_t void_count = 0;    // 废票份数
    double normal_total = 0;        // 正常发票总金额
    double return_total = 0;        // 退票总金额
    std::string first_date;         // 开票起始时间 (yyyymmdd)
    std::string last_date;          // 开票截止时间 (yyyymmdd)
};

// One of the six tax-item slots of a declaration or a trading day.
struct TaxSlot {
    std::uint8_t tax_index = 0;  // 税种税目索引号k
    double normal_total = 0;     // 正常发票累计金额k
    double return_total = 0;     // 退票累计金额k
};

// 0x3E `DeclareData`; table DeclareData.
struct DeclareDataRecord {
    std::string card_number;         // 税控卡编号
    std::string start_date;          // 数据起始日期 (key)
    std::string end_date;            // 数据截止日期
    std::uint32_t normal_count = 0;  // 正常发票份数
    std::uint16_t return_count = 0;  // 退票份数
    std::uint16_t void_count = 0;    // 废票份数
    std::array<TaxSlot, kAnswerSlots> slots{};
    double card_normal_total = 0;  // 税控卡正常发票总累计金额
    double card_return_total = 0;  // 税控卡退票总累计金额
    std::string status_text;       // 状态字, decimal text of the byte
    std::string mac1;              // 申报数据MAC1, 8 hex characters
    std::string signature;         // 电子签名, 256 hex characters
    std::string xor_check_text;    // 响应报文数据异或和校验, decimal text of the byte
};

// One goods line of an invoice.
struct GoodsLine {
    std::string name;            // 商品名称k
    double quantity = 0;         // 数量k
    std::uint8_t tax_index = 0;  // 税种税目索引号k
    double amount = 0;           // 金额k
};

// 0x3F, 0x42, 0x43, 0xB1: print data of one invoice per frame; table InvPrintData.
struct InvPrintDataRecord {
    std::string issue_date;         // 开票日期 (yyyymmdd)
    std::string invoice_number;     // 发票号
    std::uint8_t invoice_type = 0;  // 开票类型
    double total = 0;               // 开票总金额
    std::string tax_code;           // 税控码 (20 characters)
    std::string original_number;    // 原发票号
    std::string reserved;           // 保留, 4 hex characters
    std::string payer;              // 付款单位
    // A slot whose name is empty carries no goods line: its columns are left unset.
    std::array<std::optional<GoodsLine>, kAnswerSlots> goods{};
    std::string key;  // 开票日期发票号 = issue_date + invoice_number
};

// 0x41 `MachineState`.
struct ProcessorStateRecord {
    std::uint8_t state = 0;
    std::string text;  // the status text shown to the operator
};

// 0x44 `DayTrade`, one day per frame; table DayTrade.
struct DayTradeRecord {
    std::string date;                // 日期 (key)
    std::uint16_t normal_count = 0;  // 正常发票份数
    std::uint16_t return_count = 0;  // 退票份数
    std::uint16_t void_count = 0;    // 废票份数
    std::array<TaxSlot, kAnswerSlots> slots{};
    std::string signature;  // 电子签名
};

// 0x46 `Idiograph`: the signature of the submitted data; table Idiograph.
struct SignatureRecord {
    std::string signature;  // 电子签名, 256 hex characters
};

// 0xA5 `SendStr`: the card's response.
struct CardAnswerRecord {
    std::string data_hex;     // the payload as blank-separated hex
    std::string status_code;  // last payload byte, then the one before it, two hex digits each
};

// 0xA6 `CardPowerOn`: the card's reset answer.
struct CardPowerOnRecord {
    std::string data_hex;  // the payload as blank-separated hex
};

// 0xB0 `CheckSelf`: one self-test item per frame.
struct SelfTestItemRecord {
    std::uint8_t item = 0;     // the item's bit
    std::uint8_t outcome = 0;  // 0 passed, anything else failed
};

// 0xBA `GetTotalSum`.
struct TotalSumRecord {
    double taxed_normal_total = 0;  // 完税后正常发票累计金额
    double taxed_return_total = 0;  // 完税后退票累计金额
    double normal_total = 0;        // 总正常发票累计金额
    double return_total = 0;        // 总退票累计金额
};

// Any decoded answer; monostate for answers that carry nothing (acknowledgements, `Online`, unknown codes).
using AnswerRecord =
    std::variant<std::monostate, InvoiceRollRecord, CurrentInvoiceRecord, IssueReply, MachineDataRecord,
                 UserInformationRecord, TaxItemRecord, DateTimeRecord, InvUseSumRecord, DeclareDataRecord,
                 InvPrintDataRecord, ProcessorStateRecord, DayTradeRecord, SignatureRecord, CardAnswerRecord,
                 CardPowerOnRecord, SelfTestItemRecord, TotalSumRecord>;

// ---------------------------------------------------------------------------------------------------------
// Values handed to the host's query calls

// One goods slot of the print-data query: all four texts empty when the answer had no goods line there.
struct GoodsReply {
    std::string name;      // SalesName
    std::string quantity;  // SalesAmount
    std::string price;     // SalesPrice: amount / quantity; empty when the quantity is 0
    std::string amount;    // SalesSum
};

// Filled while a print-data (caller mode 6) or roll-summary (caller mode 8) chain runs.
struct HostReply {
    // Print data (`GetPrintInv`).
    std::string print_date;     // PrintDate
    std::string inv_num;        // InvNum
    std::uint8_t inv_type = 0;  // InvType
    std::string o_inv_num;      // OInvNum
    std::string pay_unit;       // PayUnit
    std::string tax_code;       // TaxCode
    std::array<GoodsReply, kAnswerSlots> goods{};
    std::optional<InvPrintDataRecord> print_data;  // the record itself, for comparing it with a request
    std::string sale_unit;                         // SaleUnit
    // Both queries.
    std::string tax_number;      // TaxNumber
    std::string machine_number;  // MachineNumber
    // Roll summary (`GetInvUseSum`).
    std::string user_name;            // UserName
    std::string inv_code;             // InvCode
    std::string begin_inv_num;        // BeginInvNum
    std::string end_inv_num;          // EndInvNum
    std::string begin_date;           // BeginDate
    std::string end_date;             // EndDate
    std::uint8_t normal_inv = 0;      // NormalInv
    std::uint8_t return_inv = 0;      // ReturnInv
    std::uint8_t invalidate_inv = 0;  // InvalidateInv
    double normal_sum = 0;            // NormalSum
    double return_sum = 0;            // ReturnSum
};

}  // namespace karvex
