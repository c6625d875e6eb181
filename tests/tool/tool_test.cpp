// The karvex tool as a script would use it: one JSON object on standard output, exit status 0 / 1 / 2.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <csignal>

#include <fcntl.h>

#include "commands/catalogue.h"
#include "json_writer.h"
#include "store/record_set.h"
#include "store/store_access.h"
#include "simulator.h"
#include "support/processor.h"
#include "support/temp_dir.h"
#include "wire.h"

extern char** environ;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = karvex::testing::StartProcessor();
        ASSERT_NE(sim_, nullptr);
    }
    void TearDown() override {
        if (sim_) sim_->stop();
    }

    // Runs the tool with port 1 on the simulator and a data directory of its own. The tick stays the link's
    // own second unless a test waits for a time-out: a short one would end a command whose answer merely
    // comes late on a busy machine.
    ToolRun Run(std::vector<std::string> args, bool withPort = true, const std::string& device = "",
                const std::string& tickMs = "1000") {
        int fds[2];
        int errs[2];
        EXPECT_EQ(::pipe(fds), 0);
        EXPECT_EQ(::pipe(errs), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_adddup2(&actions, errs[1], 2);
        posix_spawn_file_actions_addclose(&actions, errs[0]);
        const pid_t pid = Spawn(std::move(args), &actions, withPort, device, tickMs);
        posix_spawn_file_actions_destroy(&actions);
        ToolRun run;
        ::close(fds[1]);
        ::close(errs[1]);
        if (pid <= 0) {
            ::close(fds[0]);
            ::close(errs[0]);
            return run;
        }
        char buf[4096];
        ssize_t n;
        // Standard error stays far below a pipe's buffer (a usage text at most), so it can wait its turn.
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) run.out.append(buf, static_cast<std::size_t>(n));
        ::close(fds[0]);
        while ((n = ::read(errs[0], buf, sizeof buf)) > 0) run.err.append(buf, static_cast<std::size_t>(n));
        ::close(errs[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    // Starts the tool as Run does and returns at once: its process id, or 0 when it did not start.
    pid_t Spawn(std::vector<std::string> args, const posix_spawn_file_actions_t* actions, bool withPort = true,
                const std::string& device = "", const std::string& tickMs = "1000") {
        std::vector<std::string> argv = {KARVEX_TOOL_PATH, "--data-dir", dataDir_.empty() ? dir_ : dataDir_};
        if (withPort) {
            argv.push_back("--port");
            argv.push_back("1");
        }
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);

        std::vector<std::string> env = {"KARVEX_COM1=" + (device.empty() ? sim_->device_path() : device),
                                        "KARVEX_TICK_MS=" + tickMs, "QT_QPA_PLATFORM=offscreen"};
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("KARVEX_", 0) != 0 && v.rfind("QT_QPA_PLATFORM=", 0) != 0) env.push_back(v);
        }
        std::vector<char*> cenv;
        for (auto& v : env) cenv.push_back(v.data());
        cenv.push_back(nullptr);

        pid_t pid = 0;
        if (::posix_spawn(&pid, KARVEX_TOOL_PATH, actions, nullptr, cargv.data(), cenv.data()) != 0) {
            ADD_FAILURE() << "cannot start " << KARVEX_TOOL_PATH;
            return 0;
        }
        return pid;
    }

    // The request commands the processor took since its `from`th request, as two hex digits each.
    std::vector<std::string> RequestsSince(std::size_t from) const {
        std::vector<std::string> out;
        for (const std::string& line : sim_->log_lines()) {
            if (line.rfind("<< ", 0) == 0 && line.find(';') == std::string::npos) out.push_back(line.substr(9, 2));
        }
        out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min(from, out.size())));
        return out;
    }

    // The requests since `from` other than the load's look at the processor's counter and newest invoice, which
    // every load of a store that has never sold makes.
    std::vector<std::string> BeyondLoad(std::size_t from = 0) const {
        std::vector<std::string> out = RequestsSince(from);
        std::erase_if(out, [](const std::string& c) { return c == "33" || c == "B1"; });
        return out;
    }

    karvex::testing::TempDir tmp_{"karvex-tool"};
    std::string dir_ = tmp_.path();
    std::string dataDir_;  // --data-dir when not dir_
    std::unique_ptr<karvex::sim::Simulator> sim_;
};

