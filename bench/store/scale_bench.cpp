// A store of years of invoices: 10,000, 100,000 and 1,000,000 print-data rows (or the sizes given with
// --rows N,N,…), filled directly through the store. For each size: opening and unloading the store as
// LoadFiscalForm and UnloadFicalForm do, a date-range query and an invoice-number query (count, first window
// and totals, as the data browser runs them), the data browser opening offscreen on its print-data tab and
// jumping to the last row, and `karvex dump` in each format (a process of its own, writing to /dev/null).
// Prints one Markdown table: time and peak resident memory of each step.
//
// The key of each file is derived once per process: the first opening of a size pays it, later ones do not.
//
//   QT_QPA_PLATFORM=offscreen build/release/bench/store/scale_bench [--rows 10000,100000,1000000] [--keep DIR]
//   --keep DIR leaves the stores in DIR/<rows> and uses them again in a later run instead of filling anew.
#include <QApplication>
#include <QLabel>
#include <QTabWidget>
#include <QTableView>

#include <sqlcipher/sqlite3.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "browser/data_browser.h"
#include "control/port_answer_ui.h"
#include "karvex/fiscal.h"
#include "karvex/settings.h"
#include "store/row_reader.h"
#include "store/store_access.h"
#include "store/store_connection.h"
#include "store/store_upkeep.h"

extern char** environ;

using namespace karvex;

