// Start-up and shut-down as a host sees them: the port prompt after a stored port fails, and the result of
// unloading.
#include "support/fiscal_fixture.h"

#include "link/result_codes.h"
#include "control/paths.h"
#include "store/store_connection.h"
#include "store/store_service.h"

#include <functional>
#include <map>
#include <optional>

namespace karvex::testing {
namespace {

class StartupE2E : public FiscalFixture {};

TEST_F(StartupE2E, PromptedPortIsReadAsANumberAndOpenedAt9600) {
    // The store remembers port 1 at 38400 baud, and port 1 is gone.
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ControlModule& m = ModuleOf(*fiscal_);
    m.Store().SaveSerialSettings(1, 2);
    ASSERT_EQ(fiscal_->UnloadFicalForm(0), 0);
    UseDevice(1, dir_ + "/no-such-device");
    UseDevice(3, sim_->device_path());

    ui_->textReplies = {std::string("003")};
    EXPECT_EQ(fiscal_->LoadFiscalForm(), 0) << "leading zeros still name port 3";
    ASSERT_EQ(ui_->prompts.size(), 1u);
    EXPECT_EQ(ui_->prompts[0].title, "打开串口");
    EXPECT_EQ(ui_->prompts[0].text, "打开串口失败\n\n请输入税控器连接的串口号\n例：税控器连接在Com1，请输入1");
    EXPECT_EQ(m.Status().port, "COM3");
    EXPECT_EQ(m.StoredPort(), 3);
    EXPECT_EQ(m.StoredSelector(), 1) << "a prompted port always runs at 9600 baud";
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);

    const struct {
        std::optional<std::string> reply;  // nullopt: the prompt is cancelled
        int code;
    } cases[] = {{"000", result::kNoOpenPort},
                 {"006", result::kNoOpenPort},
                 {"", result::kNoOpenPort},
                 {std::nullopt, result::kNoOpenPort},
                 {"0000000000000000000003", 0},
                 {"99999999999999999999", result::kNoOpenPort},
                 {"1a", 105}};
    for (const auto& c : cases) {
        const std::string what = c.reply.value_or("<cancel>");
        ui_->textReplies = {c.reply};
        EXPECT_EQ(fiscal_->LoadFiscalForm(), c.code) << what;
        EXPECT_EQ(fiscal_->Status(), c.code) << what;
    }
}

// A port that will not open is told by why, in Chinese first, and the code has a message of its own; the
// description names the port and its device, so nobody has to guess which one was tried.
TEST_F(StartupE2E, PortWithoutADeviceIsToldInChinese) {
    UseDevice(1, dir_ + "/no-such-device");
    UseDevice(3, dir_ + "/no-such-device");
    ui_->textReplies = {std::string("3")};
    EXPECT_EQ(fiscal_->LoadFiscalForm(), result::kPortNotFound);
    EXPECT_EQ(fiscal_->Description().toStdString(),
              "0x1F42：串口设备不存在：Comm3 " + dir_ + "/no-such-device 设备不存在（请检查串口设备或 KARVEX_COM3）");
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "提示");
    EXPECT_EQ(ui_->messages[0].text.rfind("Comm3 串口设备不存在（", 0), 0u) << ui_->messages[0].text;
}

TEST_F(StartupE2E, UnloadReturnsZeroAndLaterCommandsFindNoPort) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    const std::size_t loaded = sim_->requests_handled();
    EXPECT_EQ(fiscal_->UnloadFicalForm(0), 0);
    EXPECT_EQ(fiscal_->Status(), 0);
    EXPECT_FALSE(ModuleOf(*fiscal_).PortOpen());
    EXPECT_EQ(fiscal_->FiscalOnline(), result::kNoOpenPort);
    EXPECT_EQ(fiscal_->Status(), result::kNoOpenPort);
    EXPECT_EQ(sim_->requests_handled(), loaded);
}

