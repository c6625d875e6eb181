#pragma once
// The library's result codes by name, once for every layer. They sit below the conversions so that every
// part, the store included, can name them without linking the link layer; their messages are in the
// result-code table (link/result_codes.cpp).
//
// 0 is success, 1..64 are the processor's own error codes (payload byte 0 of an "ER" answer), every other
// value is the library's own.
#include <cstdint>

namespace karvex {

using ResultCode = std::int32_t;

namespace result {
inline constexpr ResultCode kSuccess = 0;

// Processor error codes the library itself refers to.
inline constexpr ResultCode kProcessorFirst = 1;
inline constexpr ResultCode kProcessorLast = 64;
inline constexpr ResultCode kCommandTypeError = 32;   // "命令类型错误"
inline constexpr ResultCode kPacketHeaderError = 33;  // "包头错误"
inline constexpr ResultCode kInvoicesUsedUp = 35;     // "发票已用完": every installed roll is used up
inline constexpr ResultCode kNoRecord = 48;           // "无记录": a query with nothing to report

// The store.
inline constexpr ResultCode kStoreOpenFailed = 91;       // the store or a record set would not open (also: a wrong key)
inline constexpr ResultCode kStoreInUse = 140;           // another process (or another store object) writes the store
inline constexpr ResultCode kRollNumberLower = 141;      // roll progress: below the number already recorded
inline constexpr ResultCode kDiskFull = 142;             // nothing of the change was written
inline constexpr ResultCode kRollNotNextNumber = 149;    // roll progress: not the recorded number plus one
inline constexpr ResultCode kRollNumberNotFound = 150;   // roll progress: no roll holds the number
inline constexpr ResultCode kSignatureRowMissing = 151;  // the row to be signed is gone from the store
inline constexpr ResultCode kExportFileFailed = 156;     // an export file could not be written whole
inline constexpr ResultCode kStoreTableEmpty = 162;

// The local service's refusals of a request, before anything reaches the control.
inline constexpr ResultCode kBadRequest = 152;       // malformed JSON, an unknown field, a wrong type or range
inline constexpr ResultCode kAccessRefused = 153;    // no token, a wrong or replaced one, an origin not allowed
inline constexpr ResultCode kRequestTooLarge = 154;  // a head or a body over the service's limit
inline constexpr ResultCode kNoSuchResource = 155;   // no such path, method, table or invoice record

// Conversions.
inline constexpr ResultCode kRangeStartBeyondEnd = 96;
inline constexpr ResultCode kRangeEndBeyondEnd = 97;
inline constexpr ResultCode kControlCharacter = 98;
inline constexpr ResultCode kInvalidCharacter = 99;
inline constexpr ResultCode kHalfChineseCharacter = 100;
inline constexpr ResultCode kEndsInHalfCharacter = 101;
inline constexpr ResultCode kDoubleOverflow = 102;
inline constexpr ResultCode kTextTooLong = 103;
inline constexpr ResultCode kEmptyTextToBytes = 104;
inline constexpr ResultCode kNotDigits = 105;
inline constexpr ResultCode kNotHexDigits = 106;
inline constexpr ResultCode kNotDecimalNumber = 107;
inline constexpr ResultCode kNotDigitsOrBlanks = 108;
inline constexpr ResultCode kNotHexDigitsOrBlanks = 109;
inline constexpr ResultCode kNumberAbove32Bits = 110;
inline constexpr ResultCode kNotDecimalOrBlanks = 111;

// Link.
inline constexpr ResultCode kTimeout = 128;
inline constexpr ResultCode kWrongAnswerLength = 129;
inline constexpr ResultCode kCrcError = 130;
inline constexpr ResultCode kUserAborted = 131;
inline constexpr ResultCode kNoOpenPort = 132;
inline constexpr ResultCode kPortLost = 133;      // the serial device went away under an open port
inline constexpr ResultCode kNotAvailable = 134;  // a function this build does not provide
// An "ER" answer whose code byte is not one of the processor's (1..64): kept apart so that a byte such as
// 128 or 133 never reads as one of the library's own link failures.
inline constexpr ResultCode kUnknownProcessorCode = 135;
// A send while another command still waits for its answer.
inline constexpr ResultCode kCommandInFlight = 136;
// An answer that names an invoice, a roll or a date outside what was asked: left over from an earlier
// request, never taken as this one's answer.
inline constexpr ResultCode kAnswerMismatch = 137;
// The sales journal: a sale id already used for a sale with other content; no sale with the sale id asked
// about; a sale whose answer was lost while the processor could not be asked what became of it (nothing is
// sent for it, nor for a new invoice, until it is known).
inline constexpr ResultCode kSaleIdReused = 138;
inline constexpr ResultCode kNoSuchSale = 139;
inline constexpr ResultCode kSaleInDoubt = 143;
// The processor holds invoices the sales journal never made (a store restored from a copy, replaced, or new
// on a used processor): they are recorded as made elsewhere and never taken for a sale. The load succeeded.
inline constexpr ResultCode kStoreBehindProcessor = 184;

// Input and invoice-number checks.
inline constexpr ResultCode kEmptyInput = 144;  // also an empty text where a conversion needs a value
inline constexpr ResultCode kBadSelfTestItem = 145;
inline constexpr ResultCode kValueAbove255 = 146;
inline constexpr ResultCode kBadInvoiceNumber = 147;
inline constexpr ResultCode kInvoiceNumberTooLarge = 148;

// Invoice call.
inline constexpr ResultCode kQuantityZero = 164;
inline constexpr ResultCode kBadUnitPrice = 165;
inline constexpr ResultCode kBadAmount = 166;
inline constexpr ResultCode kTaxIndexZero = 167;
inline constexpr ResultCode kBadItemCount = 168;
inline constexpr ResultCode kTaxIndexOutOfRange = 224;  // a typed sale line's tax index below 0 or above 9
// The goods-list codes 176 ("Plu名称为空") to 183 ("PLU编号超过规定长度") keep their messages; no call
// returns them.
inline constexpr ResultCode kPluFirst = 176;
inline constexpr ResultCode kPluLast = 183;

// Sync with the central database; the rows stay in the outbox whenever one of these ends a sync.
inline constexpr ResultCode kSyncConnectFailed = 169;    // no connection or no login to the central server
inline constexpr ResultCode kSyncSchemaMismatch = 170;   // central schema missing, or of another version
inline constexpr ResultCode kSyncRowRejected = 171;      // a central column refused a value; the text names the row
inline constexpr ResultCode kSyncBadAddress = 172;       // not a PostgreSQL address, or one carrying a password
inline constexpr ResultCode kSyncNoMachineNumber = 173;  // rows to send but no machine number known yet
inline constexpr ResultCode kSyncConnectionLost = 174;   // the connection broke before the batch was committed
inline constexpr ResultCode kSyncServerRefused = 175;    // the central server refused a statement (rights, space)
inline constexpr ResultCode kSyncTimedOut = 208;         // the central server did not answer in time; connection given up
inline constexpr ResultCode kSyncStopped = 209;          // the attempt was ended from outside (the service stopping)
inline constexpr ResultCode kSyncAlreadyRunning = 210;   // another sync of the same store is under way
inline constexpr ResultCode kSyncBadAnswer = 211;        // the central server answered something not asked for
inline constexpr ResultCode kSyncBadRegister = 212;      // a register's login or machine number that cannot be used

// A request the command table does not allow: the frame's length field is not the command's, or the sender is
// not one the command may come from. Nothing reaches the line.
inline constexpr ResultCode kRequestLengthMismatch = 228;
inline constexpr ResultCode kSenderNotAllowed = 229;

// The store's files: who may own and reach them, and what a store may hold.
inline constexpr ResultCode kUnsafeDataDirectory = 192;  // another user owns the data directory, or others may write it
inline constexpr ResultCode kUnsafeStoreFile = 193;      // a link, not a plain file, or another user's file in its place
inline constexpr ResultCode kForeignSchemaObject = 194;  // the store holds a table, trigger or view Karvex never made
inline constexpr ResultCode kNoDataDirectory = 195;      // no data directory given, no home and no writable library folder
inline constexpr ResultCode kStoreKeyFileFailed = 196;   // the installation's key file cannot be made or read

// Date checks; the three flags add up.
inline constexpr ResultCode kBadYear = 256;
inline constexpr ResultCode kWrongDateLength = 257;
inline constexpr ResultCode kBadDate = 258;
inline constexpr ResultCode kBadMonth = 512;
inline constexpr ResultCode kBadDay = 1024;

// The store's own refusals, passed on unchanged.
inline constexpr ResultCode kNoCurrentRecord = 3021;  // before the first or after the last record, or the row vanished
inline constexpr ResultCode kStoreBadCriterion = 3075;  // a selection text that is no criterion
inline constexpr ResultCode kNoSuchField = 3265;        // a field that is no column of the table
inline constexpr ResultCode kStoreTypeMismatch = 3464;  // a value that does not fit its field

// Procedure outcomes.
inline constexpr ResultCode kNoMatchingRecord = 4096;
inline constexpr ResultCode kRestoreFailed = 4097;
inline constexpr ResultCode kExecutionFailed = 4098;  // also any store engine failure, its reason in the text
inline constexpr ResultCode kSettingFailed = 4099;
inline constexpr ResultCode kSelfTestFailed = 4100;

// Command state.
inline constexpr ResultCode kCommandUnderWay = 4128;
inline constexpr ResultCode kCommandAborted = 4129;
inline constexpr ResultCode kChainContinues = 4130;      // no message of its own
inline constexpr ResultCode kAnswerNextCommand = 20048;  // 0x4E50, the letters "NP"
inline constexpr ResultCode kAnswerKeepWaiting = 22356;  // 0x5754, the letters "WT"

// A port that would not open, by why (LoadFiscalForm, the console's serial settings).
inline constexpr ResultCode kPortNotFound = 8002;    // no such device
inline constexpr ResultCode kPortInUse = 8005;       // opened by another program, or not permitted
inline constexpr ResultCode kPortOpenFailed = 8015;  // any other refusal

// Database errors as 32-bit patterns.
inline constexpr ResultCode kBackupStoreExists = static_cast<ResultCode>(0x8FFBF1E9u);
inline constexpr ResultCode kDuplicateKey = static_cast<ResultCode>(0x80004005u);  // -2147467259
// A compaction copy left in the way even after the stale one was removed.
inline constexpr ResultCode kCompactDestinationExists = static_cast<ResultCode>(0x80040E17u);
}  // namespace result

}  // namespace karvex
