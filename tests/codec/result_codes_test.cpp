#include "result_codes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace karvex {
namespace {

struct MessageCase {
    ResultCode code;
    const char* message;
};

// Written out by hand; the IC-card messages 55-59 carry a leading blank that the operator sees.
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
    // The rest of the table, so that every text is held to its exact bytes.
    {2, "用户卡上电错误"},
    {3, "税务管理卡上电错误"},
    {4, "无用户卡"},
    {5, "无税控卡"},
    {6, "无税务管理卡"},
    {7, "读税控卡错误"},
    {8, "读用户卡错误"},
    {9, "读税务管理卡错误"},
    {10, "写税控卡错误"},
    {11, "写用户卡错误"},
    {12, "写税务管理卡错误"},
    {13, "非法税控卡"},
    {14, "非法用户卡"},
    {15, "非法税务管理卡"},
    {16, "未初始化状态"},
    {19, "已超过开票累计金额限额"},
    {20, "已超过退票累计金额限额"},
    {23, "税控卡校验MAC错误"},
    {24, "检查PIN失效"},
    {25, "非法税种税目"},
    {26, "申报截止日期大于当前日期"},
    {27, "申报截止日期小于上次申报日期"},
    {28, "用户卡已锁"},
    {29, "税控卡卡已锁"},
    {30, "税控器已初始化不能再次初始化"},
    {31, "校验位不正确"},
    {33, "包头错误"},
    {34, "包长度错误"},
    {36, "发票存储器异常"},
    {37, "税控存储器异常"},
    {39, "税控卡已注册"},
    {41, "没有已分发但未使用的发票号"},
    {42, "用户卡中无发票分发"},
    {43, "非法分户编号"},
    {44, "此发票号无相关数据"},
    {45, "此发票已作退票处理"},
    {46, "此发票已作废票处理"},
    {47, "未联机"},
    {48, "无记录"},
    {49, "无申报数据"},
    {50, "无相关数据"},
    {51, "此卡已抄税"},
    {52, "税控卡中已有发票"},
    {53, "丢失税控卡使用口令"},
    {54, "此卡已完税"},
    {61, "非法完税卡"},
    {62, "所退发票内容不符"},
    {63, "已到报税日期"},
    {97, "字节型数组的最大下标小于转换结束下标"},
    {100, "ASC字符是半个汉字"},
    {101, "ASC字符数组最后一个是半个汉字"},
    {102, "Double型数据溢出"},
    {103, "原字符串实际长度超过需要格式化后的长度"},
    {104, "字符串转换成字节型数组时，输入空字符串"},
    {105, "输入数字字符串中存在非数字字符"},
    {107, "输入的数字字符串中有数字、小数点之外的字符"},
    {108, "输入的数字字符串中有数字、空格之外的字符"},
    {109, "输入的数字字符串中有数字、小数点、空格、a-f、A-F之外的字符"},
    {145, "税控返回错误的自检项目"},
    {147, "错误的发票号"},
    {149, "当前发票号不是原来发票号加一"},
    {150, "发票库中找不到当前发票号"},
    {151, "需签名数据在数据库中丢失"},
    {160, "开票返回数据后检查到开票数据库无当前记录"},
    {161, "在开票数据库表中找不到开票数据"},
    {162, "数据库中的表为空表"},
    {163, "单件商品金额超过单张发票金额限额"},
    {165, "错误的单价"},
    {166, "错误的金额"},
    {167, "销售的商品税目不能为0"},
    {177, "Plu编号为空"},
    {178, "Plu库存错误"},
    {180, "PLU单价一为空"},
    {181, "PLU单价二错误"},
    {182, "PLU编号重复"},
    {258, "错误的日期"},
    {512, "错误的日期：月"},
    {1024, "错误的日期：日"},
    {1280, "错误的日期：年、日"},
    {1536, "错误的日期：月、日"},
    {4097, "恢复失败"},
    {4098, "执行失败"},
    {4099, "设置失败"},
    {static_cast<ResultCode>(0x8FFBF1E9u), "压缩数据库失败，_bak数据库已经存在"},
};

TEST(ResultMessage, LiteralTexts) {
    for (const auto& c : kLiteralMessages) {
        EXPECT_EQ(ResultMessage(c.code), c.message) << "code " << c.code;
    }
}

std::set<ResultCode> TableCodes() {
    std::set<ResultCode> codes;
    for (ResultCode c = 0; c <= 64; ++c) codes.insert(c);
    for (ResultCode c : {91,   96,   97,   98,   99,   100,  101,  102,  103,  104,  105,  106,  107,  108,  109,
                         110,  111,  128,  129,  130,  131,  132,  133,  134,  135,  136,  137,  144,  145,  146,
                         147,  148,  149,  150,  151,  160,  161,  162,  163,  164,  165,  166,  167,  168,  176,
                         177,  178,  179,  180,  181,  182,  183,  256,  257,  258,  512,  768,  1024, 1280, 1536,
                         1792, 3021, 3075, 3265, 3464, 4096, 4097, 4098, 4099, 4100, 4128, 4129, 8002, 8005, 8015}) {
        codes.insert(c);
    }
    // The store's lock, the roll bookkeeping's refusal of a lower number, a full disk.
    for (ResultCode c : {140, 141, 142}) codes.insert(c);
    // The sales journal: a sale id reused for other content, no such sale, a sale in doubt.
    for (ResultCode c : {138, 139, 143}) codes.insert(c);
    // A store behind its processor: invoices the journal never made.
    codes.insert(184);
    // The local service's refusals of a request.
    for (ResultCode c : {152, 153, 154, 155}) codes.insert(c);
    // An export file that could not be written.
    for (ResultCode c : {156}) codes.insert(c);
    // The sync with the central database.
    for (ResultCode c = 169; c <= 175; ++c) codes.insert(c);
    // The store's files: the data directory, a link or foreign file, a planted object, no directory, the key file.
    for (ResultCode c = 192; c <= 196; ++c) codes.insert(c);
    // The sync's time limits, its lock, the centre's answers and the registers' logins.
    for (ResultCode c = 208; c <= 212; ++c) codes.insert(c);
    // A request the command table refuses: its length, its sender.
    for (ResultCode c : {228, 229}) codes.insert(c);
    return codes;
}

TEST(ResultMessage, ExactlyTheListedCodesHaveMessages) {
    const auto codes = TableCodes();
    for (ResultCode c = -300; c <= 25000; ++c) {
        const auto found = FindResultMessage(c);
        ASSERT_EQ(found.has_value(), codes.count(c) == 1) << "code " << c;
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
