#include "conversions.h"

namespace karvex {

int Utf8ToGbk(std::string_view, Bytes& out) { out.clear(); return 0; }
int Utf8ToGbk(std::string_view, std::string& out) { out.clear(); return 0; }
int GbkToUtf8(ByteView, std::string& out) { out.clear(); return 0; }
int GbkToUtf8(std::string_view, std::string& out) { out.clear(); return 0; }
std::size_t GbkByteLength(std::string_view utf8) { return utf8.size(); }

}  // namespace karvex
