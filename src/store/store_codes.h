#pragma once
// Result codes of the record store. The numbers are those the rest of the library already
// knows from the message table, so a store failure can be handed on unchanged.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace karvex {

inline constexpr std::int32_t kStoreOk = 0;
// The store or a record set could not be opened (also: the key does not open the file).
inline constexpr std::int32_t kStoreNotOpen = 91;
// No current record (BOF/EOF, or the row vanished under the cursor).
inline constexpr std::int32_t kStoreNoCurrentRecord = 3021;
// The field is not a column of the table.
inline constexpr std::int32_t kStoreNoSuchField = 3265;
// A criterion text that is not of the form field = 'text' | number [and ...].
inline constexpr std::int32_t kStoreBadCriterion = 3075;
// A value that does not fit the field's type (text into a number, 300 into a byte ...).
inline constexpr std::int32_t kStoreTypeMismatch = 3464;
// Any other engine failure (disk full, I/O error, locked file ...); details in the error text.
inline constexpr std::int32_t kStoreEngineFailure = 4098;
// A record whose key already exists was refused.
inline constexpr std::int32_t kStoreDuplicateKey = static_cast<std::int32_t>(0x80004005u);
// Another process (or another store object of this one) writes the store.
inline constexpr std::int32_t kStoreInUse = 140;
// The disk (or the engine's page limit) is full: nothing of the change was written.
inline constexpr std::int32_t kStoreDiskFull = 142;
// The compaction destination already exists.
inline constexpr std::int32_t kStoreDestinationExists = static_cast<std::int32_t>(0x80040E17u);

// The composed message that goes with kStoreDuplicateKey.
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