TEST(ToolJson, NumbersAreAlwaysValidJson) {
    using karvex::cli::JsonValue;
    using karvex::cli::ToJson;
    EXPECT_EQ(ToJson(JsonValue(1234.56)), "1234.56");
    EXPECT_EQ(ToJson(JsonValue(6.0)), "6");
    EXPECT_EQ(ToJson(JsonValue(0.1 + 0.2)), "0.30000000000000004") << "every digit needed to read it back";
    // JSON has no NaN or infinity.
    EXPECT_EQ(ToJson(JsonValue(std::numeric_limits<double>::quiet_NaN())), "null");
    EXPECT_EQ(ToJson(JsonValue(std::numeric_limits<double>::infinity())), "null");
}

bool IsOneJsonObject(const std::string& out) {
    return out.rfind("{\"method\": ", 0) == 0 && out.size() > 2 && out[out.size() - 2] == '}' && out.back() == '\n' &&
           out.find('\n') == out.size() - 1;
}

TEST_F(ToolTest, OnlinePrintsResultZeroAndExitsZero) {
    ToolRun r = Run({"online"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(IsOneJsonObject(r.out)) << r.out;
    EXPECT_EQ(r.out,
              "{\"method\": \"FiscalOnline\", \"result\": 0, \"description\": \"0x0：执行成功\", \"outputs\": {}}\n");
}

TEST_F(ToolTest, AFailedResultExitsOneWithItsCode) {
    sim_->inject({.command = 0x00, .kind = karvex::sim::FaultKind::Error, .arg = 47});
    ToolRun r = Run({"online"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"result\": 47"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0x2F：未联机"), std::string::npos) << r.out;
}

TEST_F(ToolTest, WithoutAPortTheLoadFailureIsReported) {
    // Port 1 names no device (a stopped processor's pty number may already belong to another test's) and
    // no --port answers the prompt.
    ToolRun r = Run({"online"}, false, dir_ + "/no-such-device");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"method\": \"LoadFiscalForm\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"result\": 132"), std::string::npos) << r.out;
}

TEST_F(ToolTest, UsageErrorsExitTwoAndPrintNothing) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"nosuchmethod"},
                                               {"void"},
                                               {"issue", "--sales-num", "two"},
                                               {"issue", "--items", "only:three:parts"},
                                               // cutting to 11 characters would change it
                                               {"issue", "--items", "A:1:1:1234567890.5:1"},
                                               // would shift later items' tax indexes
                                               {"issue", "--items", "A:1:1:1:12"},
                                               {"issue", "--items", "A:1:1:1:"},
                                               // would wrap to 1 in the method's Long
                                               {"issue", "--items", "A:1:1:1:1", "--fh-number", "4294967297"},
                                               {"command", "--code", "0x34"},
                                               // bare, but the control refuses them
                                               {"command", "--code", "0x31"},
                                               {"command", "--code", "0xA6"},
                                               {"command", "--code", "0xA7"},
                                               {"command", "--code", "0xB1"},
                                               // cutting it would change the name
                                               {"issue", "--items", std::string(21, 'N') + ":1:1:1:1"}}) {
        ToolRun r = Run(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
    }
    EXPECT_EQ(BeyondLoad(), std::vector<std::string>{});
}

