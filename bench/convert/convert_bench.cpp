// Cost of the conversions on the answer and request paths: GBK text of a full invoice frame, BCD fields
// and the 4-byte numbers.
#include <benchmark/benchmark.h>

#include <string>

#include "conversions.h"

namespace karvex {
namespace {

// A 236-byte answer payload as an invoice print-data frame carries it: names and addresses in Chinese,
// numbers, codes and blanks of fixed-width fields.
Bytes InvoiceFrameText() {
    const std::string text =
        "北京市海淀区中关村大街27号 Karvex 商贸有限公司   "
        "纳税人识别号110108123456789  发票代码137011234567  "
        "办公用品 A4打印纸 20包 单价25.00 金额500.00 税目01  "
        "收款员：张三  机器编号0000123456 ";
    Bytes gbk;
    GbkTextToBytes(text, gbk);
    gbk.resize(236, 0x20);
    return gbk;
}

void BM_GbkDecodeFrame(benchmark::State& state) {
    const Bytes frame = InvoiceFrameText();
    std::string out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(BytesToGbkText(frame, out));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(frame.size()));
}
BENCHMARK(BM_GbkDecodeFrame);

void BM_GbkDecodeFrameViaDispatch(benchmark::State& state) {
    const Bytes frame = InvoiceFrameText();
    std::string out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(BytesToText(frame, 0, 236, ConversionKind::kGbkText, out));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 236);
}
BENCHMARK(BM_GbkDecodeFrameViaDispatch);

void BM_GbkEncodeFrame(benchmark::State& state) {
    std::string text;
    BytesToGbkText(InvoiceFrameText(), text);
    Bytes out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GbkTextToBytes(text, out));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 236);
}
BENCHMARK(BM_GbkEncodeFrame);

void BM_FormatTextFieldCut(benchmark::State& state) {
    const std::string payer = "北京市海淀区中关村大街二十七号卡维克斯商贸有限公司";  // 50 bytes
    std::string out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatTextField(payer, 40, " ", 1, kCutToWidth, out));
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_FormatTextFieldCut);

void BM_BcdInvoiceCodeToDigits(benchmark::State& state) {
    const Bytes code = BytesOf({0x13, 0x70, 0x11, 0x23, 0x45, 0x67, 0x89, 0x01, 0x23, 0x45});
    std::string out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(BytesToDigits(code, out));
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_BcdInvoiceCodeToDigits);

void BM_DigitsToBcdDate(benchmark::State& state) {
    Bytes out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(DigitsToBcd("20050315", out));
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_DigitsToBcdDate);

void BM_NumberBEToText(benchmark::State& state) {
    const Bytes number = BytesOf({0xFF, 0xFF, 0xFF, 0xFF});
    std::string out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(BytesToNumberBE(number, out));
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_NumberBEToText);

void BM_TextToNumberBytes(benchmark::State& state) {
    Bytes out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(NumberToBytes("4294967295", out));
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_TextToNumberBytes);

void BM_InvoiceNumberDecodeAndPad(benchmark::State& state) {
    const Bytes answer = BytesOf({0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x30, 0x39});
    std::string number;
    std::string padded;
    for (auto _ : state) {
        BytesToText(answer, 4, 4, ConversionKind::kNumberBE, number);
        benchmark::DoNotOptimize(ZeroPadLeft(number, 10, padded));
        benchmark::DoNotOptimize(padded.data());
    }
}
BENCHMARK(BM_InvoiceNumberDecodeAndPad);

}  // namespace
}  // namespace karvex

BENCHMARK_MAIN();
