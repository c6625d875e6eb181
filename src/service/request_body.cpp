#include "service/request_body.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <QByteArrayView>
#include <QStringList>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "convert/conversions.h"
#include "convert/decimal_text.h"

namespace karvex::service {

namespace {

Invalid Wrong(const QString& prefix, const QString& key, const QString& detail) { return {prefix + key, detail}; }

bool IsDecimalText(const QString& t) {
    bool point = false;
    int digits = 0;
    for (QChar c : t) {
        if (c == u'.') {
            if (point) return false;
            point = true;
        } else if (c >= u'0' && c <= u'9') {
            ++digits;
        } else {
            return false;
        }
    }
    return digits > 0;
}

// Walks a body the JSON parser has taken and finds the first key given twice in one object. The parser
// keeps the last of them silently, so {"kind":"return","kind":"issue"} would be read as an issue: a body
// that says two things is refused instead. Keys are compared as decoded ("k\u0069nd" is "kind").
class DuplicateKeys {
public:
    explicit DuplicateKeys(const QByteArray& body) : b_(body) {}
    Check Find() {
        Value({});
        return found_;
    }

private:
    char At() const { return i_ < b_.size() ? b_[i_] : '\0'; }
    void Blanks() {
        while (i_ < b_.size() && (b_[i_] == ' ' || b_[i_] == '\t' || b_[i_] == '\n' || b_[i_] == '\r')) ++i_;
    }
    QString Text() {
        QString out;
        ++i_;  // the opening quote
        qsizetype run = i_;
        while (i_ < b_.size() && b_[i_] != '"') {
            if (b_[i_] != '\\') {
                ++i_;
                continue;
            }
            out += QString::fromUtf8(b_.constData() + run, i_ - run);
            const char e = i_ + 1 < b_.size() ? b_[i_ + 1] : '\0';
            i_ += 2;
            switch (e) {
            case 'b': out += u'\b'; break;
            case 'f': out += u'\f'; break;
            case 'n': out += u'\n'; break;
            case 'r': out += u'\r'; break;
            case 't': out += u'\t'; break;
            case 'u':
                out += QChar(static_cast<char16_t>(b_.mid(i_, 4).toUShort(nullptr, 16)));
                i_ += 4;
                break;
            default: out += QLatin1Char(e); break;
            }
            run = i_;
        }
        out += QString::fromUtf8(b_.constData() + run, std::min(i_, b_.size()) - run);
        ++i_;  // the closing quote
        return out;
    }
    void Value(const QString& path) {
        Blanks();
        const char c = At();
        if (c == '{') {
            ++i_;
            QStringList keys;
            for (Blanks(); !found_ && i_ < b_.size() && At() != '}'; Blanks()) {
                if (At() == ',') {
                    ++i_;
                    continue;
                }
                const QString key = Text();
                const QString field = path.isEmpty() ? key : path + u'.' + key;
                if (keys.contains(key)) {
                    found_ = Invalid{field, QStringLiteral("字段重复")};
                    return;
                }
                keys.append(key);
                Blanks();
                ++i_;  // the colon
                Value(field);
            }
            ++i_;
        } else if (c == '[') {
            ++i_;
            int index = 0;
            for (Blanks(); !found_ && i_ < b_.size() && At() != ']'; Blanks()) {
                if (At() == ',') {
                    ++i_;
                    continue;
                }
                Value(path + QStringLiteral("[%1]").arg(index++));
            }
            ++i_;
        } else if (c == '"') {
            Text();
        } else {
            while (i_ < b_.size() && !QByteArrayView(",]} \t\r\n").contains(b_[i_])) ++i_;
        }
    }

