#ifndef KARVEX_KARVEX_H
#define KARVEX_KARVEX_H
/*
 * Karvex C interface: the Fiscal control for hosts written in C, or in any language with a C foreign-function
 * interface (Python ctypes, for one). Link with -lkarvex (pkg-config karvex, or CMake find_package(Karvex)
 * and the target Karvex::karvex).
 *
 * One karvex_fiscal drives one tax-control processor (税控器) over one serial port. Each karvex_<Method>
 * function calls the control method of the same name and returns its result code:
 *
 *   0            success
 *   1 .. 64      the processor's own refusal (its "ER" answer)
 *   other > 0    the library's own codes, e.g. 128 time-out, 132 no open port, 134 function not provided yet,
 *                135 a refusal whose code byte is not one of the processor's (the byte is in the description),
 *                136 refused because another command still waits for its answer, 137 an answer left over
 *                from an earlier request refused; karvex_Description gives "0x" + hexadecimal code + "：" +
 *                message
 *   < 0          the call itself failed at this interface (KARVEX_ERR_*): nothing was sent, no output was
 *                written and Status / Description still show the previous command; karvex_last_error says why
 *
 * Texts are UTF-8 (the library converts to the processor's GBK itself). Input texts are const char*; the
 * arguments the control writes back (or appends to, see karvex_GetPrintInv) are karvex_string handles, and
 * their content on entry is what the control starts from. An input that is not valid UTF-8 is refused with
 * KARVEX_ERR_INVALID_TEXT rather than sent with replacement characters.
 *
 * Threads: create, use and destroy a karvex_fiscal on one thread, the thread of the Qt application. A host
 * without Qt needs nothing more: karvex_create makes the application (offscreen without a display), and the
 * calls process its events while they wait for the processor. Calls must not overlap; a call made from a
 * user-interface callback while another call waits gets KARVEX_ERR_BUSY.
 *
 * Environment read by karvex_create, once (later changes are not seen by that control): KARVEX_COM<N> overrides
 * the device of port N (default /dev/ttyS<N-1>), KARVEX_DATA_DIR the directory of the store and the command log,
 * KARVEX_STORE_KEY the store's key, KARVEX_TICK_MS the answer time-out tick, KARVEX_TRACE a file the line's
 * traffic is appended to, HOME the home of the fallback data directory (see karvex/settings.h).
 *
 *     karvex_fiscal* f = karvex_create();
 *     if (!f) return 1;
 *     if (karvex_LoadFiscalForm(f) == 0 && karvex_FiscalOnline(f) == 0) {
 *         karvex_string* inv = karvex_string_create("");
 *         if (karvex_FiscalGetInvNum(f, inv) == 0) printf("current invoice %s\n", karvex_string_get(inv));
 *         karvex_string_free(inv);
 *     }
 *     karvex_string* d = karvex_string_create("");
 *     karvex_Description(f, d);
 *     printf("%d %s\n", karvex_Status(f), karvex_string_get(d));
 *     karvex_string_free(d);
 *     karvex_UnloadFicalForm(f, 0);
 *     karvex_destroy(f);
 */
#include <stddef.h>
#include <stdint.h>

#include "karvex/command_numbers.h"
#include "karvex/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ----- statuses of the interface itself (never produced by the processor or the link) ----- */

/* A host argument does not fit the byte or 16-bit field it travels in (300 goods items, a 分户 number of
   70000, a goods quantity above 655.35). */
#define KARVEX_ERR_ARGUMENT_OVERFLOW (-1)
/* The handle, or a pointer argument, is NULL. */
#define KARVEX_ERR_NULL_ARGUMENT (-2)
/* An input text (or the content of a karvex_string passed in) is not valid UTF-8. */
#define KARVEX_ERR_INVALID_TEXT (-3)
/* Memory ran out. */
#define KARVEX_ERR_OUT_OF_MEMORY (-4)
/* Any other failure inside the library; karvex_last_error has its text. */
#define KARVEX_ERR_INTERNAL (-5)
/* Called from a thread other than the one the Qt application runs on. */
#define KARVEX_ERR_WRONG_THREAD (-6)
/* Called while another call on the same control is still waiting for the processor. */
#define KARVEX_ERR_BUSY (-7)

typedef struct karvex_fiscal karvex_fiscal;
typedef struct karvex_string karvex_string;

/* ----- library ----- */

