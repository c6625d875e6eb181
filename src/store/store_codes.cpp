#include "store/store_codes.h"

#include <array>
#include <cstdint>
#include <system_error>

namespace karvex {

std::string DuplicateKeyMessage() {
    return std::string("数据库错误：") + std::to_string(result::kDuplicateKey) + "\n\n" +
           "    由于将在索引、主关键字、或关系中创建重复的值，请求对表的改变没有成功。" + "\n" +
           "    改变该字段中的或包含重复数据的字段中的数据，删除索引或重新定义索引" + "\n" + "允许重复的值并再试一次。";
}

namespace {

// The engine's primary result codes 1 to 26, in order.
constexpr std::array<std::string_view, 26> kEngineMessages = {
    "数据库引擎错误",          // 1 generic error
    "数据库引擎内部错误",      // 2
    "没有访问权限",            // 3
    "操作被中止",              // 4
    "数据库文件被占用",        // 5 busy
    "数据表被锁定",            // 6
    "内存不足",                // 7
    "数据库文件只读",          // 8
    "操作被中断",              // 9
    "磁盘读写错误",            // 10
    "数据库文件已损坏",        // 11
    "未找到数据库操作对象",    // 12
    "磁盘已满",                // 13
    "无法打开数据库文件",      // 14
    "数据库文件锁协议错误",    // 15
    "数据库为空",              // 16
    "数据库结构已改变",        // 17
    "数据过大",                // 18
    "违反数据约束",            // 19
    "数据类型不匹配",          // 20
    "数据库接口使用错误",      // 21
    "系统不支持大文件",        // 22
    "没有访问授权",            // 23
    "数据格式错误",            // 24
    "参数超出范围",            // 25
    "文件已加密或不是数据库",  // 26
};

std::string WithEngineText(std::string message, std::string_view engine_text) {
    if (!engine_text.empty()) message.append("（").append(engine_text).append("）");
    return message;
}

}  // namespace

std::string EngineErrorText(int rc, std::string_view engine_text) {
    const int primary = rc & 0xFF;
    const std::string_view message = primary >= 1 && primary <= static_cast<int>(kEngineMessages.size())
                                         ? kEngineMessages[static_cast<std::size_t>(primary - 1)]
                                         : kEngineMessages[0];
    return WithEngineText(std::string(message), engine_text);
}

}  // namespace karvex