    const QByteArray& b_;
    qsizetype i_ = 0;
    Check found_;
};

}  // namespace

Check ParseObject(const QByteArray& body, QJsonObject& out) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        QString why;
        switch (error.error) {
        case QJsonParseError::IllegalUTF8String: why = QStringLiteral("文本不是有效的 UTF-8"); break;
        case QJsonParseError::DeepNesting: why = QStringLiteral("嵌套层次过深"); break;
        case QJsonParseError::IllegalNumber: why = QStringLiteral("数值无效或超出范围"); break;
        default: why = QStringLiteral("不是有效的 JSON（位置 %1）").arg(error.offset); break;
        }
        return Invalid{{}, why};
    }
    if (!doc.isObject()) return Invalid{{}, QStringLiteral("请求内容必须是一个 JSON 对象")};
    if (Check twice = DuplicateKeys(body).Find()) return twice;
    out = doc.object();
    return std::nullopt;
}

Check OnlyKnownFields(const QJsonObject& object, const QStringList& allowed, const QString& prefix) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!allowed.contains(it.key())) return Wrong(prefix, it.key(), QStringLiteral("未知字段"));
    }
    return std::nullopt;
}

Check TakeText(const QJsonObject& o, const QString& key, const QString& prefix, bool required, int maxChars,
               QString& out) {
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull()) {
        if (required) return Wrong(prefix, key, QStringLiteral("缺少此字段"));
        return std::nullopt;
    }
    if (!v.isString()) return Wrong(prefix, key, QStringLiteral("必须是文本"));
    const QString s = v.toString();
    if (s.size() > maxChars) return Wrong(prefix, key, QStringLiteral("超过 %1 个字符").arg(maxChars));
    // A control character (a NUL above all) would reach the processor and its print data.
    for (const QChar c : s)
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F))
            return Wrong(prefix, key, QStringLiteral("不能含控制字符"));
    if (required && s.isEmpty()) return Wrong(prefix, key, QStringLiteral("不能为空"));
    out = s;
    return std::nullopt;
}

Check TakeInteger(const QJsonObject& o, const QString& key, const QString& prefix, bool required, std::int64_t min,
                  std::int64_t max, std::int64_t& out) {
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull()) {
        if (required) return Wrong(prefix, key, QStringLiteral("缺少此字段"));
        return std::nullopt;
    }
    const QString range = QStringLiteral("必须是 %1 到 %2 之间的整数").arg(min).arg(max);
    if (!v.isDouble()) return Wrong(prefix, key, range);
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < static_cast<double>(min) || d > static_cast<double>(max))
        return Wrong(prefix, key, range);
    out = static_cast<std::int64_t>(d);
    return std::nullopt;
}

Check TakeDecimal(const QJsonObject& o, const QString& key, const QString& prefix, bool required, int maxChars,
                  QString& out) {
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull()) {
        if (required) return Wrong(prefix, key, QStringLiteral("缺少此字段"));
        return std::nullopt;
    }
    const QString shape = QStringLiteral("必须是不超过 %1 个字符的非负数").arg(maxChars);
    QString text;
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (!std::isfinite(d) || d < 0) return Wrong(prefix, key, shape);
        // The shortest text that reads back as the same double, never an exponent form.
        char buf[64];
        const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
        if (r.ec != std::errc{}) return Wrong(prefix, key, shape);
        text = QString::fromLatin1(buf, static_cast<qsizetype>(r.ptr - buf));
    } else if (v.isString()) {
        text = v.toString();
    } else {
        return Wrong(prefix, key, shape);
    }
    if (!IsDecimalText(text) || text.size() > maxChars) return Wrong(prefix, key, shape);
    out = text;
    return std::nullopt;
}