/* The library version, "major.minor.patch". Never NULL.
       printf("karvex %s\n", karvex_version()); */
KARVEX_API const char* karvex_version(void);

/* ----- string handles: UTF-8 texts the control reads and writes ----- */

/* A new string holding a copy of `text` (NULL gives an empty string). Returns NULL only when memory ran out.
       karvex_string* num = karvex_string_create("123"); */
KARVEX_API karvex_string* karvex_string_create(const char* text);

/* The string's text, NUL-terminated; valid until the string is next written (by karvex_string_set or by a
   call that writes it) or freed. "" for a NULL handle.
       puts(karvex_string_get(num)); */
KARVEX_API const char* karvex_string_get(const karvex_string* s);

/* Length of the text in bytes, without the terminating NUL; 0 for a NULL handle. */
KARVEX_API size_t karvex_string_size(const karvex_string* s);

/* Replaces the text with a copy of `text` (NULL empties it). 0, KARVEX_ERR_NULL_ARGUMENT for a NULL handle,
   KARVEX_ERR_OUT_OF_MEMORY.
       karvex_string_set(num, ""); */
KARVEX_API int32_t karvex_string_set(karvex_string* s, const char* text);

/* Frees the string; NULL is ignored. */
KARVEX_API void karvex_string_free(karvex_string* s);

/* ----- the control ----- */

/* Creates a control (and the Qt application when the process has none). Returns NULL when it cannot: called
   on a thread other than the Qt application's, or memory ran out.
       karvex_fiscal* f = karvex_create(); */
KARVEX_API karvex_fiscal* karvex_create(void);

/* Destroys the control; NULL is ignored. Call karvex_UnloadFicalForm first to compact the store.
       karvex_destroy(f); */
KARVEX_API void karvex_destroy(karvex_fiscal* f);

/* Why the last call on `f` returned a negative status; "" after a call that did not. Valid until the next
   call on `f`. For a NULL `f` a fixed text naming that fault.
       if (karvex_FiscalOnline(f) < 0) fprintf(stderr, "%s\n", karvex_last_error(f)); */
KARVEX_API const char* karvex_last_error(const karvex_fiscal* f);

/* Callbacks through which the control talks to a person (the only box a host call raises on its own is the
   port-number prompt of karvex_LoadFiscalForm). Texts are UTF-8; `user_data` is passed back unchanged.
   A NULL callback keeps that kind silent: no message, "no" to questions, Cancel to input boxes; all three
   NULL (the default) make the control silent.
     show_message: a message box with an OK button.
     ask_yes_no:   a yes/no question; return non-zero for yes.
     ask_text:     an input box; `reply` holds `initial` on entry; set it with karvex_string_set and return
                   non-zero, or return 0 for Cancel.
   Returns 0, or KARVEX_ERR_NULL_ARGUMENT for a NULL `f`.
       static int port_answer(void* u, const char* t, const char* p, const char* i, karvex_string* reply) {
           return karvex_string_set(reply, "1") == 0;
       }
       karvex_set_user_interface(f, NULL, NULL, port_answer, NULL); */
typedef void (*karvex_show_message_fn)(void* user_data, const char* title, const char* text);
typedef int (*karvex_ask_yes_no_fn)(void* user_data, const char* title, const char* text);
typedef int (*karvex_ask_text_fn)(void* user_data, const char* title, const char* prompt, const char* initial,
                                  karvex_string* reply);
KARVEX_API int32_t karvex_set_user_interface(karvex_fiscal* f, karvex_show_message_fn show_message,
                                             karvex_ask_yes_no_fn ask_yes_no, karvex_ask_text_fn ask_text,
                                             void* user_data);

/* Progress of a multi-packet answer (an upload of print data, day trade, rolls …), called on the control's
   thread for every frame and once with done = 1 when the answer is stored (or the command ends otherwise).
   `label` is the data kind in UTF-8 ("发票打印数据", …), valid during the call; `total` is the frames received
   plus those the processor announces (it counts at most 255 ahead, so a longer answer's total grows);
   `seconds_left` is -1 until a rate is known. A NULL callback stops the calls.
       static void on_progress(void* u, const char* label, int received, int total, double fps, int left, int done) {
           if (!done) printf("%s %d/%d %.1f/s %d s\n", label, received, total, fps, left);
       }
       karvex_set_progress_callback(f, on_progress, NULL); */
