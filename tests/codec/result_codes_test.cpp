#include "result_codes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace karvex {
namespace {

struct MessageCase {
    ResultCode code;
    const char* message;
};

// Written out by hand: the texts with a trap (the IC-card messages 55-59 carry a leading blank the operator
// sees, composed database codes) and one of each group. Every other message is held to its exact text by
// docs/result-codes.md (scripts/result_codes_doc.py --check), which also fails for a named code without one.
const MessageCase kLiteralMessages[] = {
    {0, "执行成功"},
    {1, "税控卡上电错误"},
    {17, "已过截止开票日期"},
    {18, "已超过单张发票开票金额限额"},
    {21, "税控卡的注册号与税控器的注册号不一致"},
    {22, "用户卡校验MAC错误"},
    {32, "命令类型错误"},
    {35, "发票已用完"},
    {38, "时间、日期、数值溢出"},
    {40, "卡已满，换卡操作"},
    {55, " IC卡上电失败"},
    {56, " IC卡上电TCK校验错误"},
    {57, " IC卡无TCK"},
    {58, " 不支持此种协议"},
    {59, " IC卡超时"},
    {60, "非法抄税卡"},
    {64, "税控器使用已超过五年,锁机"},
    {91, "数据库对象打开失败"},
    {96, "字节型数组的最大下标小于转换开始下标"},
    {98, "ASC字符值小于32，不能显示为可见字符"},
    {99, "ASC字符值大于等于32，小于等于159，无效字符"},
    {106, "输入16进制字符串中有数字、a-f、A-F之外的字符"},
    {110, "双精度数值超过0xFFFFFFFF"},
    {111, "输入的数字字符串中有数字、小数点、空格之外的字符"},
    {128, "通讯超时"},
    {129, "串口接收到的数据长度不正确"},
    {130, "CRC 校验错误"},
    {131, "用户终止命令"},
    {132, "没有打开的串口发送命令"},
    {133, "串口设备已断开"},
    {134, "此功能尚未提供"},
    {135, "税控器以未知错误代码拒绝命令"},
    {136, "上一命令尚未完成，不能发送新命令"},
    {137, "税控器应答与所发命令不符，已拒收"},
    {144, "检查到输入空字符串"},
    {146, "输入的数值超过255"},
    {148, "发票号超过国标规定的最大值0xFFFFFFFF"},
    {164, "开票时收到的商品数量为0"},
    {168, "开票商品记录个数错误[1,6]"},
    {176, "Plu名称为空"},
    {179, "PLU单价一错误"},
    {183, "PLU编号超过规定长度"},
    {256, "错误的日期：年"},
    {257, "日期字符串长度不等于预定义长度"},
    {768, "错误的日期：年、月"},
    {1792, "错误的日期：年、月、日"},
    {3021, "空表中不能移动记录游标"},
    {3265, "数据库表中没有此字段"},
    {4096, "没有查找到符合条件的记录"},
    {4100, "自检失败"},
    {4128, "命令开始执行"},
    {4129, "用户终止命令执行"},
    {static_cast<ResultCode>(0x8FFBF1E9u), "压缩数据库失败，_bak数据库已经存在"},
};

TEST(ResultMessage, LiteralTexts) {
    for (const auto& c : kLiteralMessages) {
        EXPECT_EQ(ResultMessage(c.code), c.message) << "code " << c.code;
    }
}

// Every code up to the link's own words: a message is never empty and begins with a blank only for the
// IC-card codes; a code without one reads as unknown.
TEST(ResultMessage, MessagesAreShownAsWritten) {
    for (ResultCode c = -300; c <= 25000; ++c) {
        const auto found = FindResultMessage(c);
        if (found) {
            EXPECT_FALSE(found->empty()) << "code " << c;
            // Only the IC-card messages begin with a blank.
            EXPECT_EQ((*found)[0] == ' ', c >= 55 && c <= 59) << "code " << c;
        } else {
            ASSERT_EQ(ResultMessage(c), " 未知错误") << "code " << c;
        }
    }
}

TEST(ResultMessage, LinkCodesWithoutOwnMessageReadUnknown) {
    for (ResultCode c : {result::kChainContinues, result::kAnswerNextCommand, result::kAnswerKeepWaiting, 65, 255, -1,
                         INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(ResultMessage(c), " 未知错误") << "code " << c;
    }
}

TEST(ResultMessage, DuplicateKeyIsComposedWithTheSignedCode) {
    EXPECT_EQ(result::kDuplicateKey, -2147467259);
    EXPECT_EQ(ResultMessage(result::kDuplicateKey),
              "数据库错误：-2147467259\n\n"
              "    由于将在索引、主关键字、或关系中创建重复的值，请求对表的改变没有成功。\n"
              "    改变该字段中的或包含重复数据的字段中的数据，删除索引或重新定义索引\n"
              "允许重复的值并再试一次。");
}

TEST(ResultCodeText, CodeTexts) {
    const struct {
        ResultCode code;
        const char* text;
    } cases[] = {
        {0, "0x0：执行成功"},
        {4128, "0x1020：命令开始执行"},
        {35, "0x23：发票已用完"},
        {10, "0xA：写税控卡错误"},
        {55, "0x37： IC卡上电失败"},
        {4130, "0x1022： 未知错误"},
        {65, "0x41： 未知错误"},
        {20048, "0x4E50： 未知错误"},
        {22356, "0x5754： 未知错误"},
        {-1, "0xFFFFFFFF： 未知错误"},
        {static_cast<ResultCode>(0x8FFBF1E9u), "0x8FFBF1E9：压缩数据库失败，_bak数据库已经存在"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResultCodeText(c.code), c.text) << "code " << c.code;
    }
    EXPECT_EQ(ResultCodeText(result::kDuplicateKey).rfind("0x80004005：数据库错误：-2147467259\n\n    由于", 0), 0u);
}

TEST(ResultCodeText, BoxTextOfNegativeCodeUsesItsPattern) {
    EXPECT_EQ(ResultBoxText(static_cast<ResultCode>(0x8FFBF1E9u)),
              "Err：0x8FFBF1E9 压缩数据库失败，_bak数据库已经存在");
    EXPECT_EQ(ResultHex(result::kDuplicateKey), "80004005");
}

}  // namespace
}  // namespace karvex