Check CheckSaleId(const QString& id) {
    // A character a path cannot carry as it is (a slash, a blank) would make a sale that can never be found.
    bool ok = !id.isEmpty() && id.size() <= 64;
    for (const QChar c : id) {
        const char16_t u = c.unicode();
        ok = ok && ((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'-' ||
                    u == u'_' || u == u'.' || u == u':');
    }
    if (ok) return std::nullopt;
    return Invalid{QStringLiteral("sale_id"), QStringLiteral("只能由 1 到 64 个字母、数字或 - _ . : 组成")};
}

Check ParseSaleBody(const QByteArray& text, SaleBody& out) {
    constexpr int kMaxGoods = 6;
    constexpr int kPayerBytes = 40;
    constexpr std::int64_t kMaxQuantityHundredths = 65535;
    const auto gbkBytes = [](const QString& s) { return GbkByteLength(s.toStdString()); };
    QJsonObject body;
    if (auto bad = ParseObject(text, body)) return bad;
    if (auto bad =
            OnlyKnownFields(body, {"kind", "sale_id", "fh_number", "inv_mode", "returned_invoice", "payer", "goods"}))
        return bad;
    SaleBody sale;
    if (auto bad = TakeText(body, "kind", {}, true, 6, sale.kind)) return bad;
    if (sale.kind != u"issue" && sale.kind != u"return")
        return Invalid{"kind", QStringLiteral("必须是 \"issue\" 或 \"return\"")};
    const bool isReturn = sale.kind == u"return";
    if (auto bad = TakeText(body, "sale_id", {}, true, 64, sale.saleId)) return bad;
    if (auto bad = CheckSaleId(sale.saleId)) return bad;
    if (auto bad = TakeInteger(body, "fh_number", {}, false, 0, 65535, sale.fhNumber)) return bad;
    if (auto bad = TakeInteger(body, "inv_mode", {}, false, 0, 2147483647, sale.invMode)) return bad;
    if (auto bad = TakeText(body, "returned_invoice", {}, isReturn, kInvoiceDigits, sale.returned)) return bad;
    if (!isReturn && body.contains("returned_invoice"))
        return Invalid{"returned_invoice", QStringLiteral("只有退票才有此字段")};
    if (isReturn && !IsDigits(sale.returned, kInvoiceDigits))
        return Invalid{"returned_invoice", QStringLiteral("必须是 1 到 10 位数字")};
    if (auto bad = TakeText(body, "payer", {}, false, kPayerBytes, sale.payer)) return bad;
    if (gbkBytes(sale.payer) > kPayerBytes)
        return Invalid{"payer", QStringLiteral("超过 %1 个 GBK 字节").arg(kPayerBytes)};

    const QJsonValue goodsValue = body.value("goods");
    if (!goodsValue.isArray() || goodsValue.toArray().isEmpty() || goodsValue.toArray().size() > kMaxGoods)
        return Invalid{"goods", QStringLiteral("必须是 1 到 %1 项商品的列表").arg(kMaxGoods)};
    const QJsonArray goods = goodsValue.toArray();
    for (qsizetype i = 0; i < goods.size(); ++i) {
        const QString prefix = QStringLiteral("goods[%1].").arg(i);
        if (!goods[i].isObject()) return Invalid{QStringLiteral("goods[%1]").arg(i), QStringLiteral("必须是对象")};
        const QJsonObject item = goods[i].toObject();
        if (auto bad = OnlyKnownFields(item, {"name", "quantity", "price", "amount", "tax_index"}, prefix)) return bad;
        SaleItem one;
        if (auto bad = TakeText(item, "name", prefix, true, kGoodsNameBytes, one.name)) return bad;
        if (gbkBytes(one.name) > kGoodsNameBytes)
            return Invalid{prefix + "name", QStringLiteral("超过 %1 个 GBK 字节").arg(kGoodsNameBytes)};
        if (auto bad = TakeDecimal(item, "quantity", prefix, true, kNumberChars, one.quantity)) return bad;
        std::int64_t hundredths = 0;
        if (ParseHundredths(one.quantity.toStdString(), hundredths) == 0 && hundredths > kMaxQuantityHundredths)
            return Invalid{prefix + "quantity", QStringLiteral("不能超过 655.35")};
        if (auto bad = TakeDecimal(item, "price", prefix, true, kNumberChars, one.price)) return bad;
        if (auto bad = TakeDecimal(item, "amount", prefix, true, kNumberChars, one.amount)) return bad;
        if (auto bad = TakeInteger(item, "tax_index", prefix, true, 1, 9, one.taxIndex)) return bad;
        sale.items.push_back(std::move(one));
    }
    out = std::move(sale);
    return std::nullopt;
}

bool IsDigits(const QString& text, int maxDigits) {
    if (text.isEmpty() || text.size() > maxDigits) return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9') return false;
    return true;
}

}  // namespace karvex::service
