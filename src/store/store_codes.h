#pragma once
// The store's failure texts. Its result codes are the library's own (convert/result_values.h), so that a
// store failure can be handed on unchanged.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "convert/result_values.h"

namespace karvex {

// The composed message that goes with result::kDuplicateKey.
std::string DuplicateKeyMessage();

// An engine failure as the operator reads it: the Chinese message of the engine's result code `rc` (its
// primary code decides), then the engine's own text in brackets.
// EngineErrorText(13, "database or disk is full") == "磁盘已满（database or disk is full）".
std::string EngineErrorText(int rc, std::string_view engine_text);

// Why the store file `file` could not be read with the key, the engine having answered `rc` and
// `engine_text`. A wrong key and a damaged file look alike to the engine (an encrypted file is all noise);
// what the file itself still shows tells some of them apart: an unencrypted database, a file too short or
// not made of whole pages, a first page of one repeated byte. Only where nothing tells them apart does the
// text leave both open ("密钥错误或文件已损坏"). The engine's failure follows as EngineErrorText gives it.
std::string UnreadableStoreText(const std::filesystem::path& file, int rc, std::string_view engine_text);

}  // namespace karvex
