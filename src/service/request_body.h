#pragma once
// Reading a request's JSON body field by field. Every refusal names the field at fault ("goods[2].price")
// and says in Chinese what is wrong with it; nothing of a refused body reaches the control.
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace karvex::service {

struct Invalid {
    QString field;   // empty: the body as a whole
    QString detail;  // Chinese
};
using Check = std::optional<Invalid>;

// The body as one JSON object: well-formed UTF-8 JSON, nested no deeper than the parser allows, with no
// number beyond a double and no key given twice in one object (refused naming the key's field).
Check ParseObject(const QByteArray& body, QJsonObject& out);

// Every key of `object` is one of `allowed`; `prefix` goes before the key in the field name ("goods[0].").
Check OnlyKnownFields(const QJsonObject& object, const QStringList& allowed, const QString& prefix = {});

// A text of at most `maxChars` characters and no control character; absent leaves `out` unless required.
Check TakeText(const QJsonObject& o, const QString& key, const QString& prefix, bool required, int maxChars,
               QString& out);
// An integer within [min, max] (a JSON number without a fraction).
Check TakeInteger(const QJsonObject& o, const QString& key, const QString& prefix, bool required, std::int64_t min,
                  std::int64_t max, std::int64_t& out);
// A decimal amount given as a JSON number or a text of digits with at most one point, at most `maxChars`
// characters as it is sent; `out` is its text.
Check TakeDecimal(const QJsonObject& o, const QString& key, const QString& prefix, bool required, int maxChars,
                  QString& out);

// An unsigned decimal text of 1..maxDigits digits (an invoice number in a path).
bool IsDigits(const QString& text, int maxDigits);

// A sale id: 1 to 64 letters, digits and - _ . : (it is looked up again in a path).
Check CheckSaleId(const QString& id);

struct SaleItem {
    QString name, quantity, price, amount;  // decimal texts as sent
    std::int64_t taxIndex = 0;
};

// The body of POST /v1/sales, every field checked (texts in GBK bytes where the processor holds them so).
// The invoice call's fixed widths: a goods name in GBK bytes, a number's text in characters, an invoice
// number's digits. The sale body is checked against them and the routes pack and unpack with them.
inline constexpr int kGoodsNameBytes = 20;
inline constexpr int kNumberChars = 11;
inline constexpr int kInvoiceDigits = 10;

struct SaleBody {
    QString kind;  // "issue" or "return"
    QString saleId, returned, payer;
    std::int64_t fhNumber = 0, invMode = 0;
    std::vector<SaleItem> items;  // 1 to 6
};
Check ParseSaleBody(const QByteArray& body, SaleBody& out);

}  // namespace karvex::service
