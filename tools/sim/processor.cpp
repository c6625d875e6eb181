#include "processor.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <map>

namespace karvex::sim {

const std::vector<CommandInfo>& command_table() {
  static const std::vector<CommandInfo> table = {
      {0x00, "Online", 0, 0},
      {0x30, "Initialize", 0, 0},
      {0x31, "DispenseInvoice", 0, 0},
      {0x32, "AlreadyInvoice", 0, 0},
      {0x33, "CurrentInvoice", 0, 0},
      {0x34, "MakeInvoice", -1, -1},
      {0x35, "ReturnInvoice", -1, -1},
      {0x36, "InvalidateInvoice", 4, 4},
      {0x37, "GetMachineData", 0, 0},
      {0x38, "UserInformation", 0, 0},
      {0x39, "TaxInformation", 0, 0},
      {0x3A, "GetTime", 0, 0},
      {0x3B, "SetTime", 3, 3},
      {0x3C, "InvoiceSum", 4, 4},
      {0x3D, "WriteCard", 4, 4},
      {0x3E, "DeclareData", 4, 4},
      {0x3F, "InvoiceData", 4, 4},
      {0x40, "ManageEchoplex", 0, 0},
      {0x41, "MachineState", 0, 0},
      {0x42, "PrintDataByNumber", 8, 8},
      {0x43, "PrintDataByDate", 8, 8},
      {0x44, "DayTrade", 8, 8},
      {0x45, "CheckWriteCard", 0, 0},
      {0x46, "Idiograph", 128, 248},
      {0x47, "UpdateCondo", 0, 0},
      {0x86, "SetMD", 48, 48},
      {0xA5, "SendStr", 1, 248},
      {0xA6, "CardPowerOn", 0, 0},
      {0xA7, "CardPowerOff", 0, 0},
      {0xB0, "CheckSelf", 1, 1},
      {0xB1, "LastInvData", 0, 0},
      {0xB2, "SetDateTime", 7, 7},
      {0xB3, "GetDateTime", 0, 0},
      {0xB4, "InstallInv", 14, 14},
      {0xB5, "CheckCardByNumber", 8, 8},
      {0xB6, "CheckCardByDate", 8, 8},
      {0xB7, "CheckCardDayTrade", 8, 8},
      {0xB8, "CheckCardDeclare", 8, 8},
      {0xB9, "CyclicCheckSelf", 0, 0},
      {0xBA, "GetTotalSum", 0, 0},
  };
  return table;
}

const CommandInfo* find_command(std::uint8_t code) {
  for (const auto& c : command_table()) {
    if (c.code == code) return &c;
  }
  return nullptr;
}

std::optional<std::uint8_t> parse_command(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (const auto& c : command_table()) {
    std::string_view name = c.name;
    if (name.size() == text.size() && std::equal(name.begin(), name.end(), text.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      return c.code;
    }
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  unsigned value = 0;
  for (char ch : text) {
    int v;
    if (ch >= '0' && ch <= '9')
      v = ch - '0';
    else if (base == 16 && ch >= 'a' && ch <= 'f')
      v = ch - 'a' + 10;
    else if (base == 16 && ch >= 'A' && ch <= 'F')
      v = ch - 'A' + 10;
    else
      return std::nullopt;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(v);
    if (value > 255) return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

// ---- clock ----

namespace {
DateTime host_now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}
}  // namespace

Clock::Clock() = default;

Clock Clock::fixed(const DateTime& at) {
  Clock c;
  c.fixed_ = true;
  c.at_ = at;
  return c;
}

DateTime Clock::now() const {
  if (fixed_) return at_;
  return from_seconds(to_seconds(host_now()) + offset_);
}

void Clock::set(const DateTime& at) {
  if (fixed_)
    at_ = at;
  else
    offset_ = to_seconds(at) - to_seconds(host_now());
}

// ---- helpers ----

std::uint8_t follow_byte(std::size_t index, std::size_t count) {
  const std::size_t remaining = count - 1 - index;
  return static_cast<std::uint8_t>(std::min<std::size_t>(remaining, 255));
}

namespace {

using Frames = std::vector<Bytes>;

Frames error(std::uint8_t code) { return {er_frame(code)}; }
Frames ack() { return {ok_frame({})}; }

// Numbers the frames of a multi-frame answer: payload byte 0 is the frame's sequence number.
Frames sequence(const std::vector<Bytes>& bodies) {
  Frames frames;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    Bytes payload{static_cast<std::uint8_t>((i + 1) & 0xFF)};
    payload.insert(payload.end(), bodies[i].begin(), bodies[i].end());
    frames.push_back(ok_frame(payload, follow_byte(i, bodies.size())));
  }
  return frames;
}

std::optional<std::uint32_t> bcd_date(const Bytes& p, std::size_t at) {
  auto text = get_bcd(p, at, 4);
  if (!text) return std::nullopt;
  return parse_ymd(*text);
}

std::uint32_t sat32(std::uint64_t v) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0xFFFFFFFFu)); }

std::uint32_t day_after(std::uint32_t ymd) { return days_to_ymd(ymd_to_days(ymd) + 1); }

Bytes print_body(const Invoice& inv) {
  Bytes b;
  put_bcd_number(b, inv.date, 8);
  put_u32(b, inv.number);
  put_u8(b, static_cast<unsigned>(inv.voided ? InvoiceKind::Void : inv.kind));
  put_u32(b, inv.total());
  put_u32(b, inv.code_lead);
  put_u32(b, inv.code_trail);
  put_u32(b, inv.original);
  put_u16(b, 0);
  put_field(b, inv.payer, 40);
  for (std::size_t k = 0; k < 6; ++k) {
    if (k < inv.lines.size()) {
      const auto& l = inv.lines[k];
      put_field(b, l.name, 20);
      put_u16(b, l.quantity);
      put_u8(b, l.tax_index);
      put_u32(b, l.amount);
    } else {
      b.insert(b.end(), 27, 0x00);
    }
  }
  return b;
}

}  // namespace

