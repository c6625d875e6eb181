// The C interface as a C host sees it: no Qt application of its own, a virtual processor on a pty as port 1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "karvex/karvex.h"
#include "support/processor.h"
#include "support/temp_dir.h"

namespace {

constexpr int kNoOpenPort = 132;
constexpr int kTimeout = 128;
constexpr int kUnderWay = 4128;
constexpr int kPortNotFound = 8002;  // a stored port that names no device

// Owns a karvex_string for the length of a test.
struct Text {
    explicit Text(const char* initial = "") : s(karvex_string_create(initial)) {}
    ~Text() { karvex_string_free(s); }
    std::string str() const { return karvex_string_get(s); }
    karvex_string* s;
};

std::string DescriptionOf(const karvex_fiscal* f) {
    Text d;
    EXPECT_EQ(karvex_Description(f, d.s), 0);
    return d.str();
}

// What the user-interface callbacks saw and how they answer.
struct Prompts {
    std::vector<std::string> titles;
    std::vector<std::string> texts;
    std::string portReply;  // empty = Cancel
    karvex_fiscal* control = nullptr;
    int nestedCall = 1;          // status of a call made from inside the callback
    int statusSeen = 0;          // karvex_Status read from inside the callback
    bool destroyInside = false;  // destroy the control from inside the callback
};

int AnswerPortOne(void*, const char*, const char*, const char*, karvex_string* reply) {
    return karvex_string_set(reply, "1") == 0;
}

int AnswerPort(void* user, const char* title, const char* prompt, const char*, karvex_string* reply) {
    auto* p = static_cast<Prompts*>(user);
    p->titles.emplace_back(title);
    p->texts.emplace_back(prompt);
    if (p->control) {
        p->nestedCall = karvex_FiscalOnline(p->control);
        p->statusSeen = karvex_Status(p->control);
        if (p->destroyInside) karvex_destroy(p->control);
    }
    if (p->portReply.empty()) return 0;
    return karvex_string_set(reply, p->portReply.c_str()) == 0;
}

class CapiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KARVEX_DATA_DIR", dir_.c_str(), 1);
        // The time-out keeps its one-second ticks: an answer that only comes once the other thread gets the
        // processor must not be 31 short ticks too late on a busy machine. Tests of the time-out itself
        // shorten it (ShortTicks).
        ::unsetenv("KARVEX_TICK_MS");
        sim_ = karvex::testing::StartProcessor();
        ASSERT_NE(sim_, nullptr);
        ::setenv("KARVEX_COM1", sim_->device_path().c_str(), 1);
        f_ = karvex_create();
        ASSERT_NE(f_, nullptr);
    }

    void TearDown() override {
        if (f_) {
            karvex_UnloadFicalForm(f_, 0);
            karvex_destroy(f_);
        }
        if (sim_) sim_->stop();
        ::unsetenv("KARVEX_COM1");
        ::unsetenv("KARVEX_COM2");
    }

    // A new data directory has no port stored yet: the host answers the prompt with port 1.
    void Load() {
        ASSERT_EQ(karvex_set_user_interface(f_, nullptr, nullptr, AnswerPortOne, nullptr), 0);
        ASSERT_EQ(karvex_LoadFiscalForm(f_), 0) << DescriptionOf(f_);
        // The load looks at the processor (its counter, and the newest invoice of a store that never sold).
        loaded_ = karvex::testing::RequestsReceived(*sim_);
    }
    std::size_t loaded_ = 0;

    // A new control whose 31 ticks take about 60 ms, for a test that waits for a time-out.
    void ShortTicks() {
        karvex_destroy(f_);
        ::setenv("KARVEX_TICK_MS", "2", 1);
        f_ = karvex_create();
        ::unsetenv("KARVEX_TICK_MS");
        ASSERT_NE(f_, nullptr);
    }

    // The processor counts a request once its answer is written, so the count may lag behind an answer
    // the control has already read.
    std::size_t Handled(std::size_t expected) {
        sim_->wait_handled(expected, 10000);
        return sim_->requests_handled();
    }

    // A new control, made when port 1 has no device and port 2 is the processor, so that loading asks for a
    // port number: the C interface reads the environment when it makes a control, and only then.
    void BreakPortOne() {
        karvex_destroy(f_);
        ::setenv("KARVEX_COM1", (dir_ + "/no-such-device").c_str(), 1);
        ::setenv("KARVEX_COM2", sim_->device_path().c_str(), 1);
        f_ = karvex_create();
        ASSERT_NE(f_, nullptr);
    }

    karvex::testing::TempDir tmp_{"karvex-capi"};
    std::string dir_ = tmp_.path();
    std::unique_ptr<karvex::sim::Simulator> sim_;
    karvex_fiscal* f_ = nullptr;
};

