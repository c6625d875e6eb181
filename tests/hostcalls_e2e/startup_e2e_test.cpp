// Start-up and shut-down as a host sees them: the port prompt after a stored port fails, and the result of
// unloading.
#include "fixture.h"

#include "link/result_codes.h"

namespace karvex::testing {
namespace {

class StartupE2E : public FiscalFixture {};

TEST_F(StartupE2E, PromptedPortIsReadAsANumberAndOpenedAt9600) {
    // The store remembers port 1 at 38400 baud, and port 1 is gone.
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ControlModule& m = fiscal_->Module();
    m.Intake().WriteSerialSettings(m, 1, 2);
    ASSERT_EQ(fiscal_->UnloadFicalForm(0), 0);
    ::setenv("KARVEX_COM1", (dir_ + "/no-such-device").c_str(), 1);
    ::setenv("KARVEX_COM3", sim_->device_path().c_str(), 1);

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
        const char* reply;
        int code;
    } cases[] = {{"000", result::kNoOpenPort}, {"006", result::kNoOpenPort}, {"0000000000000000000003", 0},
                 {"99999999999999999999", result::kNoOpenPort}, {"1a", 105}};
    for (const auto& c : cases) {
        ui_->textReplies = {std::string(c.reply)};
        EXPECT_EQ(fiscal_->LoadFiscalForm(), c.code) << c.reply;
        EXPECT_EQ(fiscal_->Status(), c.code) << c.reply;
    }
}

// A port that will not open is told by why, in Chinese first, and the code has a message of its own.
TEST_F(StartupE2E, PortWithoutADeviceIsToldInChinese) {
    ::setenv("KARVEX_COM1", (dir_ + "/no-such-device").c_str(), 1);
    ::setenv("KARVEX_COM3", (dir_ + "/no-such-device").c_str(), 1);
    ui_->textReplies = {std::string("3")};
    EXPECT_EQ(fiscal_->LoadFiscalForm(), result::kPortNotFound);
    EXPECT_EQ(fiscal_->Description().toStdString(), "0x1F42：串口设备不存在");
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "提示");
    EXPECT_EQ(ui_->messages[0].text.rfind("Comm3 串口设备不存在（", 0), 0u) << ui_->messages[0].text;
}

TEST_F(StartupE2E, UnloadReturnsZeroAndLaterCommandsFindNoPort) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    EXPECT_EQ(fiscal_->UnloadFicalForm(0), 0);
    EXPECT_EQ(fiscal_->Status(), 0);
    EXPECT_EQ(fiscal_->FiscalOnline(), result::kNoOpenPort);
    EXPECT_EQ(fiscal_->Status(), result::kNoOpenPort);
    EXPECT_EQ(sim_->requests_handled(), 0u);
}

}  // namespace
}  // namespace karvex::testing
