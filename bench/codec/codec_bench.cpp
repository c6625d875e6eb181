// Cost of the CRC over the shortest and the longest request, and of checking a long answer frame.
#include <benchmark/benchmark.h>

#include "frame_codec.h"

namespace karvex {
namespace {

Bytes Filled(std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return data;
}

void BM_FrameCrc7(benchmark::State& state) {
    const Bytes frame = BuildBareCommand(0x33).frame;  // 7 bytes
    for (auto _ : state) benchmark::DoNotOptimize(FrameCrc(frame));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 7);
}
BENCHMARK(BM_FrameCrc7);

void BM_FrameCrc255(benchmark::State& state) {
    const Bytes frame = Filled(255);
    for (auto _ : state) benchmark::DoNotOptimize(FrameCrc(frame));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 255);
}
BENCHMARK(BM_FrameCrc255);

void BM_CheckAnswerFrame236(benchmark::State& state) {
    const Bytes payload = Filled(230);
    const Bytes frame = BuildAnswerFrame("OK", 0, payload);  // L = 234, 236 bytes with the CRC
    if (frame.size() != 236 || CheckAnswerFrame(frame).code != 0) {
        state.SkipWithError("answer frame not built as expected");
        return;
    }
    for (auto _ : state) {
        auto check = CheckAnswerFrame(frame);
        benchmark::DoNotOptimize(check);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 236);
}
BENCHMARK(BM_CheckAnswerFrame236);

void BM_BuildInvoiceSixItems(benchmark::State& state) {
    InvoiceRequest request;
    request.PayUnit = "某某商贸有限公司";
    request.SalesNum = 6;
    for (int i = 0; i < kMaxInvoiceItems; ++i) {
        request.ItemName[static_cast<std::size_t>(i)] = "商品名称";
        request.ItemQuantity[static_cast<std::size_t>(i)] = 100 * (i + 1);
        request.ItemTaxIndex[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i + 1);
        request.ItemSumFen[static_cast<std::size_t>(i)] = 1234 * (i + 1);
    }
    for (auto _ : state) benchmark::DoNotOptimize(BuildInvoiceCommand(0x34, InvoiceLayout::Issue, request));
}
BENCHMARK(BM_BuildInvoiceSixItems);

}  // namespace
}  // namespace karvex
