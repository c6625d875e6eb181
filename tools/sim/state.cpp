#include "state.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace karvex::sim {

std::uint32_t Invoice::total() const {
  std::uint64_t sum = 0;
  for (const auto& line : lines) sum += line.amount;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, 0xFFFFFFFFu));
}

std::optional<std::uint32_t> MachineState::current_number() const {
  for (const auto& roll : rolls) {
    if (roll.state == RollState::Installed && roll.next <= roll.last) return roll.next;
  }
  return std::nullopt;
}

Roll* MachineState::current_roll() {
  for (auto& roll : rolls) {
    if (roll.state == RollState::Installed && roll.next <= roll.last) return &roll;
  }
  return nullptr;
}

Roll& MachineState::dispense_roll() {
  Roll roll;
  char code[24];
  // Region prefix 14400, then the roll's serial number.
  std::snprintf(code, sizeof code, "14400%015llu", static_cast<unsigned long long>(next_code % 1000000000000000ULL));
  roll.code = code;
  roll.first = next_first;
  roll.last = next_first + roll_size - 1;
  roll.next = roll.first;
  roll.state = RollState::Dispensed;
  ++next_code;
  next_first += roll_size;
  rolls.push_back(roll);
  return rolls.back();
}

const Invoice* MachineState::find_invoice(std::uint32_t number) const {
  for (const auto& inv : invoices) {
    if (inv.number == number) return &inv;
  }
  return nullptr;
}

Invoice* MachineState::find_invoice(std::uint32_t number) {
  for (auto& inv : invoices) {
    if (inv.number == number) return &inv;
  }
  return nullptr;
}

const Roll* MachineState::roll_of(std::uint32_t number) const {
  for (const auto& roll : rolls) {
    if (number >= roll.first && number <= roll.last) return &roll;
  }
  return nullptr;
}

void MachineState::tax_slots(std::uint8_t slots[6]) const {
  for (std::size_t i = 0; i < 6; ++i) slots[i] = i < tax_items.size() ? tax_items[i].index : 0;
}

Totals MachineState::totals(std::uint32_t from, std::uint32_t to) const {
  Totals t;
  std::uint8_t slots[6];
  tax_slots(slots);
  for (const auto& inv : invoices) {
    if (inv.date < from || inv.date > to) continue;
    if (inv.voided || inv.kind == InvoiceKind::Void) {
      ++t.void_count;
      continue;
    }
    const bool normal = inv.kind == InvoiceKind::Normal;
    (normal ? t.normal_count : t.return_count) += 1;
    (normal ? t.normal_sum : t.return_sum) += inv.total();
    for (const auto& line : inv.lines) {
      for (int k = 0; k < 6; ++k) {
        if (slots[k] != 0 && slots[k] == line.tax_index) (normal ? t.normal_by_tax : t.return_by_tax)[k] += line.amount;
      }
    }
  }
  return t;
}