TEST_F(ToolTest, OptionsTheMethodDoesNotTakeAreUsageErrorsNamingThem) {
    for (const auto& [args, named] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"dump", "--table", "MachineData", "--bogus", "1"}, "--bogus"},
             {{"dump", "--tabel", "MachineData"}, "--tabel"},
             {{"online", "--inv-num", "1"}, "--inv-num"},
             {{"issue", "--items", "A:1:1:1:1", "--o-inv-num", "5"}, "--o-inv-num"},
             {{"void", "--inv-num", "1", "2"}, "2"},
             // only ports 1-5 exist
             {{"--port", "7", "online"}, "--port"},
             {{"--port", "abc", "online"}, "--port"}}) {
        ToolRun r = Run(args);
        EXPECT_EQ(r.status, 2) << named;
        EXPECT_EQ(r.out, "") << named;
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    }
    EXPECT_EQ(sim_->requests_handled(), 0u);
}

TEST_F(ToolTest, HelpNamesTheCommandCodesTheControlRuns) {
    ToolRun r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--code 0xNN, one of 0x00 0x30 0x32 0x33 0x37 0x38 0x39 0x3A 0x40 0x41 0x47 0xBA"),
              std::string::npos)
        << r.out;
}

// Invoices whose texts or numbers would reach the processor changed, or whose print data could not be read
// back: refused before anything is sent, with the description of the code printed. The GBK rules for names
// are the checks' own table (hostcalls); here each option the tool turns into an argument.
TEST_F(ToolTest, InvoicesThatWouldGoOutChangedAreRefused) {
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const std::vector<Case> cases = {
        {{"issue", "--pay-unit", "P\xF0\x9F\x98\x80", "--items", "A:1:1:1:1"}, 98},
        {{"issue", "--pay-unit", "P\xFF", "--items", "A:1:1:1:1"}, 98},  // not UTF-8
        {{"issue", "--items", "A\xF0\x9F\x98\x80:1:1:1:1"}, 99},         // not sent as "A?"
        {{"issue", "--items", "A\tB:1:1:1:1"}, 98},                      // not sent as 20 blanks
        {{"return", "--o-inv-num", "9.5", "--items", "A:1:1:1:1"}, 105},
        {{"issue", "--items", "A:1:1:0.005:1"}, 166},
        {{"issue", "--items", "A:1:0.004:1:1"}, 165},
        {{"issue", "--items", "A:1:1:1.005:1"}, 107},  // a third decimal is never rounded away
    };
    for (const Case& c : cases) {
        ToolRun r = Run(c.args);
        EXPECT_EQ(r.status, 1) << c.args[2];
        EXPECT_NE(r.out.find("\"result\": " + std::to_string(c.code) + ","), std::string::npos) << r.out;
    }
    EXPECT_EQ(BeyondLoad(), std::vector<std::string>{});
}

TEST_F(ToolTest, TheDescriptionIsThatOfThePrintedResult) {
    // 148 leaves the control's result word at the load's 0.
    ToolRun r = Run({"void", "--inv-num", "4294967296"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"result\": 148, \"description\": \"0x94：发票号超过国标规定的最大值0xFFFFFFFF\""),
              std::string::npos)
        << r.out;
}

TEST_F(ToolTest, IssueThenReadBackThroughTheHostMethods) {
    ToolRun number = Run({"number"});
    ASSERT_EQ(number.status, 0) << number.out;
    const auto at = number.out.find("\"InvNum\": \"");
    ASSERT_NE(at, std::string::npos);
    const std::string current = number.out.substr(at + 11, 10);

    ToolRun issue = Run({"issue", "--pay-unit", "示例公司", "--items", "矿泉水:2:1.50:3.00:1;笔记本:1:12.80:12.80:2"});
    EXPECT_EQ(issue.status, 0) << issue.out;
    for (const char* key : {"\"MachineNum\"", "\"UserName\"", "\"TaxNumber\"", "\"TaxCode\"", "\"DateTime\""})
        EXPECT_NE(issue.out.find(key), std::string::npos) << key;

    ToolRun print = Run({"print", "--inv-num", current});
    EXPECT_EQ(print.status, 0) << print.out;
    EXPECT_NE(print.out.find("\"InvNum\": \"" + current + "\""), std::string::npos) << print.out;
    EXPECT_NE(print.out.find("\"SalesName\": \"矿泉水"), std::string::npos) << print.out;

    ToolRun summary = Run({"summary", "--inv-num", current});
    EXPECT_EQ(summary.status, 0) << summary.out;
    EXPECT_NE(summary.out.find("\"NormalInv\": "), std::string::npos);

    ToolRun voided = Run({"void", "--inv-num", "123456789012"});
    EXPECT_EQ(voided.status, 1);
    EXPECT_NE(voided.out.find("\"result\": 103"), std::string::npos) << voided.out;
}