// ---- processor ----

Processor::Processor(MachineState state, Clock clock) : state_(std::move(state)), clock_(clock) {}

std::vector<Bytes> Processor::handle(const Bytes& request) {
  if (request.size() < 7 || request[0] != 0x1B || request[1] != 0x10) return error(code::BadLength);
  const std::size_t length = get_u16(request, 3);
  if (length + 2 != request.size()) return error(code::BadLength);
  const std::uint16_t expected = crc16(request.data(), length);
  if (get_u16(request, length) != expected) return error(code::BadCrc);
  const std::uint8_t command = request[2];
  const CommandInfo* info = find_command(command);
  if (!info) return error(code::BadCommand);
  const Bytes payload(request.begin() + 5, request.begin() + static_cast<std::ptrdiff_t>(length));
  if (info->min_payload >= 0 &&
      (static_cast<int>(payload.size()) < info->min_payload || static_cast<int>(payload.size()) > info->max_payload)) {
    return error(code::BadLength);
  }
  return dispatch(command, payload);
}

Processor::Frames Processor::dispatch(std::uint8_t command, const Bytes& p) {
  auto& s = state_;
  switch (command) {
    case 0x00:  // Online
    case 0x30:  // Initialize
    case 0x40:  // ManageEchoplex
    case 0x45:  // CheckWriteCard
    case 0x47:  // UpdateCondo
    case 0xB9:  // CyclicCheckSelf
      return ack();
    case 0x31: {  // DispenseInvoice: one new roll per request
      const Roll& r = s.dispense_roll();
      Bytes b;
      put_bcd(b, r.code);
      put_u32(b, r.first);
      put_u32(b, r.last);
      return {ok_frame(b)};
    }
    case 0x32:
      return already_dispensed();
    case 0x33: {
      auto n = s.current_number();
      if (!n) return error(code::InvoicesUsedUp);
      Bytes b;
      put_u32(b, *n);
      return {ok_frame(b)};
    }
    case 0x34:
    case 0x35:
      return issue(command == 0x35, p);
    case 0x36:
      return void_invoice(get_u32(p, 0));
    case 0x37: {
      Bytes b;
      put_bcd(b, s.factory.machine_number);
      put_bcd_number(b, s.factory.production_date, 8);
      put_field(b, s.factory.hardware_version, 18);
      put_field(b, s.factory.software_version, 18);
      return {ok_frame(b)};
    }
    case 0x38: {
      const auto& t = s.taxpayer;
      Bytes b;
      put_bcd(b, t.card_number);
      put_bcd(b, t.card_password);
      put_bcd_number(b, t.start_date, 8);
      put_bcd_number(b, t.valid_date, 8);
      put_field(b, t.name, 40);
      put_bcd(b, t.payer_code);
      put_field(b, t.tax_number, 20);
      put_bcd(b, t.office_code);
      put_u8(b, t.declare_method);
      put_bcd_number(b, t.issue_cutoff, 8);
      put_u32(b, t.single_limit);
      put_u32(b, t.total_limit);
      put_u32(b, t.return_limit);
      return {ok_frame(b)};
    }
    case 0x39: {
      if (s.tax_items.empty()) return error(code::NoRecord);
      std::vector<Bytes> bodies;
      for (const auto& it : s.tax_items) {
        Bytes b;
        put_u8(b, it.index);
        put_bcd(b, it.code);
        put_u16(b, it.rate);
        put_field(b, it.name_cn, 20);
        put_field(b, it.name_en, 20);
        bodies.push_back(b);
      }
      return sequence(bodies);
    }
    case 0x3A:
    case 0xB3: {
      const DateTime t = clock_.now();
      Bytes b;
      put_bcd_number(b, t.ymd(), 8);
      put_bcd_number(b, static_cast<std::uint64_t>(t.hour * 100 + t.minute), 4);
      if (command == 0xB3) put_bcd_number(b, static_cast<std::uint64_t>(t.second), 2);
      return {ok_frame(b)};
    }
    case 0x3B: {
      auto text = get_bcd(p, 0, 3);
      if (!text) return error(code::Overflow);
      DateTime t = clock_.now();
      t.hour = std::stoi(text->substr(0, 2));
      t.minute = std::stoi(text->substr(2, 2));
      t.second = std::stoi(text->substr(4, 2));
      if (t.hour > 23 || t.minute > 59 || t.second > 59) return error(code::Overflow);
      clock_.set(t);
      return ack();
    }
    case 0xB2: {
      auto text = get_bcd(p, 0, 7);
      if (!text) return error(code::Overflow);
      auto day = parse_ymd(text->substr(0, 8));
      DateTime t;
      t.hour = std::stoi(text->substr(8, 2));
      t.minute = std::stoi(text->substr(10, 2));
      t.second = std::stoi(text->substr(12, 2));
      if (!day || t.hour > 23 || t.minute > 59 || t.second > 59) return error(code::Overflow);
      t.year = static_cast<int>(*day / 10000);
      t.month = static_cast<int>(*day / 100 % 100);
      t.day = static_cast<int>(*day % 100);
      clock_.set(t);
      return ack();
    }
    case 0x3C:
      return roll_summary(get_u32(p, 0));
    case 0x3D:
    case 0x3E:
    case 0x3F: {
      auto cutoff = bcd_date(p, 0);
      if (!cutoff) return error(code::Overflow);
      if (*cutoff > clock_.now().ymd()) return error(code::DeclareInFuture);
      if (command != 0x3F && s.last_declared != 0 && *cutoff < s.last_declared) return error(code::DeclareBeforeLast);
      if (command == 0x3D) return card_write(*cutoff);
      if (command == 0x3E) return declare(*cutoff);
      std::vector<const Invoice*> list;
      for (const auto& inv : s.invoices) {
        if (inv.date >= period_start() && inv.date <= *cutoff) list.push_back(&inv);
      }
      if (list.empty()) return error(code::NoRecord);
      return print_frames(list);
    }
    case 0x41: {
      Bytes b{static_cast<std::uint8_t>(s.current_number() ? 4 : 2)};
      return {ok_frame(b)};
    }
    case 0x42: {
      const std::uint32_t from = get_u32(p, 0), to = get_u32(p, 4);
      std::vector<const Invoice*> list;
      for (const auto& inv : s.invoices) {
        if (inv.number >= from && inv.number <= to) list.push_back(&inv);
      }
      std::sort(list.begin(), list.end(), [](const Invoice* a, const Invoice* b) { return a->number < b->number; });
      if (list.empty()) return error(code::NoSuchInvoice);
      return print_frames(list);
    }
    case 0x43:
    case 0x44: {
      auto from = bcd_date(p, 0), to = bcd_date(p, 4);
      if (!from || !to) return error(code::Overflow);
      if (command == 0x44) return day_trade(*from, *to);
      std::vector<const Invoice*> list;
      for (const auto& inv : s.invoices) {
        if (inv.date >= *from && inv.date <= *to) list.push_back(&inv);
      }
      if (list.empty()) return error(code::NoRecord);
      return print_frames(list);
    }
    case 0x46:
      return {ok_frame(sign_data(s, p))};
    case 0x86: {
      auto number = get_bcd(p, 0, 8);
      auto date = bcd_date(p, 8);
      if (!number || !date) return error(code::Overflow);
      s.factory.machine_number = *number;
      s.factory.production_date = *date;
      s.factory.hardware_version.assign(p.begin() + 12, p.begin() + 30);
      s.factory.software_version.assign(p.begin() + 30, p.begin() + 48);
      return ack();
    }
    case 0xA5: {
      // A card's status word follows its response data; a powered-down card answers "no card" (6A 82).
      Bytes b;
      if (s.card_powered)
        b = {0x90, 0x00};
      else
        b = {0x6A, 0x82};
      return {ok_frame(b)};
    }
    case 0xA6: {
      s.card_powered = true;
      return {ok_frame(Bytes{0x3B, 0x6D, 0x00, 0x00, 0x57, 0x44, 0x36, 0x0C, 0x86, 0x01})};
    }
    case 0xA7:
      s.card_powered = false;
      return ack();
    case 0xB0:
      return self_test(p[0]);
    case 0xB1: {
      if (s.invoices.empty()) return error(code::NoRecord);
      return print_frames({&s.invoices.back()});
    }
    case 0xB4:
      return install(p);
    case 0xB5: {
      if (get_u32(p, 0) > get_u32(p, 4)) return error(code::Overflow);
      return ack();
    }
    case 0xB6:
    case 0xB7:
    case 0xB8: {
      auto from = bcd_date(p, 0), to = bcd_date(p, 4);
      if (!from || !to || *from > *to) return error(code::Overflow);
      return ack();
    }
    case 0xBA:
      return total_sum();
    default:
      return error(code::BadCommand);
  }
}