namespace {

std::uint64_t fnv1a(const Bytes& data, std::uint64_t h = 1469598103934665603ULL) {
  for (auto b : data) {
    h ^= b;
    h *= 1099511628211ULL;
  }
  return h;
}

std::uint64_t splitmix(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

Bytes latin(std::string_view text, std::size_t width) {
  Bytes b(text.begin(), text.end());
  b.resize(width, 0x20);
  return b;
}

}  // namespace

void assign_tax_code(const MachineState& state, Invoice& invoice) {
  Bytes data(state.factory.machine_number.begin(), state.factory.machine_number.end());
  put_u32(data, invoice.number);
  put_u32(data, invoice.date);
  put_u32(data, invoice.time);
  put_u8(data, static_cast<unsigned>(invoice.kind));
  data.insert(data.end(), invoice.payer.begin(), invoice.payer.end());
  for (const auto& line : invoice.lines) {
    data.insert(data.end(), line.name.begin(), line.name.end());
    put_u16(data, line.quantity);
    put_u32(data, line.amount);
  }
  // A number an earlier roll already used (a roll numbered from 1 again): the roll in use goes into the code,
  // as the real unit's code covers its roll, so the two invoices never share one.
  const bool seen = std::any_of(state.invoices.begin(), state.invoices.end(),
                                [&](const Invoice& other) { return other.number == invoice.number; });
  if (seen) {
    for (const auto& roll : state.rolls) {
      if (roll.state == RollState::Installed && roll.next == invoice.number + 1 && roll.first <= invoice.number)
        data.insert(data.end(), roll.code.begin(), roll.code.end());
    }
  }
  std::uint64_t x = fnv1a(data);
  invoice.code_lead = static_cast<std::uint32_t>(splitmix(x) % 4000000000u) + 100000000u;
  invoice.code_trail = static_cast<std::uint32_t>(splitmix(x) % 4000000000u);
}

Bytes sign_data(const MachineState& state, const Bytes& data) {
  Bytes key(state.factory.machine_number.begin(), state.factory.machine_number.end());
  std::uint64_t x = fnv1a(data, fnv1a(key));
  Bytes out;
  while (out.size() < 128) put_u32(out, static_cast<std::uint32_t>(splitmix(x) >> 16));
  out.resize(128);
  return out;
}

MachineState make_default_state() {
  MachineState s;
  s.factory.hardware_version = latin("HW-V2.10", 18);
  s.factory.software_version = latin("SW-V3.05", 18);
  s.taxpayer.name = gbk_field("深圳市凯维电子商贸有限公司", 40);
  s.taxpayer.tax_number = latin("440300123456789", 20);
  struct Seed {
    std::uint8_t index;
    const char* code;
    std::uint16_t rate;
    const char* cn;
    const char* en;
  };
  static const Seed items[] = {
      {1, "01010001", 300, "商业零售", "Retail"},        {2, "01020002", 500, "餐饮服务", "Catering"},
      {3, "01030003", 500, "娱乐服务", "Entertainment"}, {4, "01040004", 300, "修理修配", "Repair"},
      {5, "01050005", 0, "免税项目", "Tax free"},
  };
  for (const auto& it : items) {
    s.tax_items.push_back(TaxItem{it.index, it.code, it.rate, gbk_field(it.cn, 20), latin(it.en, 20)});
  }
  return s;
}

void seed_state(MachineState& state, const SeedOptions& options, std::uint32_t today) {
  if (options.roll_size > 0) state.roll_size = options.roll_size;
  for (int i = 0; i < options.rolls; ++i) {
    Roll& roll = state.dispense_roll();
    roll.state = RollState::Installed;
    if (options.renumber_rolls) {
      roll.first = roll.next = 1;
      roll.last = state.roll_size;
    }
  }
  std::mt19937_64 rng(options.seed);
  const std::uint32_t from = options.from ? options.from : today;
  const std::uint32_t to = options.to ? options.to : std::max(from, today);
  const std::int64_t d0 = ymd_to_days(std::min(from, to)), d1 = ymd_to_days(std::max(from, to));
  std::vector<std::int64_t> days;
  for (int i = 0; i < options.invoices; ++i) {
    days.push_back(d0 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(d1 - d0 + 1)));
  }
  std::sort(days.begin(), days.end());
  static const char* payers[] = {"个人", "华南五金批发部", "蓝海餐饮管理有限公司", "明珠文具店"};
  static const char* goods[] = {"矿泉水", "笔记本", "午餐套餐", "维修服务", "打印纸", "茶叶"};
  std::vector<std::uint32_t> returnable;
  for (std::size_t i = 0; i < days.size(); ++i) {
    Roll* roll = state.current_roll();
    if (!roll) {
      state.dispense_roll().state = RollState::Installed;
      roll = state.current_roll();
    }
    Invoice inv;
    inv.number = roll->next++;
    inv.date = days_to_ymd(days[i]);
    inv.time = static_cast<std::uint32_t>(90000 + (rng() % 10) * 10000 + (rng() % 60) * 100 + rng() % 60);
    inv.household = 0;
    inv.payer = gbk_field(payers[rng() % 4], 40);
    const std::uint64_t pick = rng() % 20;
    if (pick == 0 && !returnable.empty()) {
      const std::uint32_t orig = returnable.back();
      returnable.pop_back();
      Invoice* o = state.find_invoice(orig);
      o->returned = true;
      inv.kind = InvoiceKind::Return;
      inv.original = orig;
      inv.payer = o->payer;
      inv.lines = o->lines;
    } else if (pick == 1) {
      inv.kind = InvoiceKind::Void;
    } else {
      const int n = 1 + static_cast<int>(rng() % 3);
      for (int k = 0; k < n; ++k) {
        GoodsLine line;
        line.name = gbk_field(goods[rng() % 6], 20);
        line.quantity = static_cast<std::uint16_t>(100 * (1 + rng() % 5));
        line.tax_index = state.tax_items[rng() % state.tax_items.size()].index;
        line.amount = static_cast<std::uint32_t>(100 + rng() % 50000);
        inv.lines.push_back(line);
      }
      returnable.push_back(inv.number);
    }
    assign_tax_code(state, inv);
    state.invoices.push_back(inv);
  }
  for (int i = 0; i < options.spare_rolls; ++i) state.dispense_roll();
}

