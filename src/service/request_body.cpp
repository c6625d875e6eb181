#include "service/request_body.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <charconv>
#include <cmath>

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

bool IsDigits(const QString& text, int maxDigits) {
    if (text.isEmpty() || text.size() > maxDigits) return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9') return false;
    return true;
}

}  // namespace karvex::service
