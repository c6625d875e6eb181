#pragma once
// Karvex: the Fiscal control, which drives a tax-control processor (税控器) over one serial port.
//
// A host program creates one Fiscal on one of its windows, calls LoadFiscalForm once (it returns 0 when the
// store is open and the serial link is ready), then any of the command methods, and UnloadFicalForm once at
// the end. Every method returns a result code: 0 for success, 1 to 64 for the processor's own refusals,
// anything else for the library's own failures; Description gives the message of the last code.
//
// What the control is configured with (devices, data directory, store key, tick, trace file, clock) is one
// Settings value (karvex/settings.h): the default constructor reads it from the environment, once, there;
// the other constructor takes it as given and never looks at the environment.
//
// Every call runs on the thread of the host's Qt application and returns only when its command has finished
// (or timed out after about 31 seconds without an answer); while it waits, the host's window events keep
// being processed. Calls must not overlap.
//
//     karvex::Fiscal fiscal(mainWindow);
//     if (fiscal.LoadFiscalForm() != 0) qWarning() << fiscal.Description();
//     QString number;
//     if (fiscal.FiscalGetInvNum(number) == 0) qInfo() << "current invoice" << number;
//     fiscal.UnloadFicalForm(0);
#include <cstdint>
#include <functional>
#include <memory>

#include <QString>
#include <QWidget>

#include "karvex/command_numbers.h"
#include "karvex/errors.h"
#include "karvex/export.h"
#include "karvex/sale.h"
#include "karvex/settings.h"

namespace karvex {

class UserInterface;
class ControlModule;

// How far a multi-packet answer (an upload of print data, day trade, rolls …) has come. `label` is the data
// kind ("发票打印数据", …); `total` is the frames received plus those the processor announces still to come
// (the processor counts at most 255 ahead, so for longer answers the total grows until fewer remain);
// `framesPerSecond` is measured since the first frame; `secondsLeft` is -1 until a rate is known.
struct Progress {
    QString label;
    int received = 0;
    int total = 0;
    double framesPerSecond = 0;
    int secondsLeft = -1;
    bool done = false;
};

class KARVEX_API Fiscal : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int Status READ Status)
    Q_PROPERTY(QString Description READ Description)