// ---- text form ----

namespace {

std::string hex_or_dash(const Bytes& b) { return b.empty() ? "-" : hex_plain(b); }

bool read_hex(const std::string& token, Bytes& out) {
  if (token == "-") {
    out.clear();
    return true;
  }
  auto b = parse_hex(token);
  if (!b) return false;
  out = *b;
  return true;
}

bool digits_only(const std::string& s, std::size_t n) {
  return s.size() == n && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string save_state_text(const MachineState& s) {
  std::ostringstream o;
  o << "karvex-sim-state 1\n";
  o << "factory " << s.factory.machine_number << ' ' << s.factory.production_date << ' '
    << hex_or_dash(s.factory.hardware_version) << ' ' << hex_or_dash(s.factory.software_version) << '\n';
  const auto& t = s.taxpayer;
  o << "taxpayer " << t.card_number << ' ' << t.card_password << ' ' << t.start_date << ' ' << t.valid_date << ' '
    << hex_or_dash(t.name) << ' ' << t.payer_code << ' ' << hex_or_dash(t.tax_number) << ' ' << t.office_code << ' '
    << unsigned(t.declare_method) << ' ' << t.issue_cutoff << ' ' << t.single_limit << ' ' << t.total_limit << ' '
    << t.return_limit << ' ' << t.household_limit << '\n';
  o << "counters " << s.roll_size << ' ' << s.next_code << ' ' << s.next_first << ' ' << s.last_declared << '\n';
  for (const auto& it : s.tax_items) {
    o << "tax " << unsigned(it.index) << ' ' << it.code << ' ' << it.rate << ' ' << hex_or_dash(it.name_cn) << ' '
      << hex_or_dash(it.name_en) << '\n';
  }
  for (const auto& r : s.rolls) {
    o << "roll " << r.code << ' ' << r.first << ' ' << r.last << ' ' << unsigned(r.state) << ' ' << r.next << '\n';
  }
  for (const auto& inv : s.invoices) {
    o << "invoice " << inv.number << ' ' << unsigned(inv.kind) << ' ' << inv.date << ' ' << inv.time << ' '
      << inv.original << ' ' << inv.household << ' ' << int(inv.returned) << ' ' << int(inv.voided) << ' '
      << inv.code_lead << ' ' << inv.code_trail << ' ' << hex_or_dash(inv.payer) << ' ' << inv.lines.size() << '\n';
    for (const auto& l : inv.lines) {
      o << "line " << hex_or_dash(l.name) << ' ' << l.quantity << ' ' << unsigned(l.tax_index) << ' ' << l.amount
        << '\n';
    }
  }
  return o.str();
}

std::optional<MachineState> load_state_text(const std::string& text, std::string& error) {
  MachineState s;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  std::size_t lines_due = 0;
  auto fail = [&](const std::string& why) {
    error = "state line " + std::to_string(number) + ": " + why;
    return std::nullopt;
  };
  if (!std::getline(in, line) || line != "karvex-sim-state 1") {
    error = "not a karvex-sim state file (first line must be \"karvex-sim-state 1\")";
    return std::nullopt;
  }
  number = 1;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    std::istringstream f(line);
    std::string kind;
    f >> kind;
    if (lines_due > 0 && kind != "line") return fail("goods line expected");
    if (kind == "factory") {
      std::string hw, sw;
      f >> s.factory.machine_number >> s.factory.production_date >> hw >> sw;
      if (!f || !digits_only(s.factory.machine_number, 16) || !read_hex(hw, s.factory.hardware_version) ||
          !read_hex(sw, s.factory.software_version)) {
        return fail("bad factory record");
      }
    } else if (kind == "taxpayer") {
      auto& t = s.taxpayer;
      std::string name, taxno;
      unsigned method = 0;
      f >> t.card_number >> t.card_password >> t.start_date >> t.valid_date >> name >> t.payer_code >> taxno >>
          t.office_code >> method >> t.issue_cutoff >> t.single_limit >> t.total_limit >> t.return_limit >>
          t.household_limit;
      if (!f || !digits_only(t.card_number, 16) || !digits_only(t.card_password, 16) ||
          !digits_only(t.payer_code, 16) || !digits_only(t.office_code, 8) || method > 255 || !read_hex(name, t.name) ||
          !read_hex(taxno, t.tax_number)) {
        return fail("bad taxpayer record");
      }
      t.declare_method = static_cast<std::uint8_t>(method);
    } else if (kind == "counters") {
      f >> s.roll_size >> s.next_code >> s.next_first >> s.last_declared;
      if (!f || s.roll_size == 0) return fail("bad counters record");
    } else if (kind == "tax") {
      TaxItem it;
      unsigned index = 0, rate = 0;
      std::string cn, en;
      f >> index >> it.code >> rate >> cn >> en;
      if (!f || index > 255 || rate > 65535 || !digits_only(it.code, 8) || !read_hex(cn, it.name_cn) ||
          !read_hex(en, it.name_en)) {
        return fail("bad tax record");
      }
      it.index = static_cast<std::uint8_t>(index);
      it.rate = static_cast<std::uint16_t>(rate);
      s.tax_items.push_back(it);
    } else if (kind == "roll") {
      Roll r;
      unsigned state = 0;
      f >> r.code >> r.first >> r.last >> state >> r.next;
      if (!f || !digits_only(r.code, 20) || r.first > r.last || (state != 1 && state != 2)) {
        return fail("bad roll record");
      }
      r.state = static_cast<RollState>(state);
      s.rolls.push_back(r);
    } else if (kind == "invoice") {
      Invoice inv;
      unsigned k = 0, household = 0;
      int returned = 0, voided = 0;
      std::string payer;
      f >> inv.number >> k >> inv.date >> inv.time >> inv.original >> household >> returned >> voided >>
          inv.code_lead >> inv.code_trail >> payer >> lines_due;
      if (!f || k < 1 || k > 3 || household > 65535 || !read_hex(payer, inv.payer) || lines_due > 6) {
        return fail("bad invoice record");
      }
      inv.kind = static_cast<InvoiceKind>(k);
      inv.household = static_cast<std::uint16_t>(household);
      inv.returned = returned != 0;
      inv.voided = voided != 0;
      s.invoices.push_back(inv);
    } else if (kind == "line") {
      if (lines_due == 0 || s.invoices.empty()) return fail("goods line without its invoice");
      GoodsLine l;
      std::string name;
      unsigned qty = 0, tax = 0;
      f >> name >> qty >> tax >> l.amount;
      if (!f || qty > 65535 || tax > 255 || !read_hex(name, l.name)) return fail("bad goods line");
      l.quantity = static_cast<std::uint16_t>(qty);
      l.tax_index = static_cast<std::uint8_t>(tax);
      s.invoices.back().lines.push_back(l);
      --lines_due;
    } else {
      return fail("unknown record \"" + kind + "\"");
    }
  }
  if (lines_due > 0) return fail("goods lines missing at the end");
  return s;
}

bool save_state_file(const MachineState& state, const std::string& path, std::string& error) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << save_state_text(state);
    out.flush();
    if (!out) {
      error = "cannot write " + tmp;
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path;
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

std::optional<MachineState> load_state_file(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return load_state_text(text.str(), error);
}

}  // namespace karvex::sim