typedef void (*karvex_progress_fn)(void* user, const char* label, int received, int total, double frames_per_second,
                                   int seconds_left, int done);
KARVEX_API void karvex_set_progress_callback(karvex_fiscal* f, karvex_progress_fn callback, void* user);

/* Line recovery (off by default): with `on` 1, a serial line whose device went away, or that LoadFiscalForm
   could not open, is opened again by itself once the device is back. `restored` (may be NULL) is called on
   the control's thread after each reopen, while the control handles events (during a waiting call, or in
   the application's event loop): it may not call the control itself (that gets KARVEX_ERR_BUSY); note it and
   call karvex_FiscalOnline next. */
typedef void (*karvex_line_restored_fn)(void* user);
KARVEX_API void karvex_set_line_recovery(karvex_fiscal* f, int32_t on, karvex_line_restored_fn restored, void* user);

/* Shows the operator console, modal when showModal is 1, and hides the host window inHandle (0 = none).
   Result code.
       karvex_ShowFiscalForm(f, 0, 0); */
KARVEX_API int32_t karvex_ShowFiscalForm(karvex_fiscal* f, int32_t showModal, int32_t inHandle);

/* Opens the store and the serial port stored there. When none is stored yet (a new data directory) or it
   cannot be opened, the user interface is asked for the port number (ask_text, title "打开串口"), which is
   then opened at 9600 baud for this session only (the console's serial settings store a port). 0 when the
   link is ready. When it is not, the code says what to put right:
     132   no port was chosen: the prompt was cancelled (as it is without an ask_text callback) or answered
           with a number other than 1 to 5; 105 when the answer was not digits;
     8002  the chosen port's device does not exist ("0x1F42：串口设备不存在");
     8005  another program holds the port, or this one may not open it;
     8015  the port refused to open for another reason;
     91 or another store code: the store could not be opened (the link is then not started).
       if (karvex_LoadFiscalForm(f) != 0) ... */
KARVEX_API int32_t karvex_LoadFiscalForm(karvex_fiscal* f);

/* Closes the link, the command log and the store (compacting it). inHandle is not used. 0 on success.
       karvex_UnloadFicalForm(f, 0); */
KARVEX_API int32_t karvex_UnloadFicalForm(karvex_fiscal* f, int32_t inHandle);

/* Brings the processor on line. 0 on success, 132 without an open port, 128 when it does not answer.
       int32_t r = karvex_FiscalOnline(f); */
KARVEX_API int32_t karvex_FiscalOnline(karvex_fiscal* f);

/* Reads the current invoice number (10 digits) into invNum; invNum keeps its text on failure.
       karvex_string* n = karvex_string_create("");
       if (karvex_FiscalGetInvNum(f, n) == 0) puts(karvex_string_get(n)); */
KARVEX_API int32_t karvex_FiscalGetInvNum(karvex_fiscal* f, karvex_string* invNum);

/* Issues (commandNum 52) or returns (53) an invoice. The goods texts hold salesNum fixed-width slices:
   salesName 20 GBK bytes per item, salesAmount / salesPrice / salesSum 11 characters per item, taxIndex one
   digit per item; oInvNum is the returned invoice's number (53 only), payUnit the payer (40 GBK bytes).
   0 when the processor accepted the invoice (then read its reply with karvex_FiscalReturnInvInfo), a
   validation code, a processor or link code; KARVEX_ERR_ARGUMENT_OVERFLOW when commandNum or salesNum is
   outside 0 to 255 or fhNumber outside 0 to 65535. Nothing is sent for a validation code:
     32           commandNum other than 52 or 53;
     105, 103, 144, 148  (53 only) oInvNum not digits only ("9.5" too), over 10 digits, empty, above
                  4294967295;
     98           a payUnit character that has no GBK form;
     98 to 101    a payUnit or goods name the processor could not hand back in the invoice's print data: a
                  control character (98), "€" or a GBK character led by 0x81-0x9F (99), a GBK character
                  whose second byte is below 0xA0 such as 镕 (100);
     99           a goods name character that has no GBK form;
     100          a 20-byte name slice that starts or ends inside a Chinese character;
     107, 105, 144  goods numbers or tax indexes that are not numbers, or empty;
     164, 165, 166  quantity, price, amount below 0.01 once rounded to hundredths; 167 tax index 0; 168
                  salesNum not 1 to 6.
       karvex_FiscalMakeInv(f, 52, 1, 0, "", "某某公司", 1, "大米                ", "        2.5",
                            "          4", "         10", "1"); */