TEST_F(CapiTest, LoadsGoesOnLineAndDescribesSuccess) {
    // Progress is for multi-packet answers only: a one-frame answer calls nobody.
    int progressCalls = 0;
    karvex_set_progress_callback(
        f_, [](void* user, const char*, int, int, double, int, int) { ++*static_cast<int*>(user); }, &progressCalls);
    Load();
    EXPECT_EQ(karvex_FiscalOnline(f_), 0);
    EXPECT_EQ(progressCalls, 0);
    karvex_set_progress_callback(f_, nullptr, nullptr);
    EXPECT_EQ(karvex_Status(f_), 0);
    EXPECT_EQ(DescriptionOf(f_), "0x0：执行成功");
    EXPECT_STREQ(karvex_last_error(f_), "");
    EXPECT_EQ(Handled(loaded_ + 1), loaded_ + 1);
    // An answer that comes a while later (the processor's thread not scheduled at once) is still the answer.
    sim_->inject({.command = 0x00, .kind = karvex::sim::FaultKind::Late, .arg = 150});
    EXPECT_EQ(karvex_FiscalOnline(f_), 0);
    EXPECT_EQ(karvex_UnloadFicalForm(f_, 0), 0);
}

TEST_F(CapiTest, LinkFailuresComeBackAsResultCodes) {
    // No LoadFiscalForm: nothing can be sent.
    EXPECT_EQ(karvex_FiscalOnline(f_), kNoOpenPort);
    EXPECT_EQ(karvex_Status(f_), kNoOpenPort);
    EXPECT_EQ(DescriptionOf(f_), "0x84：没有打开的串口发送命令");
    EXPECT_EQ(karvex::testing::RequestsReceived(*sim_), loaded_);

    // A processor that never answers ends in the time-out, and the link works again afterwards.
    ShortTicks();
    Load();
    sim_->inject({.command = 0x00, .kind = karvex::sim::FaultKind::Silent});
    EXPECT_EQ(karvex_FiscalOnline(f_), kTimeout);
    EXPECT_EQ(karvex_FiscalOnline(f_), 0);
}

TEST_F(CapiTest, PortPromptGoesThroughTheHostCallback) {
    BreakPortOne();
    Prompts prompts;
    ASSERT_EQ(karvex_set_user_interface(f_, nullptr, nullptr, AnswerPort, &prompts), 0);
    EXPECT_EQ(karvex_LoadFiscalForm(f_), kNoOpenPort) << "Cancel gives no open port";
    ASSERT_EQ(prompts.titles.size(), 1u);
    EXPECT_EQ(prompts.titles[0], "打开串口");
    EXPECT_NE(prompts.texts[0].find("请输入税控器连接的串口号"), std::string::npos);

    prompts.portReply = "2";
    EXPECT_EQ(karvex_LoadFiscalForm(f_), 0);
    EXPECT_EQ(karvex_FiscalOnline(f_), 0);
}