TEST_F(ToolTest, StoreTablesAreDumpedAsJson) {
    ASSERT_EQ(Run({"command", "--code", "0x38"}).status, 0);
    ToolRun dump = Run({"dump", "--table", "UserInformation"}, false);
    EXPECT_EQ(dump.status, 0) << dump.out;
    EXPECT_NE(dump.out.find("\"count\": 1"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("\"纳税人名称\": "), std::string::npos) << dump.out;
    // The same rows as CSV for a spreadsheet (byte-order mark, header) and as JSON lines, data only.
    ToolRun csv = Run({"dump", "--table", "UserInformation", "--format", "csv"}, false);
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("\xEF\xBB\xBF税控卡编号,", 0), 0u) << csv.out;
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 2) << csv.out;
    ToolRun lines = Run({"dump", "--table", "UserInformation", "--format", "jsonl"}, false);
    EXPECT_EQ(lines.out.rfind("{\"税控卡编号\": ", 0), 0u) << lines.out;
    ToolRun badWhere = Run({"dump", "--table", "UserInformation", "--format", "csv", "--where", "没有='1'"}, false);
    EXPECT_EQ(badWhere.status, 1);
    EXPECT_EQ(badWhere.out, "");
    EXPECT_NE(badWhere.err.find("\"result\": 3265"), std::string::npos) << badWhere.err;
    EXPECT_EQ(Run({"dump", "--table", "UserInformation", "--format", "xml"}, false).status, 2);
    ToolRun bad = Run({"dump", "--table", "NoSuchTable"}, false);
    EXPECT_EQ(bad.status, 2);
    ToolRun clear = Run({"clear", "--flags", "0x08"}, false);
    EXPECT_EQ(clear.status, 0) << clear.out;
    EXPECT_NE(Run({"dump", "--table", "UserInformation"}, false).out.find("\"count\": 0"), std::string::npos);
}

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