KARVEX_API int32_t karvex_FiscalMakeInv(karvex_fiscal* f, int32_t commandNum, int32_t fhNumber, int32_t invMode,
                                        const char* oInvNum, const char* payUnit, int32_t salesNum,
                                        const char* salesName, const char* salesAmount, const char* salesPrice,
                                        const char* salesSum, const char* taxIndex);

/* karvex_FiscalMakeInv with the host's own sale number saleId (NULL or "": none), kept in the store's sales
   journal with the request before it is sent. A lost answer (128, 129, 130, 133, 137, a killed program) is
   settled by asking the processor for its last invoice and comparing it with the request: 0 when it was
   issued (the reply values are read back from its print data: karvex_FiscalReturnInvInfo then gives the
   day only, yyyymmdd, as dateTime), the request's own failure code when it was not. Further codes:
     0    a sale id whose invoice was issued before: nothing is sent, the recorded reply values are given back;
     138  saleId was used before for a sale with other content; nothing is sent;
     143  the outcome of this sale or of an earlier one is not known yet: the processor could not be asked.
          Nothing is sent for it, nor for a new invoice, until a later call (or karvex_LoadFiscalForm) has
          asked the processor. Calling again with the same saleId is always safe.
       karvex_FiscalMakeInvSale(f, "POS1-000123", 52, 1, 0, "", "某某公司", 1, "大米                ",
                                "        2.5", "          4", "         10", "1"); */
KARVEX_API int32_t karvex_FiscalMakeInvSale(karvex_fiscal* f, const char* sale_id, int32_t commandNum, int32_t fhNumber,
                                            int32_t invMode, const char* oInvNum, const char* payUnit, int32_t salesNum,
                                            const char* salesName, const char* salesAmount, const char* salesPrice,
                                            const char* salesSum, const char* taxIndex);

/* One goods line of karvex_FiscalMakeInvGoods: quantities in hundredths and money in fen, as integers, so a
   value reaches the processor exactly as the host holds it (2.5 kg is 250, 12.34 yuan is 1234). */
typedef struct karvex_goods {
    const char* name;  /* UTF-8, at most 20 GBK bytes, not empty */
    int64_t quantity;  /* hundredths: 1 to 65535 */
    int64_t price;     /* unit price in fen, at least 1 (kept with the request; the processor is not told) */
    int64_t amount;    /* fen: 1 to 4294967295 */
    int32_t tax_index; /* 1 to 9 */
} karvex_goods;

/* karvex_FiscalMakeInvSale with the goods as goods_count lines instead of fixed-width texts; the same frame
   goes out for the same sale, through the same sales journal, with the same outcomes (0, 138, 143, the
   request's own code). commandNum is 52 (issue) or 53 (return, oInvNum the returned number; ignored for 52);
   sale_id NULL or "" is none. Nothing is sent for:
     32           commandNum other than 52 or 53;
     168          goods_count not 1 to 6 (goods is then not read);
     102          fhNumber outside 0 to 65535;
     144, 105, 103, 148  (53 only) oInvNum empty, not digits only, over 10 digits, above 4294967295;
     98 to 101, 103  a payUnit without a GBK form (98), unreadable in print data (98 to 101), over 40 GBK bytes;
     then per line: 164 / 102 quantity below 1 / above 65535; 165 price below 1; 166 / 110 amount below 1 /
                  above 4294967295; 167 tax_index 0, 224 tax_index outside 1 to 9; 104 empty name, 99 a
                  name character without a GBK form, 103 a name over 20 GBK bytes, 98 to 100 a name
                  unreadable in print data.
   KARVEX_ERR_NULL_ARGUMENT for a NULL oInvNum, payUnit, goods or name; KARVEX_ERR_INVALID_TEXT for a text
   that is not UTF-8.
       karvex_goods rice = {"大米", 250, 400, 1000, 1};
       karvex_FiscalMakeInvGoods(f, "POS1-000124", 52, 1, 0, "", "某某公司", &rice, 1); */
KARVEX_API int32_t karvex_FiscalMakeInvGoods(karvex_fiscal* f, const char* sale_id, int32_t commandNum,
                                             int32_t fhNumber, int32_t invMode, const char* oInvNum,
                                             const char* payUnit, const karvex_goods* goods, int32_t goods_count);