std::uint32_t Processor::period_start() const {
  return state_.last_declared ? day_after(state_.last_declared) : state_.taxpayer.start_date;
}

Processor::Frames Processor::issue(bool is_return, const Bytes& p) {
  auto& s = state_;
  const std::size_t off = is_return ? 4 : 0;
  if (p.size() < off + 43) return error(code::BadLength);
  const std::size_t n = p[off + 42];
  if (n < 1 || n > 6 || p.size() != off + 43 + 27 * n) return error(code::BadLength);

  Invoice inv;
  inv.kind = is_return ? InvoiceKind::Return : InvoiceKind::Normal;
  inv.original = is_return ? get_u32(p, 0) : 0;
  inv.household = static_cast<std::uint16_t>(get_u16(p, off));
  inv.payer.assign(p.begin() + static_cast<std::ptrdiff_t>(off + 2), p.begin() + static_cast<std::ptrdiff_t>(off + 42));
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t at = off + 43 + 27 * k;
    GoodsLine line;
    line.name.assign(p.begin() + static_cast<std::ptrdiff_t>(at), p.begin() + static_cast<std::ptrdiff_t>(at + 20));
    line.quantity = static_cast<std::uint16_t>(get_u16(p, at + 20));
    line.tax_index = p[at + 22];
    line.amount = get_u32(p, at + 23);
    total += line.amount;
    inv.lines.push_back(line);
  }

  if (inv.household > s.taxpayer.household_limit) return error(code::BadHousehold);
  const DateTime now = clock_.now();
  if (now.ymd() > s.taxpayer.issue_cutoff) return error(code::PastCutoff);
  for (const auto& line : inv.lines) {
    const bool known = std::any_of(s.tax_items.begin(), s.tax_items.end(),
                                   [&](const TaxItem& it) { return it.index == line.tax_index; });
    if (!known) return error(code::BadTaxItem);
  }
  if (total > 0xFFFFFFFFu) return error(code::Overflow);
  if (total > s.taxpayer.single_limit) return error(code::SingleLimit);
  const Totals since = s.totals(period_start(), 99991231);
  Invoice* original = nullptr;
  if (is_return) {
    original = s.find_invoice(inv.original);
    if (!original || original->kind != InvoiceKind::Normal) return error(code::NoSuchInvoice);
    if (original->voided) return error(code::AlreadyVoided);
    if (original->returned) return error(code::AlreadyReturned);
    if (total > original->total()) return error(code::ReturnMismatch);
    if (since.return_sum + total > s.taxpayer.return_limit) return error(code::ReturnLimit);
  } else if (since.normal_sum + total > s.taxpayer.total_limit) {
    return error(code::TotalLimit);
  }
  Roll* roll = s.current_roll();
  if (!roll) return error(code::InvoicesUsedUp);

  inv.number = roll->next++;
  inv.date = now.ymd();
  inv.time = static_cast<std::uint32_t>(now.hour * 10000 + now.minute * 100 + now.second);
  assign_tax_code(s, inv);
  if (original) original->returned = true;
  s.invoices.push_back(inv);
  return {ok_frame(invoice_answer(inv))};
}

