#include "store/store_codes.h"

namespace karvex {

std::string DuplicateKeyMessage() {
    return std::string("数据库错误：") + std::to_string(kStoreDuplicateKey) + "\n\n" +
           "    由于将在索引、主关键字、或关系中创建重复的值，请求对表的改变没有成功。" + "\n" +
           "    改变该字段中的或包含重复数据的字段中的数据，删除索引或重新定义索引" + "\n" +
           "允许重复的值并再试一次。";
}

}  // namespace karvex