/* What the sales journal knows of the sale sale_id (NULL or "": the last sale): state is "sent", "answered",
   "in-doubt", "issued" or "not-issued" ("answered" and "issued" both mean the invoice exists); inv_num,
   tax_code and date_time are empty until known. 0, or 139 when no sale has this sale id. Nothing is sent.
       karvex_FiscalGetSale(f, "POS1-000123", state, invNum, taxCode, dateTime); */
KARVEX_API int32_t karvex_FiscalGetSale(karvex_fiscal* f, const char* sale_id, karvex_string* state,
                                        karvex_string* inv_num, karvex_string* tax_code, karvex_string* date_time);

/* The processor's reply to the last issued or returned invoice (empty texts before any).
       karvex_FiscalReturnInvInfo(f, machine, user, taxNumber, taxCode, dateTime); */
KARVEX_API int32_t karvex_FiscalReturnInvInfo(karvex_fiscal* f, karvex_string* machineNum, karvex_string* userName,
                                              karvex_string* taxNumber, karvex_string* taxCode,
                                              karvex_string* dateTime);

/* Voids invoice invNum (digits, at most 10). Result code: 144 empty, 105 not digits, 103 too long, 148 above
   4294967295 (this one leaves Status as it was). invNum is rewritten in its 10-digit form ("0000000123"), or
   emptied when it is not a number.
       karvex_string* num = karvex_string_create("123");
       karvex_FiscalInvalidateInv(f, num); */
KARVEX_API int32_t karvex_FiscalInvalidateInv(karvex_fiscal* f, karvex_string* invNum);

/* Reads an invoice's print data: commandNum 177 for the last invoice, 66 for invoice invNum (32 for any other).
   On 0 the outputs are written; the four goods outputs get six fixed-width slices appended to the text they
   hold: 20 bytes of the name's GBK form, 11 characters per number (pass empty strings to get exactly six
   slices: salesName 120 GBK bytes, the other three 66 characters). invType is written on 0 only.
       int32_t type = 0;
       karvex_GetPrintInv(f, 177, inv, oinv, machine, saleUnit, payUnit, taxNumber, taxCode, date,
                          names, amounts, prices, sums, &type); */
KARVEX_API int32_t karvex_GetPrintInv(karvex_fiscal* f, int32_t commandNum, karvex_string* invNum,
                                      karvex_string* oInvNum, karvex_string* machineNumber, karvex_string* saleUnit,
                                      karvex_string* payUnit, karvex_string* taxNumber, karvex_string* taxCode,
                                      karvex_string* printDate, karvex_string* salesName, karvex_string* salesAmount,
                                      karvex_string* salesPrice, karvex_string* salesSum, int32_t* invType);

/* Reads the usage summary of the roll that holds invoice invNum. Outputs are written on 0 only.
       karvex_GetInvUseSum(f, "123", begin, end, first, last, &voided, &normal, &normalSum, &returned,
                           &returnSum, invCode, taxNumber, userName, machine); */
KARVEX_API int32_t karvex_GetInvUseSum(karvex_fiscal* f, const char* invNum, karvex_string* beginDate,
                                       karvex_string* endDate, karvex_string* beginInvNum, karvex_string* endInvNum,
                                       int32_t* invalidateInv, int32_t* normalInv, double* normalSum,
                                       int32_t* returnInv, double* returnSum, karvex_string* invCode,
                                       karvex_string* taxNumber, karvex_string* userName, karvex_string* machineNumber);

/* Reads the rolls the processor holds and shows the console's roll-installation panel. 0 once it is shown.
       karvex_FiscalInstallInv(f, 1, 0); */
KARVEX_API int32_t karvex_FiscalInstallInv(karvex_fiscal* f, int32_t showModal, int32_t inHandle);

/* The result code of the command under way (4128) or last finished; KARVEX_ERR_NULL_ARGUMENT for NULL `f`.
       if (karvex_Status(f) == 128) ... */
KARVEX_API int32_t karvex_Status(const karvex_fiscal* f);

/* Writes the message of karvex_Status into out: "0x" + hexadecimal code + "：" + message, e.g. "0x0：执行成功".
   0, or KARVEX_ERR_NULL_ARGUMENT.
       karvex_Description(f, text); */
KARVEX_API int32_t karvex_Description(const karvex_fiscal* f, karvex_string* out);

#ifdef __cplusplus
}
#endif

#endif /* KARVEX_KARVEX_H */