Bytes Processor::invoice_answer(const Invoice& inv) const {
  Bytes b;
  put_bcd(b, state_.factory.machine_number);
  put_field(b, state_.taxpayer.name, 40);
  put_field(b, state_.taxpayer.tax_number, 20);
  put_u32(b, inv.code_lead);
  put_u32(b, inv.code_trail);
  put_bcd_number(b, inv.date, 8);
  put_bcd_number(b, inv.time / 100, 4);
  return b;
}

Processor::Frames Processor::void_invoice(std::uint32_t number) {
  auto& s = state_;
  if (Invoice* inv = s.find_invoice(number)) {
    if (inv->voided || inv->kind == InvoiceKind::Void) return error(code::AlreadyVoided);
    if (inv->returned) return error(code::AlreadyReturned);
    inv->voided = true;
    return ack();
  }
  // A spoiled blank form: the number is used up without an invoice behind it.
  Roll* roll = s.current_roll();
  if (!roll || roll->next != number) return error(code::NoSuchInvoice);
  Invoice blank;
  blank.number = roll->next++;
  blank.kind = InvoiceKind::Void;
  const DateTime now = clock_.now();
  blank.date = now.ymd();
  blank.time = static_cast<std::uint32_t>(now.hour * 10000 + now.minute * 100 + now.second);
  blank.payer.assign(40, 0x20);
  assign_tax_code(s, blank);
  s.invoices.push_back(blank);
  return ack();
}