TEST_F(CapiTest, WithoutCallbacksTheControlStaysSilent) {
    BreakPortOne();
    // The default, and what a NULL set of callbacks restores: the prompt is cancelled, nothing blocks.
    ASSERT_EQ(karvex_set_user_interface(f_, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(karvex_LoadFiscalForm(f_), kNoOpenPort);
}

TEST_F(CapiTest, CallsFromACallbackOfAWaitingCallAreRefused) {
    BreakPortOne();
    Prompts prompts;
    prompts.control = f_;
    ASSERT_EQ(karvex_set_user_interface(f_, nullptr, nullptr, AnswerPort, &prompts), 0);
    EXPECT_EQ(karvex_LoadFiscalForm(f_), kNoOpenPort);
    EXPECT_EQ(prompts.nestedCall, KARVEX_ERR_BUSY);
    // Under way, or the failed open of a stored port that the prompt follows: never a finished load.
    EXPECT_TRUE(prompts.statusSeen == kUnderWay || prompts.statusSeen == kPortNotFound) << prompts.statusSeen;
    EXPECT_EQ(karvex::testing::RequestsReceived(*sim_), loaded_);
    // The refusal explains itself but leaves the outer call's own outcome alone.
    EXPECT_STREQ(karvex_last_error(f_), "");
    EXPECT_EQ(karvex_FiscalOnline(f_), kNoOpenPort);
}

TEST_F(CapiTest, DestroyFromACallbackWaitsForTheCallToReturn) {
    BreakPortOne();
    Prompts prompts;
    prompts.control = f_;
    prompts.destroyInside = true;
    ASSERT_EQ(karvex_set_user_interface(f_, nullptr, nullptr, AnswerPort, &prompts), 0);
    // Under the address sanitizer a use of the freed control would abort here.
    EXPECT_EQ(karvex_LoadFiscalForm(f_), kNoOpenPort);
    f_ = nullptr;
}

TEST_F(CapiTest, NullHandleAndNullArgumentsGiveTheNullStatus) {
    Text s;
    int32_t n = 0;
    double d = 0;
    EXPECT_EQ(karvex_LoadFiscalForm(nullptr), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalOnline(nullptr), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_UnloadFicalForm(nullptr, 0), KARVEX_ERR_NULL_ARGUMENT);
    karvex_set_progress_callback(nullptr, nullptr, nullptr);  // nothing to set: no crash
    EXPECT_EQ(karvex_ShowFiscalForm(nullptr, 0, 0), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalInstallInv(nullptr, 0, 0), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalGetInvNum(nullptr, s.s), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalInvalidateInv(nullptr, s.s), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalMakeInv(nullptr, 52, 0, 0, "", "", 1, "", "", "", "", ""), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_Status(nullptr), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_Description(nullptr, s.s), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_set_user_interface(nullptr, nullptr, nullptr, nullptr, nullptr), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_STRNE(karvex_last_error(nullptr), "");
    karvex_destroy(nullptr);

    // Pointer arguments: the reason names the argument, and nothing reaches the processor.
    Load();
    EXPECT_EQ(karvex_FiscalGetInvNum(f_, nullptr), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_NE(std::string(karvex_last_error(f_)).find("invNum"), std::string::npos) << karvex_last_error(f_);
    EXPECT_EQ(karvex_FiscalInvalidateInv(f_, nullptr), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalMakeInv(f_, 52, 0, 0, "", "", 1, "米", "1", "1", nullptr, "1"), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_NE(std::string(karvex_last_error(f_)).find("salesSum"), std::string::npos) << karvex_last_error(f_);
    EXPECT_EQ(karvex_GetPrintInv(f_, 177, s.s, s.s, s.s, s.s, s.s, s.s, s.s, s.s, s.s, s.s, s.s, s.s, nullptr),
              KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_GetInvUseSum(f_, "1", s.s, s.s, s.s, s.s, &n, &n, nullptr, &n, &d, s.s, s.s, s.s, s.s),
              KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalReturnInvInfo(f_, s.s, s.s, nullptr, s.s, s.s), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalMakeInvSale(f_, "S1", 52, 0, 0, "", nullptr, 1, "米", "1", "1", "1", "1"),
              KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalGetSale(f_, nullptr, s.s, s.s, nullptr, s.s), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_NE(std::string(karvex_last_error(f_)).find("taxCode"), std::string::npos) << karvex_last_error(f_);
    // Goods: the count is judged before the array is read, and a line's name is an argument like any text.
    karvex_goods line = {nullptr, 100, 100, 100, 1};
    EXPECT_EQ(karvex_FiscalMakeInvGoods(f_, "S1", 52, 0, 0, "", "", nullptr, 1), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalMakeInvGoods(f_, "S1", 52, 0, 0, "", "", &line, 1), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex_FiscalMakeInvGoods(f_, "S1", 52, 0, 0, "", "", &line, 7), 168);
    line.name = "\xFF";
    EXPECT_EQ(karvex_FiscalMakeInvGoods(f_, "S1", 52, 0, 0, "", "", &line, 1), KARVEX_ERR_INVALID_TEXT);
    EXPECT_EQ(karvex_Description(f_, nullptr), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_EQ(karvex::testing::RequestsReceived(*sim_), loaded_);
    EXPECT_EQ(karvex_Status(f_), 0) << "a refused call leaves the result word alone";

    // The next good call clears the reason.
    EXPECT_EQ(karvex_FiscalOnline(f_), 0);
    EXPECT_STREQ(karvex_last_error(f_), "");
}

TEST_F(CapiTest, VoidingRewritesTheNumberItWasGiven) {
    Load();
    Text letters("12a");
    EXPECT_EQ(karvex_FiscalInvalidateInv(f_, letters.s), 105);
    EXPECT_EQ(letters.str(), "") << "a number that is none comes back empty";
    EXPECT_EQ(karvex::testing::RequestsReceived(*sim_), loaded_);
}

TEST_F(CapiTest, TextThatIsNotUtf8IsRefusedUnchanged) {
    Load();
    Text bad("12\xff");
    EXPECT_EQ(karvex_FiscalInvalidateInv(f_, bad.s), KARVEX_ERR_INVALID_TEXT);
    EXPECT_EQ(bad.str(), "12\xff");
    EXPECT_NE(std::string(karvex_last_error(f_)).find("invNum"), std::string::npos);
    // GBK bytes handed in by mistake, in a by-reference string: refused, and the handle keeps its bytes.
    Text gbk("\xb7\xa2\xc6\xb1");
    EXPECT_EQ(karvex_FiscalGetInvNum(f_, gbk.s), KARVEX_ERR_INVALID_TEXT);
    EXPECT_EQ(gbk.str(), "\xb7\xa2\xc6\xb1");
    EXPECT_EQ(karvex::testing::RequestsReceived(*sim_), loaded_);
}

TEST_F(CapiTest, WideHostArgumentsNeverReachTheProcessor) {
    Load();
    ASSERT_EQ(karvex_FiscalOnline(f_), 0);
    const std::size_t sent = Handled(1);
    // 300 goods items do not fit the count byte; 70000 does not fit the 16-bit 分户 number.
    std::string names(300 * 20, ' '), amounts(300 * 11, ' '), taxes(300, '1');
    int32_t r = karvex_FiscalMakeInv(f_, 52, 1, 0, "", "某某公司", 300, names.c_str(), amounts.c_str(), amounts.c_str(),
                                     amounts.c_str(), taxes.c_str());
    EXPECT_EQ(r, KARVEX_ERR_ARGUMENT_OVERFLOW);
    EXPECT_NE(std::string(karvex_last_error(f_)).find("fit"), std::string::npos) << karvex_last_error(f_);
    r = karvex_FiscalMakeInv(f_, 52, 70000, 0, "", "某某公司", 1, "大米", "          1", "         10", "         10",
                             "1");
    EXPECT_EQ(r, KARVEX_ERR_ARGUMENT_OVERFLOW);
    EXPECT_EQ(sim_->requests_handled(), sent);
    EXPECT_EQ(karvex_Status(f_), 0) << "the result word of the last command is not touched";
}

// Invoices whose texts or numbers would reach the processor changed, or whose print data could not be read
// back, are refused before anything is sent. The GBK rules are the checks' own table (hostcalls); here each
// argument of the C call they reach.
TEST_F(CapiTest, InvoicesThatWouldGoOutChangedAreRefused) {
    struct Case {
        const char* what;
        int32_t command;
        const char* returned;
        const char* payer;
        const char* name;
        const char* amount;
        int32_t code;
    };
    const std::vector<Case> cases = {
        {"payer without a GBK form", 52, "", "P\xF0\x9F\x98\x80", "Rice", "          1", 98},
        {"euro sign in the name", 52, "", "ACME", "\xE2\x82\xAC", "          1", 99},
        {"returned number with a point", 53, "9.5", "ACME", "Rice", "          1", 105},
        {"amount of 0 fen", 52, "", "ACME", "Rice", "      0.005", 166},
    };
    Load();
    for (const Case& c : cases) {
        EXPECT_EQ(karvex_FiscalMakeInv(f_, c.command, 1, 0, c.returned, c.payer, 1, c.name, "          1",
                                       "          1", c.amount, "1"),
                  c.code)
            << c.what;
        EXPECT_EQ(karvex_Status(f_), c.code) << c.what;
    }
    EXPECT_EQ(karvex::testing::RequestsReceived(*sim_), loaded_);
}

TEST_F(CapiTest, OutputsKeepTheirTextWhenTheCallFails) {
    Text num("0000000042");
    // Without a loaded link the call fails, whatever its code.
    EXPECT_GT(karvex_FiscalGetInvNum(f_, num.s), 0);
    EXPECT_EQ(num.str(), "0000000042");
}

TEST_F(CapiTest, CallsFromAnotherThreadAreRefused) {
    int32_t r = 0;
    std::thread other([&] { r = karvex_FiscalOnline(f_); });
    other.join();
    EXPECT_EQ(r, KARVEX_ERR_WRONG_THREAD);
    EXPECT_EQ(karvex::testing::RequestsReceived(*sim_), loaded_);
    karvex_fiscal* made = nullptr;
    std::thread maker([&] { made = karvex_create(); });
    maker.join();
    EXPECT_EQ(made, nullptr);
}

TEST(CapiStringTest, RoundTripsUtf8Text) {
    karvex_string* s = karvex_string_create("税控器发票 No.1");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(karvex_string_get(s), "税控器发票 No.1");
    EXPECT_EQ(karvex_string_size(s), std::string("税控器发票 No.1").size());
    EXPECT_EQ(karvex_string_set(s, "付款单位：某某公司"), 0);
    EXPECT_STREQ(karvex_string_get(s), "付款单位：某某公司");
    EXPECT_EQ(karvex_string_set(s, nullptr), 0);
    EXPECT_STREQ(karvex_string_get(s), "");
    karvex_string_free(s);

    karvex_string* empty = karvex_string_create(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(karvex_string_size(empty), 0u);
    karvex_string_free(empty);

    EXPECT_EQ(karvex_string_set(nullptr, "x"), KARVEX_ERR_NULL_ARGUMENT);
    EXPECT_STREQ(karvex_string_get(nullptr), "");
    EXPECT_EQ(karvex_string_size(nullptr), 0u);
    karvex_string_free(nullptr);
    EXPECT_STREQ(karvex_version(), "0.2.0");
}

}  // namespace