// The usual set-up: a host has the store while a technician runs the tool on the same directory. The
// tool's writing subcommands are refused with the holder's process id, its dump reads, and the host's
// store file stays the one it has open.
TEST_F(ToolTest, WhileAHostHasTheStoreTheToolOnlyReads) {
    ASSERT_EQ(Run({"command", "--code", "0x37"}).status, 0);
    karvex::StoreAccess host{std::filesystem::path(dir_)};
    ASSERT_EQ(host.Open(), 0) << host.LastErrorText();
    struct stat before {};
    ASSERT_EQ(::stat((dir_ + "/FiscalMachine.mdb").c_str(), &before), 0);

    const std::string holder = "进程 " + std::to_string(::getpid());
    for (const auto& args : std::vector<std::vector<std::string>>{{"number"}, {"clear", "--flags", "0x3FFDF8"}}) {
        ToolRun r = Run(args, args[0] == "number");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(Has(r.out, "\"result\": 140")) << r.out;
        EXPECT_TRUE(Has(r.out, holder)) << r.out;
    }
    ToolRun dump = Run({"dump", "--table", "MachineData"}, false);
    EXPECT_EQ(dump.status, 0) << dump.out;
    EXPECT_TRUE(Has(dump.out, "\"count\": 1")) << dump.out;

    struct stat after {};
    ASSERT_EQ(::stat((dir_ + "/FiscalMachine.mdb").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the host's file was not replaced";
    karvex::RecordSet rs;
    ASSERT_EQ(rs.Open(host.Connection(), "Select * From MachineData"), 0);
    std::int64_t rows = 0;
    rs.RecordCount(rows);
    EXPECT_EQ(rows, 1);

    host.Close();
    EXPECT_EQ(Run({"number"}).status, 0) << "the store is free again";
}

// A data directory that cannot be used: every subcommand reports 91 with the path and the reason, and no
// store is made anywhere else.
TEST_F(ToolTest, AnUnusableDataDirectoryIsReportedNotReplaced) {
    { std::ofstream(dir_ + "/plain") << "x"; }
    dataDir_ = dir_ + "/plain/data";
    const char* savedHome = std::getenv("HOME");
    const std::string home = savedHome ? savedHome : "";
    ::setenv("HOME", (dir_ + "/home").c_str(), 1);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"online"}, {"clear", "--flags", "0x3FFDF8"}, {"dump", "--table", "MachineData"}}) {
        ToolRun r = Run(args, args[0] == "online");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(Has(r.out, "\"result\": 91")) << r.out;
        EXPECT_TRUE(Has(r.out, dataDir_)) << r.out;
        EXPECT_TRUE(Has(r.out, "Not a directory")) << r.out;
    }
    if (savedHome)
        ::setenv("HOME", home.c_str(), 1);
    else
        ::unsetenv("HOME");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/home"));
    EXPECT_EQ(sim_->requests_handled(), 0u);
}

TEST_F(ToolTest, ConsoleCommandsReturnAfterTheirWholeChain) {
    // Initializing clears the store and refills user and tax data; the monitor echo and the user
    // information refresh them. Each run starts from empty tables.
    const struct {
        const char* code;
        std::vector<std::string> requests;
    } cases[] = {{"0x30", {"30", "38", "39"}}, {"0x38", {"38", "39"}}, {"0x40", {"40", "38", "39"}}};
    for (const auto& c : cases) {
        ASSERT_EQ(Run({"clear", "--flags", "0x18"}, false).status, 0);
        const std::size_t before = RequestsSince(0).size();
        ToolRun r = Run({"command", "--code", c.code});
        EXPECT_EQ(r.status, 0) << c.code << r.out;
        EXPECT_EQ(BeyondLoad(before), c.requests) << c.code;
        for (const char* table : {"UserInformation", "TaxInformation"}) {
            ToolRun dump = Run({"dump", "--table", table}, false);
            EXPECT_EQ(dump.out.find("\"count\": 0"), std::string::npos) << c.code << " " << table << dump.out;
        }
    }
}