Processor::Frames Processor::already_dispensed() {
  std::vector<Bytes> bodies;
  for (const auto& r : state_.rolls) {
    if (r.state != RollState::Dispensed) continue;
    Bytes b;
    put_bcd(b, r.code);
    put_u32(b, r.first);
    put_u32(b, r.last);
    bodies.push_back(b);
  }
  if (bodies.empty()) return error(code::NoSpareRoll);
  return sequence(bodies);
}

Processor::Frames Processor::install(const Bytes& p) {
  auto code_text = get_bcd(p, 0, 10);
  if (!code_text) return error(code::Overflow);
  const std::uint32_t first = get_u32(p, 10);
  for (auto& r : state_.rolls) {
    if (r.code == *code_text && r.first == first) {
      if (r.state == RollState::Dispensed) {
        r.state = RollState::Installed;
        r.next = r.first;
      }
      return ack();
    }
  }
  return error(code::NoSuchInvoice);
}

Processor::Frames Processor::roll_summary(std::uint32_t number) {
  const Roll* roll = state_.roll_of(number);
  if (!roll) return error(code::NoSuchInvoice);
  std::uint32_t normal = 0, returns = 0, voids = 0, first_day = 0, last_day = 0;
  std::uint64_t normal_sum = 0, return_sum = 0;
  for (const auto& inv : state_.invoices) {
    if (inv.number < roll->first || inv.number > roll->last) continue;
    if (inv.voided || inv.kind == InvoiceKind::Void)
      ++voids;
    else if (inv.kind == InvoiceKind::Normal)
      ++normal, normal_sum += inv.total();
    else
      ++returns, return_sum += inv.total();
    if (first_day == 0 || inv.date < first_day) first_day = inv.date;
    last_day = std::max(last_day, inv.date);
  }
  Bytes b;
  put_bcd(b, roll->code);
  put_u32(b, roll->first);
  put_u32(b, roll->last);
  put_u8(b, std::min<std::uint32_t>(normal, 255));
  put_u8(b, std::min<std::uint32_t>(returns, 255));
  put_u8(b, std::min<std::uint32_t>(voids, 255));
  put_u32(b, sat32(normal_sum));
  put_u32(b, sat32(return_sum));
  put_bcd_number(b, first_day, 8);
  put_bcd_number(b, last_day, 8);
  return {ok_frame(b)};
}