public:
    // Reads its settings from the environment (Settings::FromEnvironment) now; later changes to the
    // environment are not seen.
    explicit Fiscal(QWidget* parent = nullptr);
    // Uses `settings` and nothing from the environment.
    explicit Fiscal(Settings settings, QWidget* parent = nullptr);
    ~Fiscal() override;

    // Replaces the settings; meant for before LoadFiscalForm (or between UnloadFicalForm and the next
    // LoadFiscalForm). Port devices and the trace file count from the next port opening, the store key from
    // the next load; the data directory and the command log move only while the store is closed.
    void SetSettings(Settings settings);
    const Settings& CurrentSettings() const;

    // Shows the operator console, modal when showModal is 1; hides the host window inHandle (0 = none).
    std::int32_t ShowFiscalForm(std::int32_t showModal, std::int32_t inHandle);
    // Opens the store and the serial link, then asks the processor about any sale of the journal whose
    // outcome is not known (a program that ended while it waited for an answer); a sale it cannot ask about
    // stays in doubt and does not change the result. Asks for the port number through the user interface when the
    // stored port cannot be opened. 0 when the link is ready; 132 when no port was chosen (prompt cancelled,
    // or a number other than 1 to 5), 105 for an answer that is not digits; 8002 when the port's device does
    // not exist, 8005 when it is held by another program or may not be opened, 8015 for another refusal;
    // the store's code (91, ...) when the store cannot be opened. A store with rows whose journal does not
    // know the processor's newest invoice (restored from a copy, or replaced) records it as made elsewhere:
    // the call still returns 0, and Status() is 184.
    std::int32_t LoadFiscalForm();
    // Closes the link, the log and the store (compacting it). inHandle is not used.
    std::int32_t UnloadFicalForm(std::int32_t inHandle);
    // Brings the processor on line.
    std::int32_t FiscalOnline();
    // Reads the current invoice number (10 digits) into invNum; invNum is unchanged on failure.
    std::int32_t FiscalGetInvNum(QString& invNum);
    // Issues (commandNum 52) or returns (53) an invoice. Goods fields hold salesNum fixed-width slices.
    // Throws ArgumentOverflow when commandNum or salesNum does not fit a byte or fhNumber 16 bits. Texts that
    // would reach the processor changed, or that it could not hand back in the print data, and numbers that
    // would go out as another value are refused before sending (codes as in karvex.h).
    std::int32_t FiscalMakeInv(std::int32_t commandNum, std::int32_t fhNumber, std::int32_t invMode,
                               const QString& oInvNum, const QString& payUnit, std::int32_t salesNum,
                               const QString& salesName, const QString& salesAmount, const QString& salesPrice,
                               const QString& salesSum, const QString& taxIndex);
    // Issues or returns like the form without a sale id; saleId is the host's own sale number (empty: none).
    // Every request is written to the store's sales journal with the processor's counter (its current invoice
    // number, read first unless the exchange just before gave it), committed before it is sent; an answer that
    // is lost (128, 129, 130, 133, 137, a killed program), or a refusal after an unclean exchange, is never
    // taken as a failure without asking the processor: the counter still there means not issued, moved on
    // means the invoice at that number is compared with the request. So the call returns
    //   0    the invoice was issued: answered, or found among the processor's invoices after the answer was
    //        lost (FiscalReturnInvInfo then gives the values read back), or issued earlier for this sale id
    //        (nothing is sent again; the values recorded then are given back);
    //   the request's own failure code when the processor did not issue it;
    //   143  the outcome of this sale, or of an earlier one, is not known yet because the processor could not
    //        be asked; nothing that changes the processor (issue, return, void, roll installation, ...) is
    //        sent until a later call (or LoadFiscalForm) has asked the processor;
    //   138  saleId was used before for a sale with other content (nothing is sent);
    //   and the validation codes of the form without a sale id. A sale id whose request was not issued may
    //   be sent again.
    std::int32_t FiscalMakeInv(const QString& saleId, std::int32_t commandNum, std::int32_t fhNumber,
                               std::int32_t invMode, const QString& oInvNum, const QString& payUnit,
                               std::int32_t salesNum, const QString& salesName, const QString& salesAmount,
                               const QString& salesPrice, const QString& salesSum, const QString& taxIndex);
    // Issues or returns `sale` (karvex/sale.h) with the host's sale number saleId (empty: none), through the
    // sales journal exactly as the form above: the same outcomes (0, the request's own failure, 143, 138).
    // Nothing is thrown and nothing is sent for a sale its check refuses: 168 goods not 1 to 6 lines, 102
    // fhNumber outside 0-65535; a return's number 144 empty, 105 not digits, 103 over 10 digits, 148 above
    // 4294967295; a payer 98 without a GBK form, 98-101 unreadable in print data, 103 over 40 GBK bytes;
    // per line 164 / 102 quantity below 1 / above 65535 hundredths, 165 price below 1 fen, 166 / 110 amount
    // below 1 / above 4294967295 fen, 167 / 224 tax index 0 / outside 1-9, 104 empty name, 99 a name
    // character without a GBK form, 103 a name over 20 GBK bytes, 98-100 a name unreadable in print data.
    // The fixed-width form above reads its texts into the same Sale and sends the same frame.
    std::int32_t FiscalMakeInv(const QString& saleId, const Sale& sale);
    // What the journal knows of a sale (empty saleId: the last sale): state is one of the keywords
    // "sent", "answered", "in-doubt", "issued", "not-issued"; the others are empty until known (an answered or
    // issued sale has its invoice number). 0, or 139 when
    // no sale has this sale id (or the journal is empty), or the store's code. Nothing is sent.
    std::int32_t FiscalGetSale(const QString& saleId, QString& state, QString& invNum, QString& taxCode,
                               QString& dateTime);
    // Asks the processor what became of every sale whose outcome is not known (as LoadFiscalForm does, without
    // reopening anything): 0 when none is left, 143 while one stays in doubt, or the store's code.
    std::int32_t FiscalResolveSales();
    // The processor's reply to the last issued or returned invoice. After an issue whose answer was lost and
    // which the processor's print data showed to be issued, the values are read back from that print data
    // and its chain: MachineNum, UserName (the taxpayer's name), TaxNumber and TaxCode are as an answer
    // gives them, but DateTime holds only the day (yyyymmdd, 8 digits): print data does not keep the time
    // of day. The invoice number, which no answer carries, is in FiscalGetSale.
    std::int32_t FiscalReturnInvInfo(QString& machineNum, QString& userName, QString& taxNumber, QString& taxCode,
                                     QString& dateTime);
    // Voids an invoice. invNum is rewritten in its 10-digit form ("" when it is not a number). 143 while a sale
    // is in doubt (nothing is sent). The void is a row of the sales journal.
    std::int32_t FiscalInvalidateInv(QString& invNum);
    // Reads an invoice's print data: commandNum 177 for the last invoice, 66 for invoice invNum.
    std::int32_t GetPrintInv(std::int32_t commandNum, QString& invNum, QString& oInvNum, QString& machineNumber,
                             QString& saleUnit, QString& payUnit, QString& taxNumber, QString& taxCode,
                             QString& printDate, QString& salesName, QString& salesAmount, QString& salesPrice,
                             QString& salesSum, std::int32_t& invType);
    // Reads the usage summary of the roll that holds invoice invNum.
    std::int32_t GetInvUseSum(const QString& invNum, QString& beginDate, QString& endDate, QString& beginInvNum,
                              QString& endInvNum, std::int32_t& invalidateInv, std::int32_t& normalInv,
                              double& normalSum, std::int32_t& returnInv, double& returnSum, QString& invCode,
                              QString& taxNumber, QString& userName, QString& machineNumber);
    // Shows the roll-installation panel of the console.
    std::int32_t FiscalInstallInv(std::int32_t showModal, std::int32_t inHandle);

    // The result code of the command under way or last finished (4128 while a command is under way).
    int Status() const;
    // "0x" + the code in hexadecimal + "：" + its message.
    QString Description() const;

    // Replaces the dialogue door (message, question and input boxes). Hosts without a person at the screen,
    // and tests, answer the prompts themselves through it.
    void SetUserInterface(std::shared_ptr<UserInterface> ui);

    // Called on the control's thread for every frame of a multi-packet answer, and once with `done` set when
    // the answer is stored (or the command ends otherwise: a time-out, a lost port, a refused frame). An empty
    // function stops the calls.
    void SetProgressCallback(std::function<void(const karvex::Progress&)> callback);

    // Line recovery, off by default. While on, a serial line whose device went away (a pulled USB adapter) or
    // could not be opened by LoadFiscalForm is opened again by itself once its device is back: the device is
    // looked for every half second, and an open that fails waits longer each time (up to 8 s). `restored`
    // runs on the control's thread after each reopen; bring the processor on line there (FiscalOnline).
    // Meanwhile calls that need the line return 132 or 133, and Description names the device.
    void SetLineRecovery(bool on, std::function<void()> restored = {});

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // The module behind the control (paths, link, log, store) is the library's own; its console, tests and
    // internal programs reach it through this function (src/control).
    friend ControlModule& ModuleOf(Fiscal& fiscal);
    std::unique_ptr<ControlModule> module_;
};

}  // namespace karvex