// A store that cannot be used where it is configured fails the load with its code, the path and the reason;
// nothing falls back to another store.
TEST_F(StartupE2E, AStoreThatCannotBeUsedWhereConfiguredFailsTheLoad) {
    fiscal_.reset();
    { std::ofstream(dir_ + "/plain") << "x"; }
    std::filesystem::create_directories(dir_ + "/blocked/FiscalMachine.mdb");
    std::filesystem::create_directories(dir_ + "/planted");
    {
        // A store someone holding the key has added a view to.
        StoreConnection planted;
        ASSERT_EQ(planted.Open(dir_ + "/planted/FiscalMachine.mdb", BuiltInStoreKey()), 0);
        ASSERT_EQ(planted.Exec("CREATE VIEW planted_view AS SELECT 1"), 0);
    }
    const struct {
        std::string dir;
        const char* reason;
        int code;
        const char* head;
    } cases[] = {{dir_ + "/plain/data", "Not a directory", 91, "0x5B：数据库对象打开失败："},
                 {dir_ + "/blocked", "不是普通文件", 193, "0xC1："},
                 {dir_ + "/planted", "planted_view", 194, "0xC2："}};
    for (const auto& c : cases) {
        Settings settings;
        settings.dataDirectory = c.dir;
        settings.homeDirectory = dir_ + "/home";
        Fiscal fiscal(settings);
        fiscal.SetUserInterface(ui_);
        EXPECT_EQ(fiscal.LoadFiscalForm(), c.code) << c.dir;
        const std::string text = fiscal.Description().toStdString();
        EXPECT_EQ(text.rfind(c.head, 0), 0u) << text;
        EXPECT_NE(text.find(c.dir), std::string::npos) << text;
        EXPECT_NE(text.find(c.reason), std::string::npos) << text;
        EXPECT_EQ(fiscal.FiscalOnline(), result::kNoOpenPort);
        EXPECT_EQ(fiscal.UnloadFicalForm(0), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/home"));
    EXPECT_EQ(sim_->requests_handled(), 0u);
}

TEST(DataPaths, ConfiguredOrExistingStoreIsKeptAndTheHomeServesOnlyAFirstRun) {
    char tmpl[] = "/tmp/karvex-paths-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    { std::ofstream(dir + "/plain") << "x"; }
    std::filesystem::create_directories(dir + "/lib");
    std::filesystem::create_directories(dir + "/old");
    { std::ofstream(dir + "/old/FiscalMachine.mdb") << ""; }
    const std::string bad = dir + "/plain/data";
    // Installed under /usr: a writable library directory is still no place for tax records.
    const InstallPlace here, rootInstalled{true, true, dir + "/state"}, userInstalled{true, false, dir + "/state"};
    const struct {
        const char* variable;
        std::string library;
        InstallPlace place;
        std::string appDir;
        DataDirSource source;
    } cases[] = {
        {bad.c_str(), dir + "/lib", here, bad + "/", DataDirSource::Variable},
        {"", dir + "/lib", here, dir + "/lib/", DataDirSource::Library},
        {nullptr, dir + "/old", here, dir + "/old/", DataDirSource::Library},
        {nullptr, dir + "/plain", here, dir + "/home/.local/share/karvex/", DataDirSource::HomeFallback},
        {nullptr, dir + "/lib", rootInstalled, dir + "/state/", DataDirSource::SystemState},
        {nullptr, dir + "/lib", userInstalled, dir + "/home/.local/share/karvex/", DataDirSource::HomeFallback},
        {nullptr, dir + "/old", rootInstalled, dir + "/old/", DataDirSource::Library},
    };
    for (const auto& c : cases) {
        DataPaths p = ResolveDataPaths(c.variable, c.library, dir + "/home", c.place);
        EXPECT_EQ(p.appDir, c.appDir);
        EXPECT_EQ(p.storePath, c.appDir + "FiscalMachine.mdb");
        EXPECT_EQ(p.source, c.source) << c.appDir;
    }
    // No home and no writable library directory: nowhere, rather than a directory anyone may have made first.
    const DataPaths none = ResolveDataPaths(nullptr, dir + "/plain", "");
    EXPECT_EQ(none.source, DataDirSource::Missing);
    EXPECT_EQ(none.storePath, "");
    EXPECT_TRUE(InSystemPrefix("/usr/lib/x86_64-linux-gnu/"));
    EXPECT_TRUE(InSystemPrefix("/usr/bin/"));
    EXPECT_FALSE(InSystemPrefix("/home/pos/build/release/src/"));
    EXPECT_FALSE(InSystemPrefix("/usrlocal/"));
    // The key of an installed library is the installation's own, never the one built into every copy.
    Settings home;
    home.homeDirectory = dir + "/home";
    EXPECT_EQ(DefaultStoreKeyFile(home, rootInstalled), "/etc/karvex/store.key");
    EXPECT_EQ(DefaultStoreKeyFile(home, userInstalled), dir + "/home/.config/karvex/store.key");
    EXPECT_EQ(DefaultStoreKeyFile(home, here), "");
    EXPECT_EQ(DefaultStoreKeyFile(Settings{}, userInstalled), "");
    std::filesystem::remove_all(dir);
}

// The environment is read in one place, into one value, when a control is made with the default
// constructor; an empty variable counts as unset and later changes are not seen.
TEST(SettingsFromEnvironment, EachVariableLandsInItsFieldOnceWhenTheControlIsMade) {
    const char* names[] = {"KARVEX_COM1",      "KARVEX_COM5",    "KARVEX_COM6",  "KARVEX_DATA_DIR",
                           "KARVEX_STORE_KEY", "KARVEX_TICK_MS", "KARVEX_TRACE", "HOME"};
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* n : names) {
        const char* v = std::getenv(n);
        saved[n] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    const auto clear = [&] {
        for (const char* n : names) ::unsetenv(n);
    };
    using S = const Settings&;
    const struct {
        const char* name;
        const char* value;
        std::function<bool(S)> holds;
    } cases[] = {
        {"KARVEX_COM1", "/dev/pts/7",
         [](S s) {
             return s.devices == std::map<int, std::string>{{1, "/dev/pts/7"}};
         }},
        {"KARVEX_COM5", "/dev/ttyUSB0",
         [](S s) {
             return s.devices == std::map<int, std::string>{{5, "/dev/ttyUSB0"}};
         }},
        {"KARVEX_COM6", "/dev/ttyUSB0", [](S s) { return s.devices.empty(); }},
        {"KARVEX_COM1", "", [](S s) { return s.devices.empty(); }},
        {"KARVEX_DATA_DIR", "/srv/karvex", [](S s) { return s.dataDirectory == "/srv/karvex"; }},
        {"KARVEX_STORE_KEY", "site 'key\"", [](S s) { return StoreKeyFor(s) == "site 'key\""; }},
        {"KARVEX_STORE_KEY", "", [](S s) { return StoreKeyFor(s) == BuiltInStoreKey(); }},
        {"KARVEX_TICK_MS", "2", [](S s) { return s.tick == std::chrono::milliseconds(2); }},
        {"KARVEX_TICK_MS", "0", [](S s) { return s.tick.count() == 0; }},
        {"KARVEX_TICK_MS", "-5", [](S s) { return s.tick.count() == 0; }},
        {"KARVEX_TICK_MS", "fast", [](S s) { return s.tick.count() == 0; }},
        {"KARVEX_TRACE", "/tmp/line.trace", [](S s) { return s.traceFile == "/tmp/line.trace"; }},
        {"HOME", "/home/operator", [](S s) { return s.homeDirectory == "/home/operator"; }},
    };
    for (const auto& c : cases) {
        clear();
        ::setenv(c.name, c.value, 1);
        EXPECT_TRUE(c.holds(Settings::FromEnvironment())) << c.name << "=" << c.value;
    }

    TempDir dir("karvex-settings");
    clear();
    ::setenv("KARVEX_DATA_DIR", dir.path().c_str(), 1);
    ::setenv("KARVEX_TICK_MS", "7", 1);
    Fiscal fiscal;
    ::setenv("KARVEX_DATA_DIR", (dir.path() + "/later").c_str(), 1);
    EXPECT_EQ(fiscal.CurrentSettings().dataDirectory, dir.path());
    EXPECT_EQ(ModuleOf(fiscal).Paths().appDir, dir.path() + "/");
    EXPECT_EQ(ModuleOf(fiscal).TickInterval(), std::chrono::milliseconds(7));

    clear();
    for (const auto& [n, v] : saved)
        if (v) ::setenv(n.c_str(), v->c_str(), 1);
}

}  // namespace
}  // namespace karvex::testing