Processor::Frames Processor::card_write(std::uint32_t cutoff) {
  state_.last_declared = cutoff;
  return ack();
}

Processor::Frames Processor::declare(std::uint32_t cutoff) {
  const std::uint32_t from = period_start();
  const Totals t = state_.totals(from, cutoff);
  std::uint8_t slots[6];
  state_.tax_slots(slots);
  Bytes b;
  put_bcd(b, state_.taxpayer.card_number);
  put_bcd_number(b, std::min(from, cutoff), 8);
  put_bcd_number(b, cutoff, 8);
  put_u32(b, t.normal_count);
  put_u16(b, std::min<std::uint32_t>(t.return_count, 0xFFFF));
  put_u16(b, std::min<std::uint32_t>(t.void_count, 0xFFFF));
  for (auto slot : slots) put_u8(b, slot);
  for (auto v : t.normal_by_tax) put_u32(b, sat32(v));
  for (auto v : t.return_by_tax) put_u32(b, sat32(v));
  put_u32(b, sat32(t.normal_sum));
  put_u32(b, sat32(t.return_sum));
  put_u8(b, 0);  // status
  const Bytes signature = sign_data(state_, b);
  b.insert(b.end(), signature.begin(), signature.begin() + 4);  // MAC
  b.insert(b.end(), signature.begin(), signature.end());
  std::uint8_t x = 0;
  for (auto v : b) x ^= v;
  put_u8(b, x);
  return {ok_frame(b)};
}

Processor::Frames Processor::print_frames(const std::vector<const Invoice*>& list) {
  std::vector<Bytes> bodies;
  for (const Invoice* inv : list) bodies.push_back(print_body(*inv));
  return sequence(bodies);
}

Processor::Frames Processor::day_trade(std::uint32_t from, std::uint32_t to) {
  std::map<std::uint32_t, bool> days;
  for (const auto& inv : state_.invoices) {
    if (inv.date >= from && inv.date <= to) days[inv.date] = true;
  }
  if (days.empty()) return error(code::NoRecord);
  std::uint8_t slots[6];
  state_.tax_slots(slots);
  std::vector<Bytes> bodies;
  for (const auto& [day, unused] : days) {
    const Totals t = state_.totals(day, day);
    Bytes b;
    put_bcd_number(b, day, 8);
    put_u16(b, std::min<std::uint32_t>(t.normal_count, 0xFFFF));
    put_u16(b, std::min<std::uint32_t>(t.return_count, 0xFFFF));
    put_u16(b, std::min<std::uint32_t>(t.void_count, 0xFFFF));
    for (auto slot : slots) put_u8(b, slot);
    for (auto v : t.normal_by_tax) put_u32(b, sat32(v));
    for (auto v : t.return_by_tax) put_u32(b, sat32(v));
    const Bytes signature = sign_data(state_, b);
    b.insert(b.end(), signature.begin(), signature.end());
    bodies.push_back(b);
  }
  return sequence(bodies);
}

Processor::Frames Processor::self_test(std::uint8_t mask) {
  // The RAM test stands for three sub-tests and the memory test for two, each reported on its own.
  if (mask & 0x04) mask |= 0x18;
  if (mask & 0x20) mask |= 0x40;
  std::vector<std::uint8_t> items;
  for (int bit = 0; bit < 8; ++bit) {
    if (mask & (1u << bit)) items.push_back(static_cast<std::uint8_t>(1u << bit));
  }
  if (items.empty()) return error(code::NoData);
  Frames frames;
  for (std::size_t i = 0; i < items.size(); ++i) {
    frames.push_back(ok_frame(Bytes{items[i], 0x00}, follow_byte(i, items.size())));
  }
  return frames;
}

Processor::Frames Processor::total_sum() {
  const Totals since = state_.totals(period_start(), 99991231);
  const Totals all = state_.totals(0, 99991231);
  Bytes b;
  put_u32(b, sat32(since.normal_sum));
  put_u32(b, sat32(since.return_sum));
  put_u32(b, sat32(all.normal_sum));
  put_u32(b, sat32(all.return_sum));
  return {ok_frame(b)};
}

}  // namespace karvex::sim