namespace {

using Clock = std::chrono::steady_clock;

// The peak resident size since the last reset, in KiB (Linux resets it when 5 is written to clear_refs).
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }
long PeakKb(const std::string& statusFile = "/proc/self/status") {
    std::ifstream status(statusFile);
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

struct Figure {
    std::string step;
    double ms = 0;
    long peakKb = 0;
    std::string note;
};

Figure Measure(const std::string& step, const std::function<std::string()>& body) {
    ResetPeak();
    const auto t0 = Clock::now();
    std::string note = body();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    return {step, ms, PeakKb(), note};
}

// Fills `rows` invoices: dates over the years from 2020 on, about 300 a day, numbers in order, every tenth a
// return, three goods lines each.
void Fill(StoreConnection& conn, int rows) {
    conn.Exec("BEGIN");
    Statement insert(
        conn,
        "INSERT INTO InvPrintData (开票日期发票号, 开票日期, 发票号, 开票类型, 开票总金额, 税控码, 原发票号, "
        "付款单位, 商品名称1, 数量1, 税种税目索引号1, 金额1, 商品名称2, 数量2, 税种税目索引号2, 金额2, "
        "商品名称3, 数量3, 税种税目索引号3, 金额3) VALUES (?1, ?2, ?3, ?4, ?5, ?6, '', ?7, '商品一', 1, 1, "
        "?8, '商品二', 2, 2, ?8, '商品三', 3, 1, ?8)");
    char date[16], number[16], key[32];
    for (int i = 0; i < rows; ++i) {
        const int day = i / 300;
        std::snprintf(date, sizeof date, "%04d%02d%02d", 2020 + day / 336, 1 + (day / 28) % 12, 1 + day % 28);
        std::snprintf(number, sizeof number, "%010d", i + 1);
        std::snprintf(key, sizeof key, "%s%s", date, number);
        sqlite3_stmt* s = insert.get();
        sqlite3_bind_text(s, 1, key, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 2, date, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 3, number, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(s, 4, i % 10 == 9 ? 2 : 1);
        sqlite3_bind_double(s, 5, 30.0 + i % 97);
        sqlite3_bind_text(s, 6, "12345678901234567890", -1, SQLITE_STATIC);
        sqlite3_bind_text(s, 7, "付款单位名称", -1, SQLITE_STATIC);
        sqlite3_bind_double(s, 8, 10.0 + i % 31);
        sqlite3_step(s);
        sqlite3_reset(s);
    }
    conn.Exec("COMMIT");
}

// The middle month of the filled dates, as a range.
std::pair<std::string, std::string> MiddleMonth(int rows) {
    const int day = rows / 2 / 300;
    char from[16], to[16];
    std::snprintf(from, sizeof from, "%04d%02d01", 2020 + day / 336, 1 + (day / 28) % 12);
    std::snprintf(to, sizeof to, "%04d%02d28", 2020 + day / 336, 1 + (day / 28) % 12);
    return {from, to};
}

// Normal and return amounts, as the print-data tab totals them.
const std::vector<TotalWanted>& PrintDataTotals() {
    static const std::vector<TotalWanted> wanted = {{{"开票总金额"}, "开票类型", 1}, {{"开票总金额"}, "开票类型", 2}};
    return wanted;
}

std::string RangeQuery(StoreAccess& store, const Selection& selection) {
    RowReader reader;
    std::int64_t count = 0;
    std::vector<StoredRow> window;
    std::vector<double> totals;
    if (reader.Open(store.Connection(), selection) != 0 || reader.Count(count) != 0 ||
        reader.ReadWindow(0, 128, window) != 0 || reader.Totals(PrintDataTotals(), totals) != 0)
        return "failed: " + reader.LastErrorText();
    return std::to_string(count) + " rows";
}

// Runs the tool on the store, output to /dev/null; wall time and the child's peak memory (sampled every 5 ms).
Figure Dump(const std::string& dir, const char* format) {
    const std::string tool = KARVEX_TOOL_PATH;
    std::vector<std::string> args = {tool, "--data-dir", dir, "dump", "--table", "InvPrintData", "--format", format};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto t0 = Clock::now();
    pid_t pid = 0;
    Figure f{std::string("karvex dump --format ") + format, 0, 0, ""};
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        f.note = "could not start " + tool;
        return f;
    }
    posix_spawn_file_actions_destroy(&actions);
    // The child's own high-water mark, read while it runs: what wait4 reports for a spawned child starts from
    // this process's peak, which the exec carries over.
    int status = 0;
    const std::string statusFile = "/proc/" + std::to_string(pid) + "/status";
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (const long kb = PeakKb(statusFile); kb > f.peakKb) f.peakKb = kb;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    f.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    f.note = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "exit status " + std::to_string(WEXITSTATUS(status));
    return f;
}

std::vector<int> ParseSizes(const std::string& text) {
    std::vector<int> sizes;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) sizes.push_back(std::stoi(item));
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes = {10000, 100000, 1000000};
    std::string keep;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--rows") sizes = ParseSizes(argv[i + 1]);
        if (std::string(argv[i]) == "--keep") keep = argv[i + 1];
    }
    QApplication app(argc, argv);
    std::printf("| rows | step | ms | peak MiB | note |\n|---:|---|---:|---:|---|\n");
    {
        // Qt's start-up (the font database and a Chinese font, style, the first backing store) belongs to the host's
        // first window, not to the browser of the first size measured.
        const Figure first = Measure("Qt's first window (not a goal)", [] {
            QTableView view;
            view.setWindowTitle(QStringLiteral("数据显示"));
            QLabel label(QStringLiteral("开票总累"), &view);
            view.show();
            QApplication::processEvents();
            return std::string();
        });
        std::printf("| - | %s | %.1f | %.1f | |\n", first.step.c_str(), first.ms, first.peakKb / 1024.0);
    }
    for (int rows : sizes) {
        const std::filesystem::path dir =
            keep.empty() ? std::filesystem::temp_directory_path() / ("karvex-scale-" + std::to_string(::getpid()))
                         : std::filesystem::path(keep) / std::to_string(rows);
        // A store kept by an earlier run with --keep is used again as it is.
        const bool filled = !keep.empty() && std::filesystem::exists(dir / kStoreFileName);
        if (!filled) std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::vector<Figure> figures;
        if (!filled) {
            StoreAccess store(dir);
            if (store.Open() != 0) {
                std::fprintf(stderr, "store: %s\n", store.LastErrorText().c_str());
                return 1;
            }
            figures.push_back(Measure("fill (not a goal)", [&] {
                Fill(*store.Connection(), rows);
                return std::to_string(std::filesystem::file_size(dir / kStoreFileName) >> 20) + " MiB file";
            }));
            store.CompactStoreAtUnload();
        }
        {
            // The whole host call pair on a control whose port is a pseudo-terminal (loading sends nothing to
            // the processor). The first pays the one key derivation of this file in this process.
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
            ::grantpt(master);
            ::unlockpt(master);
            Settings settings;
            settings.dataDirectory = dir.string();
            settings.devices[1] = ::ptsname(master);
            for (const char* step :
                 {"LoadFiscalForm + UnloadFicalForm, first", "LoadFiscalForm + UnloadFicalForm, again"}) {
                figures.push_back(Measure(step, [&] {
                    Fiscal fiscal(settings);
                    fiscal.SetUserInterface(std::make_shared<PortAnswerUi>("1"));
                    const int load = fiscal.LoadFiscalForm();
                    const int unload = fiscal.UnloadFicalForm(0);
                    return "results " + std::to_string(load) + ", " + std::to_string(unload);
                }));
            }
            ::close(master);
        }
        figures.push_back(Measure("store open + unload", [&] {
            StoreAccess store(dir);
            store.Open();
            store.CompactStoreAtUnload();
            const std::string note = store.Compacted() ? "compacted" : "not compacted";
            store.Close();
            return note;
        }));
        {
            // The same without the key derivation, which every open pays once whatever the size.
            StoreAccess store(dir);
            store.Open();
            figures.push_back(Measure("  of which unload", [&] {
                store.CompactStoreAtUnload();
                store.Close();
                return std::string();
            }));
            StoreConnection probe;
            figures.push_back(Measure("  of which opening the file with the key", [&] {
                probe.OpenForReading(dir / kStoreFileName, BuiltInStoreKey());
                return std::string();
            }));
        }
        {
            StoreAccess store(dir);
            store.Open();
            const auto [from, to] = MiddleMonth(rows);
            figures.push_back(Measure("date-range query (one month)", [&] {
                return RangeQuery(store, Selection::Of("InvPrintData").Between("开票日期", from, to));
            }));
            char low[16], high[16];
            std::snprintf(low, sizeof low, "%010d", rows / 2);
            std::snprintf(high, sizeof high, "%010d", rows / 2 + 99);
            figures.push_back(Measure("number query (100 invoices)", [&] {
                return RangeQuery(store,
                                  Selection::Of("InvPrintData").Between("发票号", std::string(low), std::string(high)));
            }));
            figures.push_back(Measure("print-data tab's store reads", [&] {
                RowReader reader;
                std::int64_t count = 0;
                std::vector<StoredRow> window;
                std::vector<double> totals;
                reader.Open(store.Connection(), Selection::Of("InvPrintData"));
                reader.Count(count);
                reader.ReadWindow(0, 128, window);
                reader.ReadWindow(count - 128, 128, window);
                reader.Totals(PrintDataTotals(), totals);
                return "count, first and last window, totals";
            }));
            std::unique_ptr<Datashow> browser;
            figures.push_back(Measure("browser opens, print-data tab", [&] {
                browser = std::make_unique<Datashow>(store.Connection());
                browser->TabStrip()->setCurrentIndex(1);
                browser->show();
                QApplication::processEvents();
                return std::to_string(browser->DataGrid(7)->model()->rowCount()) + " rows in the grid";
            }));
            figures.push_back(Measure("browser jumps to the last row", [&] {
                const int last = browser->DataGrid(7)->model()->rowCount() - 1;
                browser->SelectRow(Datashow::kSlotInvPrintData, last);
                browser->DataGrid(7)->scrollToBottom();
                QApplication::processEvents();
                return "row " + std::to_string(browser->CurrentRow(Datashow::kSlotInvPrintData) + 1);
            }));
            browser.reset();
        }
        for (const char* format : {"json", "jsonl", "csv"}) figures.push_back(Dump(dir.string(), format));
        {
            StoreAccess store(dir);
            store.Open();
            std::string report;
            figures.push_back(Measure("integrity_check (not a goal)", [&] {
                return StoreIntegrityOk(*store.Connection(), report) ? std::string("ok") : report;
            }));
        }
        for (const Figure& f : figures)
            std::printf("| %d | %s | %.1f | %.1f | %s |\n", rows, f.step.c_str(), f.ms, f.peakKb / 1024.0,
                        f.note.c_str());
        std::fflush(stdout);
        if (keep.empty()) std::filesystem::remove_all(dir);
    }
    return 0;
}
