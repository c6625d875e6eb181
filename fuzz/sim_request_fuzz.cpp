// The virtual processor's side of the line: its request reader fed an arbitrary byte stream, and the
// processor answering every request the reader hands over.
//
// Input: byte 0 = flags (bit 0: the rest is a list of requests, each a length byte with the command and
// payload, that the target frames with a fitting length and CRC; otherwise the rest is the raw line),
// byte 1 = piece size. Properties: the reader accounts for every byte it was fed, whatever the pieces; every
// answer is a well-formed frame that the library's answer check takes (fitting size and CRC, known status),
// with its packets-to-follow counting down to 0.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "link/frame_codec.h"
#include "processor.h"
#include "simulator.h"

using namespace karvex;
using sim::RequestReader;

namespace {

using Events = std::vector<RequestReader::Event>;

Events Read(std::span<const std::uint8_t> line, std::size_t piece, std::size_t& left) {
    RequestReader reader;
    Events events;
    for (std::size_t at = 0; at < line.size(); at += piece) {
        reader.feed(line.data() + at, std::min(piece, line.size() - at), events);
    }
    left = reader.discard().size();
    return events;
}

sim::MachineState Seeded() {
    sim::MachineState s = sim::make_default_state();
    sim::SeedOptions o;
    o.invoices = 3;
    o.from = 20240301;
    o.to = 20240314;
    o.seed = 42;
    sim::seed_state(s, o, 20240315);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t flags = in.Byte();
    const std::size_t piece = static_cast<std::size_t>(in.Byte()) + 1;
    Bytes line;
    if (flags & 1) {
        while (!in.empty()) {
            const auto request = in.Piece();
            if (request.empty()) continue;
            const Bytes frame = sim::request_frame(request[0], Bytes(request.begin() + 1, request.end()));
            line.insert(line.end(), frame.begin(), frame.end());
        }
    } else {
        const auto rest = in.Rest();
        line.assign(rest.begin(), rest.end());
    }

    std::size_t left_whole = 0, left_cut = 0;
    const Events whole = Read(line, line.size() + 1, left_whole);
    const Events cut = Read(line, piece, left_cut);
    std::size_t accounted = left_whole;
    for (const auto& e : whole) accounted += e.kind == RequestReader::EventKind::BadHeader ? 2 : e.bytes.size();
    FUZZ_CHECK(accounted == line.size(), "%zu of %zu bytes accounted for", accounted, line.size());
    // Skipped bytes may be reported in other groups; the requests must be the same.
    const auto requests = [](const Events& events) {
        Events out;
        for (const auto& e : events)
            if (e.kind != RequestReader::EventKind::Garbage) out.push_back(e);
        return out;
    };
    const Events a = requests(whole), b = requests(cut);
    FUZZ_CHECK(a.size() == b.size() && left_cut == left_whole, "pieces of %zu read differently", piece);
    for (std::size_t i = 0; i < a.size(); ++i) FUZZ_CHECK(a[i].kind == b[i].kind && a[i].bytes == b[i].bytes);

    sim::Processor processor(Seeded(), sim::Clock::fixed(sim::DateTime{2024, 3, 15, 10, 30, 0}));
    for (const auto& e : whole) {
        if (e.kind == RequestReader::EventKind::Garbage) continue;
        const auto answers = processor.handle(e.bytes);
        FUZZ_CHECK(!answers.empty());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const Bytes& a = answers[i];
            const AnswerCheck check = CheckAnswerFrame(std::span<const std::uint8_t>(a));
            FUZZ_CHECK(check.status != AnswerStatus::kInvalid, "answer %zu of request %s: code %d", i,
                       fuzz::Hex(e.bytes).c_str(), check.code);
            FUZZ_CHECK(a[2] == sim::follow_byte(i, answers.size()));
        }
        FUZZ_CHECK(answers.back()[2] == 0);
    }
    return 0;
}
