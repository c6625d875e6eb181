// The virtual processor's memory: factory data, taxpayer and limits, tax items, invoice rolls and every
// invoice it has issued, returned or voided. Amounts are kept in fen (hundredths of a yuan).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wire.h"

namespace karvex::sim {

struct FactoryData {
  std::string machine_number = "1100000000000001";  // 16 digits
  std::uint32_t production_date = 20050301;
  Bytes hardware_version;  // GBK, 18 bytes on the wire
  Bytes software_version;  // GBK, 18 bytes on the wire
};

struct Taxpayer {
  std::string card_number = "5100000000000123";  // 16 digits
  std::string card_password = "0000000000000000";
  std::uint32_t start_date = 20050101;
  std::uint32_t valid_date = 20991231;
  Bytes name;  // GBK, 40 bytes on the wire
  std::string payer_code = "3100000000000456";
  Bytes tax_number;                      // GBK, 20 bytes on the wire
  std::string office_code = "44030001";  // 8 digits
  std::uint8_t declare_method = 1;
  std::uint32_t issue_cutoff = 20991231;  // invoices dated after this day are refused (17)
  std::uint32_t single_limit = 1000000;   // fen, one invoice (18)
  std::uint32_t total_limit = 500000000;  // fen, normal invoices since the last declaration (19)
  std::uint32_t return_limit = 50000000;  // fen, returns since the last declaration (20)
  std::uint32_t household_limit = 99;     // highest valid 分户 number (43)
};

struct TaxItem {
  std::uint8_t index = 1;
  std::string code = "01010001";  // 8 digits
  std::uint16_t rate = 300;
  Bytes name_cn;  // GBK, 20 bytes
  Bytes name_en;  // 20 bytes
};

enum class RollState : std::uint8_t { Dispensed = 1, Installed = 2 };

struct Roll {
  std::string code;  // 20 digits
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  RollState state = RollState::Dispensed;
  std::uint32_t next = 0;  // next unused number while installed; last + 1 when used up
};

struct GoodsLine {
  Bytes name;                  // 20 bytes as received
  std::uint16_t quantity = 0;  // hundredths
  std::uint8_t tax_index = 0;
  std::uint32_t amount = 0;  // fen
};

enum class InvoiceKind : std::uint8_t { Normal = 1, Return = 2, Void = 3 };

struct Invoice {
  std::uint32_t number = 0;
  InvoiceKind kind = InvoiceKind::Normal;
  std::uint32_t date = 0;      // yyyymmdd
  std::uint32_t time = 0;      // hhmmss
  std::uint32_t original = 0;  // returned invoice's number (returns only)
  std::uint16_t household = 0;
  bool returned = false;                        // a later return refers to this invoice
  bool voided = false;                          // voided after issue
  std::uint32_t code_lead = 0, code_trail = 0;  // tax control code parts
  Bytes payer;                                  // 40 bytes
  std::vector<GoodsLine> lines;
  std::uint32_t total() const;
  bool counts_as_normal() const { return kind == InvoiceKind::Normal && !voided; }
  bool counts_as_return() const { return kind == InvoiceKind::Return && !voided; }
};

struct Totals {
  std::uint32_t normal_count = 0, return_count = 0, void_count = 0;
  std::uint64_t normal_sum = 0, return_sum = 0;
  std::uint64_t normal_by_tax[6] = {}, return_by_tax[6] = {};
};

struct MachineState {
  FactoryData factory;
  Taxpayer taxpayer;
  std::vector<TaxItem> tax_items;
  std::vector<Roll> rolls;
  std::vector<Invoice> invoices;    // in issue order
  std::uint32_t last_declared = 0;  // yyyymmdd of the last card write, 0 = never
  std::uint32_t roll_size = 100;
  std::uint64_t next_code = 1;   // serial part of the next dispensed roll's code
  std::uint32_t next_first = 1;  // first number of the next dispensed roll
  bool card_powered = false;

  // The number the next invoice gets; nullopt when every installed roll is used up.
  std::optional<std::uint32_t> current_number() const;
  Roll* current_roll();
  Roll& dispense_roll();
  const Invoice* find_invoice(std::uint32_t number) const;
  Invoice* find_invoice(std::uint32_t number);
  const Roll* roll_of(std::uint32_t number) const;
  // The six tax-item slots of day and declaration records: indices of the first six items, 0 when unused.
  void tax_slots(std::uint8_t slots[6]) const;
  // Totals over invoices dated from..to inclusive.
  Totals totals(std::uint32_t from, std::uint32_t to) const;
};

struct SeedOptions {
  int rolls = 2;        // installed rolls
  int spare_rolls = 1;  // dispensed, not yet installed
  int invoices = 0;
  std::uint32_t from = 0, to = 0;  // yyyymmdd; 0 = the clock's day
  std::uint64_t seed = 1;
  std::uint32_t roll_size = 0;  // numbers per roll; 0 = the default
  bool renumber_rolls = false;  // every roll numbers from 1 again, as rolls of another code may
};

// A fresh processor: factory data, taxpayer, five tax items, rolls and optionally seeded invoices.
MachineState make_default_state();
void seed_state(MachineState& state, const SeedOptions& options, std::uint32_t today);

// Tax control code of an invoice, derived from its content so that the same invoice always gets the same code.
void assign_tax_code(const MachineState& state, Invoice& invoice);
// Deterministic 128-byte signature over `data`, keyed by the machine number.
Bytes sign_data(const MachineState& state, const Bytes& data);

// Text form kept between runs. `load_state` returns an error message instead of throwing.
std::string save_state_text(const MachineState& state);
std::optional<MachineState> load_state_text(const std::string& text, std::string& error);
bool save_state_file(const MachineState& state, const std::string& path, std::string& error);
std::optional<MachineState> load_state_file(const std::string& path, std::string& error);

}  // namespace karvex::sim
