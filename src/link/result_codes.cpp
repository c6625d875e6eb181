#include "result_codes.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace karvex {
namespace {

struct MessageEntry {
    ResultCode code;
    std::string_view text;
};

// Sorted by code; the texts are the operator's messages verbatim, leading blanks included.
constexpr std::array kMessages = std::to_array<MessageEntry>({
    {result::kCompactDestinationExists, "压缩数据库失败，目标文件已经存在"},
    {0, "执行成功"},
    {1, "税控卡上电错误"},
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
    {17, "已过截止开票日期"},
    {18, "已超过单张发票开票金额限额"},
    {19, "已超过开票累计金额限额"},
    {20, "已超过退票累计金额限额"},
    {21, "税控卡的注册号与税控器的注册号不一致"},
    {22, "用户卡校验MAC错误"},
    {23, "税控卡校验MAC错误"},
    {24, "检查PIN失效"},
    {25, "非法税种税目"},
    {26, "申报截止日期大于当前日期"},
    {27, "申报截止日期小于上次申报日期"},
    {28, "用户卡已锁"},
    {29, "税控卡卡已锁"},
    {30, "税控器已初始化不能再次初始化"},
    {31, "校验位不正确"},
    {32, "命令类型错误"},
    {33, "包头错误"},
    {34, "包长度错误"},
    {35, "发票已用完"},
    {36, "发票存储器异常"},
    {37, "税控存储器异常"},
    {38, "时间、日期、数值溢出"},
    {39, "税控卡已注册"},
    {40, "卡已满，换卡操作"},
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
    {55, " IC卡上电失败"},
    {56, " IC卡上电TCK校验错误"},
    {57, " IC卡无TCK"},
    {58, " 不支持此种协议"},
    {59, " IC卡超时"},
    {60, "非法抄税卡"},
    {61, "非法完税卡"},
    {62, "所退发票内容不符"},
    {63, "已到报税日期"},
    {64, "税控器使用已超过五年,锁机"},
    {91, "数据库对象打开失败"},
    {96, "字节型数组的最大下标小于转换开始下标"},
    {97, "字节型数组的最大下标小于转换结束下标"},
    {98, "ASC字符值小于32，不能显示为可见字符"},
    {99, "ASC字符值大于等于32，小于等于159，无效字符"},
    {100, "ASC字符是半个汉字"},
    {101, "ASC字符数组最后一个是半个汉字"},
    {102, "Double型数据溢出"},
    {103, "原字符串实际长度超过需要格式化后的长度"},
    {104, "字符串转换成字节型数组时，输入空字符串"},
    {105, "输入数字字符串中存在非数字字符"},
    {106, "输入16进制字符串中有数字、a-f、A-F之外的字符"},
    {107, "输入的数字字符串中有数字、小数点之外的字符"},
    {108, "输入的数字字符串中有数字、空格之外的字符"},
    {109, "输入的数字字符串中有数字、小数点、空格、a-f、A-F之外的字符"},
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
    {138, "销售单号已用于内容不同的另一笔销售"},
    {139, "销售记录中没有此销售单号"},
    {140, "数据库正被另一程序使用"},
    {141, "当前发票号小于已记录的发票号"},
    {142, "磁盘空间已满，数据没有保存"},
    {143, "销售结果尚未查明（无法向税控器查询），查明之前不发送开票、退票、作废等改变税控器的命令"},
    {144, "检查到输入空字符串"},
    {145, "税控返回错误的自检项目"},
    {146, "输入的数值超过255"},
    {147, "错误的发票号"},
    {148, "发票号超过国标规定的最大值0xFFFFFFFF"},
    {149, "当前发票号不是原来发票号加一"},
    {150, "发票库中找不到当前发票号"},
    {151, "需签名数据在数据库中丢失"},
    {152, "请求内容不符合接口要求"},
    {153, "令牌缺失或不正确，拒绝访问"},
    {154, "请求内容超过允许的大小"},
    {155, "没有此接口或资源"},
    {156, "导出文件无法写入"},
    {160, "开票返回数据后检查到开票数据库无当前记录"},
    {161, "在开票数据库表中找不到开票数据"},
    {162, "数据库中的表为空表"},
    {163, "单件商品金额超过单张发票金额限额"},
    {164, "开票时收到的商品数量为0"},
    {165, "错误的单价"},
    {166, "错误的金额"},
    {167, "销售的商品税目不能为0"},
    {168, "开票商品记录个数错误[1,6]"},
    {169, "无法连接或登录中心数据库"},
    {170, "中心数据库尚未初始化或版本不符"},
    {171, "中心数据库拒绝了一行数据，同步已停止"},
    {172, "中心数据库地址无效或含有口令"},
    {173, "本机机器编号未知，请先联机读取机器数据"},
    {174, "与中心数据库的连接中断，本批数据未提交"},
    {175, "中心数据库拒绝执行同步语句"},
    {176, "Plu名称为空"},
    {177, "Plu编号为空"},
    {178, "Plu库存错误"},
    {179, "PLU单价一错误"},
    {180, "PLU单价一为空"},
    {181, "PLU单价二错误"},
    {182, "PLU编号重复"},
    {183, "PLU编号超过规定长度"},
    {184, "税控器中有销售记录以外的发票（数据库可能由旧备份恢复或已更换），已记为他处开具"},
    {192, "数据目录不安全：属于其他用户，或其他用户可以写入"},
    {193, "文件是链接、不是普通文件或属于其他用户，拒绝使用"},
    {194, "存储文件含有本系统未建立的对象，拒绝使用"},
    {195, "没有可用的数据目录，请设置 KARVEX_DATA_DIR"},
    {196, "存储密钥文件无法建立或读取"},
    {208, "中心数据库在限定时间内没有回答，本次同步已放弃"},
    {209, "同步已中止，未提交的数据留在发件箱中"},
    {210, "另一个同步正在发送这个存储的发件箱"},
    {211, "中心数据库的回答不符合预期，本次同步已放弃"},
    {212, "收款机登录名或机器编号无效"},
    {224, "商品税目必须是 1 到 9"},
    {228, "请求帧长度与命令不符，未发送"},
    {229, "此命令不能由当前调用方发送"},
    {256, "错误的日期：年"},
    {257, "日期字符串长度不等于预定义长度"},
    {258, "错误的日期"},
    {512, "错误的日期：月"},
    {768, "错误的日期：年、月"},
    {1024, "错误的日期：日"},
    {1280, "错误的日期：年、日"},
    {1536, "错误的日期：月、日"},
    {1792, "错误的日期：年、月、日"},
    {3021, "空表中不能移动记录游标"},
    {3075, "查询条件格式错误"},
    {3265, "数据库表中没有此字段"},
    {3464, "数据类型不匹配"},
    {4096, "没有查找到符合条件的记录"},
    {4097, "恢复失败"},
    {4098, "执行失败"},
    {4099, "设置失败"},
    {4100, "自检失败"},
    {4128, "命令开始执行"},
    {4129, "用户终止命令执行"},
    {8002, "串口设备不存在"},
    {8005, "串口已被占用或没有使用权限"},
    {8015, "串口无法打开"},
});

constexpr bool IsSortedByCode() {
    for (std::size_t i = 1; i < kMessages.size(); ++i) {
        if (kMessages[i - 1].code >= kMessages[i].code) return false;
    }
    return true;
}
static_assert(IsSortedByCode(), "the message table must stay sorted for the binary search");

constexpr std::string_view kBackupStoreExistsMessage = "压缩数据库失败，_bak数据库已经存在";

std::string DuplicateKeyMessage() {
    std::string text = "数据库错误：";
    text += std::to_string(result::kDuplicateKey);
    text += "\n\n";
    text += "    由于将在索引、主关键字、或关系中创建重复的值，请求对表的改变没有成功。";
    text += "\n";
    text += "    改变该字段中的或包含重复数据的字段中的数据，删除索引或重新定义索引";
    text += "\n";
    text += "允许重复的值并再试一次。";
    return text;
}

}  // namespace

std::optional<std::string_view> FindResultMessage(ResultCode code) {
    auto it = std::lower_bound(kMessages.begin(), kMessages.end(), code,
                               [](const MessageEntry& e, ResultCode c) { return e.code < c; });
    if (it == kMessages.end() || it->code != code) return std::nullopt;
    return it->text;
}

std::string ResultMessage(ResultCode code) {
    // The two database patterns are recognised before the table.
    if (code == result::kBackupStoreExists) return std::string(kBackupStoreExistsMessage);
    if (code == result::kDuplicateKey) return DuplicateKeyMessage();
    if (auto text = FindResultMessage(code)) return std::string(*text);
    return std::string(kUnknownResultMessage);
}

std::string ResultHex(ResultCode code) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%X", static_cast<unsigned>(static_cast<std::uint32_t>(code)));
    return buffer;
}

std::string ResultCodeText(ResultCode code) { return "0x" + ResultHex(code) + "：" + ResultMessage(code); }

std::string ResultBoxText(ResultCode code) { return "Err：0x" + ResultHex(code) + " " + ResultMessage(code); }

std::string ResultBoxTitle(std::string_view title) {
    return title.empty() ? std::string(kDefaultResultTitle) : std::string(title);
}

}  // namespace karvex
