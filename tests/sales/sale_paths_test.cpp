// One table of sales fed through every way a host can hand one over: the typed C++ call, the fixed-width
// texts, the C interface, Python, the tool and the service. Each way runs on a processor and a data
// directory of its own; the issue and return frames the processor took must be the same bytes every time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "commands/sale_frame.h"
#include "convert/conversions.h"
#include "daemon.h"
#include "karvex/application.h"
#include "karvex/fiscal.h"
#include "karvex/karvex.h"
#include "support/hex.h"
#include "support/processor.h"
#include "support/temp_dir.h"

namespace karvex::testing {
namespace {

using Frames = std::vector<std::vector<std::uint8_t>>;

// Each number as a host types it and as the typed call takes it (hundredths, fen).
struct Goods {
    const char* name;
    const char* quantity;
    std::int64_t hundredths;
    const char* price;
    std::int64_t priceFen;
    const char* amount;
    std::int64_t fen;
    int tax;
};

struct SaleRow {
    const char* id;
    const char* returned;  // empty: an issue
    int fh;
    const char* payer;
    std::vector<Goods> goods;
};

const std::vector<SaleRow>& Sales() {
    static const std::vector<SaleRow> sales = {
        {"T-1",
         "",
         0,
         "某某公司",
         {{"大米", "2.5", 250, "4", 400, "10", 1000, 1}, {"食用油", "1", 100, "59.9", 5990, "59.9", 5990, 2}}},
        // A name of ten Chinese characters fills its 20 bytes: nothing marks where it ends.
        {"T-2", "", 7, "", {{"一二三四五六七八九十", "0.01", 1, "0.01", 1, "0.01", 1, 3}}},
        {"T-3",
         "",
         99,  // the processor's highest 分户 number
         "一二三四五六七八九十一二三四五六七八九十",
         {{"笔", "655.35", 65535, "1", 100, "655.35", 65535, 5},
          {"纸", "0.5", 50, "0.03", 3, "0.02", 2, 1},
          {"Tea cup", "12", 1200, "3.05", 305, "36.6", 3660, 2},
          {"书包", "1.1", 110, "99.99", 9999, "109.99", 10999, 4},
          {"墨水", "3", 300, "0.99", 99, "2.97", 297, 5},
          {"一二三四五六七八九十", "100.01", 10001, "1", 100, "100.01", 10001, 3}}},
        {"T-4", "1", 3, "某某公司", {{"大米", "1.25", 125, "4", 400, "5", 500, 1}}},
    };
    return sales;
}

Sale TypedSale(const SaleRow& row) {
    Sale sale;
    sale.kind = *row.returned ? SaleKind::Return : SaleKind::Issue;
    sale.returnedInvoice = row.returned;
    sale.fhNumber = row.fh;
    sale.payer = row.payer;
    for (const Goods& g : row.goods) sale.goods.push_back({g.name, g.hundredths, g.priceFen, g.fen, g.tax});
    return sale;
}

// The goods as the service and the Python script take them: numbers as the host typed them.
QJsonArray GoodsJson(const SaleRow& row) {
    QJsonArray goods;
    for (const Goods& g : row.goods) {
        goods.append(QJsonObject{{"name", g.name},
                                 {"quantity", g.quantity},
                                 {"price", g.price},
                                 {"amount", g.amount},
                                 {"tax_index", g.tax}});
    }
    return goods;
}

Settings SettingsFor(const std::string& device, const std::string& dir) {
    Settings settings;
    settings.dataDirectory = dir;
    settings.devices[1] = device;
    return settings;
}

std::int32_t CommandOf(const SaleRow& row) { return SaleCommand(*row.returned ? SaleKind::Return : SaleKind::Issue); }

// The issue and return frames the processor took, in order.
Frames InvoiceFrames(const sim::Simulator& sim) {
    Frames out;
    for (auto& f : RequestFrames(sim)) {
        if (f.size() > 2 && (f[2] == SaleCommand(SaleKind::Issue) || f[2] == SaleCommand(SaleKind::Return))) {
            out.push_back(std::move(f));
        }
    }
    return out;
}

// The output of a program started with daemon.h's Spawn, once it has ended; its exit status in `status`.
std::string Finish(pid_t pid, int out, int& status) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    ::close(out);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return text;
}

std::string Padded(const std::string& text, std::size_t width) {
    return text + std::string(width - GbkByteLength(text), ' ');
}

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

std::string RightAligned(const std::string& text) { return std::string(11 - text.size(), ' ') + text; }

class SalePaths : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureApplication(); }

    // Starts a processor and a data directory for one way in, runs it, and keeps the frames it sent.
    void Through(const std::string& way,
                 const std::function<void(const std::string& device, const std::string& dir)>& run) {
        SCOPED_TRACE(way);
        auto sim = StartProcessor();
        ASSERT_NE(sim, nullptr);
        TempDir dir;
        run(sim->device_path(), dir.path());
        frames_[way] = InvoiceFrames(*sim);
        sim->stop();
    }

    std::map<std::string, Frames> frames_;
};