TEST_F(ToolTest, AQueryAfterAHostDiedMidUploadNeverGetsAnotherInvoice) {
    // A processor at 9600 baud streaming the print data of 150 invoices.
    sim_->stop();
    karvex::sim::SimOptions options;
    options.quiet = true;
    options.clock = karvex::sim::DateTime{2024, 3, 15, 10, 30, 0};
    options.pace_baud = 9600;
    options.seed.invoices = 150;
    sim_ = std::make_unique<karvex::sim::Simulator>(options);
    ASSERT_TRUE(sim_->start());
    const auto invoices = sim_->state().invoices;
    ASSERT_EQ(invoices.size(), 150u);
    // Print data by number, first to last: 1B 10 42 00 0D, two 4-byte numbers, CRC.
    karvex::sim::Bytes upload = {0x1B, 0x10, 0x42, 0x00, 0x0D};
    karvex::sim::put_u32(upload, invoices.front().number);
    karvex::sim::put_u32(upload, invoices.back().number);
    karvex::sim::put_u16(upload, karvex::sim::crc16(upload));

    // The host that asked for all of them dies a few frames into the answer.
    const std::string device = sim_->device_path();
    const pid_t host = ::fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || ::write(fd, upload.data(), upload.size()) < 0) ::_exit(1);
        char sink[256];
        while (::read(fd, sink, sizeof sink) >= 0) {
        }
        ::_exit(0);
    }
    auto framesSent = [&] {
        std::size_t n = 0;
        for (const std::string& line : sim_->log_lines()) n += line.rfind(">> ", 0) == 0;
        return n;
    };
    for (int i = 0; i < 1000 && framesSent() < 5; ++i) ::usleep(10000);
    ::kill(host, SIGKILL);
    ::waitpid(host, nullptr, 0);
    ASSERT_GE(framesSent(), 5u) << "the upload was under way";

    // A new host asks for the fifth invoice while the stream goes on: ticks of 100 ms, so that the time-out
    // (3.1 s) is not what ends the query.
    char asked[16];
    std::snprintf(asked, sizeof asked, "%010u", invoices[4].number);
    ToolRun r = Run({"print", "--inv-num", asked}, true, "", "100");
    if (r.status == 0) {
        EXPECT_NE(r.out.find(std::string("\"InvNum\": \"") + asked + "\""), std::string::npos) << r.out;
    } else {
        // Refused as an answer to something else (137), or as a frame of the stream whose length is not the
        // one asked for (129): either way no other invoice's data comes back.
        EXPECT_TRUE(r.out.find("\"result\": 137,") != std::string::npos ||
                    r.out.find("\"result\": 129,") != std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("\"TaxCode\": \"\""), std::string::npos) << r.out;
    }
}

TEST_F(ToolTest, ASaleIdIsIssuedOnceAndAHostKilledBeforeItsAnswerIsSettledAtTheNextLoad) {
    const std::vector<std::string> issue = {"issue", "--sale-id", "POS-1", "--items", "大米:1:10:10.00:1"};
    ToolRun r = Run(issue);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::size_t before = RequestsSince(0).size();
    r = Run(issue);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(RequestsSince(before), std::vector<std::string>{"33"})
        << "a repeat sends no issue: only the load's look at the counter of a store with rows";
    r = Run({"sale"}, false);
    EXPECT_NE(r.out.find("\"State\": \"answered\""), std::string::npos) << r.out;

    // The processor issues POS-2 but never answers; the host is killed while it waits.
    sim_->inject({.command = ToByte(karvex::CommandCode::MakeInvoice), .kind = karvex::sim::FaultKind::Lost});
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    const pid_t host = Spawn({"issue", "--sale-id", "POS-2", "--items", "大米:1:10:10.00:1"}, &quiet);
    posix_spawn_file_actions_destroy(&quiet);
    ASSERT_GT(host, 0);
    const auto issued = [&] { return sim_->state().invoices.size() == 2; };
    for (int i = 0; i < 1000 && !issued(); ++i) ::usleep(10000);
    ::kill(host, SIGKILL);
    ::waitpid(host, nullptr, 0);
    ASSERT_TRUE(issued());

    r = Run({"sale", "--sale-id", "POS-2"}, false);
    EXPECT_NE(r.out.find("\"State\": \"sent\""), std::string::npos) << "its row was committed first: " << r.out;
    r = Run({"online"});
    ASSERT_EQ(r.status, 0) << r.out;
    r = Run({"sale", "--sale-id", "POS-2"}, false);
    char number[16];
    std::snprintf(number, sizeof number, "%010u", sim_->state().invoices.back().number);
    EXPECT_NE(r.out.find("\"State\": \"issued\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::string("\"InvNum\": \"") + number + "\""), std::string::npos) << r.out;
    r = Run({"issue", "--sale-id", "POS-2", "--items", "大米:1:10:10.00:1"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(sim_->state().invoices.size(), 2u);
}

}  // namespace