TEST_F(SalePaths, EveryWayInSendsTheSameFrames) {
    Through("typed", [](const std::string& device, const std::string& dir) {
        Fiscal fiscal(SettingsFor(device, dir));
        ASSERT_EQ(fiscal.LoadFiscalForm(), 0);
        for (const SaleRow& row : Sales()) EXPECT_EQ(fiscal.FiscalMakeInv(row.id, TypedSale(row)), 0) << row.id;
        fiscal.UnloadFicalForm(0);
    });
    Through("slices", [](const std::string& device, const std::string& dir) {
        Fiscal fiscal(SettingsFor(device, dir));
        ASSERT_EQ(fiscal.LoadFiscalForm(), 0);
        for (const SaleRow& row : Sales()) {
            std::string names, quantities, prices, amounts, taxes;
            for (const Goods& g : row.goods) {
                names += Padded(g.name, 20);
                quantities += RightAligned(g.quantity);
                prices += RightAligned(g.price);
                amounts += RightAligned(g.amount);
                taxes += std::to_string(g.tax);
            }
            const auto q = [](const std::string& s) { return QString::fromStdString(s); };
            EXPECT_EQ(fiscal.FiscalMakeInv(row.id, CommandOf(row), row.fh, 0, row.returned, q(row.payer),
                                           static_cast<std::int32_t>(row.goods.size()), q(names), q(quantities),
                                           q(prices), q(amounts), q(taxes)),
                      0)
                << row.id;
        }
        fiscal.UnloadFicalForm(0);
    });
    Through("C", [](const std::string& device, const std::string& dir) {
        ::setenv("KARVEX_DATA_DIR", dir.c_str(), 1);
        ::setenv("KARVEX_COM1", device.c_str(), 1);
        karvex_fiscal* f = karvex_create();
        ::unsetenv("KARVEX_DATA_DIR");
        ::unsetenv("KARVEX_COM1");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(karvex_LoadFiscalForm(f), 0);
        for (const SaleRow& row : Sales()) {
            std::vector<karvex_goods> goods;
            for (const Goods& g : row.goods) goods.push_back({g.name, g.hundredths, g.priceFen, g.fen, g.tax});
            EXPECT_EQ(karvex_FiscalMakeInvGoods(f, row.id, CommandOf(row), row.fh, 0, row.returned, row.payer,
                                                goods.data(), static_cast<std::int32_t>(goods.size())),
                      0)
                << row.id;
        }
        karvex_UnloadFicalForm(f, 0);
        karvex_destroy(f);
    });
    Through("tool", [](const std::string& device, const std::string& dir) {
        for (const SaleRow& row : Sales()) {
            std::string items;
            for (const Goods& g : row.goods) {
                items += std::string(items.empty() ? "" : ";") + g.name + ":" + g.quantity + ":" + g.price + ":" +
                         g.amount + ":" + std::to_string(g.tax);
            }
            std::vector<std::string> argv = {
                KARVEX_TOOL_PATH, "--data-dir", dir,       "--port", "1",           *row.returned ? "return" : "issue",
                "--sale-id",      row.id,       "--items", items,    "--fh-number", std::to_string(row.fh)};
            if (*row.payer) argv.insert(argv.end(), {"--pay-unit", row.payer});
            if (*row.returned) argv.insert(argv.end(), {"--o-inv-num", row.returned});
            int out = -1;
            int status = -1;
            const pid_t pid = Spawn(argv, {"KARVEX_COM1=" + device, "QT_QPA_PLATFORM=offscreen"}, &out);
            ASSERT_GT(pid, 0);
            const std::string said = Finish(pid, out, status);
            EXPECT_EQ(status, 0) << row.id << ": " << said;
        }
    });
    Through("service", [](const std::string& device, const std::string& dir) {
        Daemon daemon(dir, device);
        ASSERT_TRUE(daemon.Start());
        for (const SaleRow& row : Sales()) {
            const QJsonArray goods = GoodsJson(row);
            QJsonObject body{{"kind", *row.returned ? "return" : "issue"},
                             {"sale_id", row.id},
                             {"fh_number", row.fh},
                             {"payer", row.payer},
                             {"goods", goods}};
            if (*row.returned) body.insert("returned_invoice", row.returned);
            Connection c(daemon.Port());
            c.Send(RequestText("POST", "/v1/sales", daemon.Token(), QJsonDocument(body).toJson().toStdString()));
            const Reply r = c.Read();
            EXPECT_EQ(r.status, 200) << row.id << ": " << r.body;
        }
        EXPECT_EQ(daemon.Stop(), 0);
    });
#ifdef PYTHON_PATH
    Through("Python", [](const std::string& device, const std::string& dir) {
        QJsonArray sales;
        for (const SaleRow& row : Sales()) {
            const QJsonArray goods = GoodsJson(row);
            sales.append(QJsonObject{
                {"id", row.id}, {"returned", row.returned}, {"fh", row.fh}, {"payer", row.payer}, {"goods", goods}});
        }
        const std::string input = dir + "/sales.json";
        { std::ofstream(input) << QJsonDocument(sales).toJson().toStdString(); }
        int out = -1;
        int status = -1;
        const pid_t pid =
            Spawn({"/bin/sh", "-c",
                   std::string("exec \"") + PYTHON_PATH + "\" \"" + SALE_PATHS_SCRIPT + "\" < \"" + input + "\""},
                  {"KARVEX_COM1=" + device, "KARVEX_DATA_DIR=" + dir, "KARVEX_LIBRARY=" KARVEX_LIBRARY_PATH,
                   "PYTHONPATH=" BINDINGS_DIR, "PYTHONDONTWRITEBYTECODE=1", "QT_QPA_PLATFORM=offscreen"},
                  &out);
        ASSERT_GT(pid, 0);
        const std::string said = Finish(pid, out, status);
        EXPECT_EQ(status, 0) << said;
        std::string zeros;  // one result code per sale
        for (std::size_t i = 0; i < Sales().size(); ++i) zeros += "0\n";
        EXPECT_EQ(said, zeros);
    });
#endif

    const Frames& typed = frames_["typed"];
    ASSERT_EQ(typed.size(), Sales().size());
    // The frame of the one-line sale, written out: 分户 7, forty blanks for no payer, one line whose name
    // fills its 20 bytes, 0.01 of tax item 3 for 0.01.
    EXPECT_EQ(Bytes(typed[1].begin() + 5, typed[1].end() - 2),
              Hex("00 07 " + Repeat("20 ", 40) +
                  "01 D2 BB B6 FE C8 FD CB C4 CE E5 C1 F9 C6 DF B0 CB BE C5 CA AE 00 01 03 00 00 00 01"));
    for (const auto& [way, frames] : frames_) {
        EXPECT_EQ(frames, typed) << way << " sent other frames than the typed call";
    }
}

}  // namespace
}  // namespace karvex::testing
