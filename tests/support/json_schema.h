#pragma once
// The part of JSON Schema (as OpenAPI 3.0 writes it) that the service's API document uses, enough to hold
// every answer against it. Answers are held strictly: an object whose schema lists `properties` and says
// nothing of `additionalProperties` may carry no other field, so a field the service adds without the
// document fails. A keyword outside this subset fails too, rather than being passed over unchecked.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cmath>
#include <optional>

namespace karvex::testing {

class JsonSchema {
public:
    explicit JsonSchema(QJsonObject document) : document_(std::move(document)) {}

    // "" when `value` fits `schema`; otherwise where it does not and why, e.g. "$.goods[0].name: not a string".
    QString Mismatch(const QJsonValue& value, const QJsonObject& schema, const QString& at = "$") const {
        static const QStringList known = {
            "$ref",     "type",     "nullable",    "enum",    "required", "properties", "additionalProperties",
            "items",    "oneOf",    "pattern",     "minimum", "maximum",  "minLength",  "maxLength",
            "minItems", "maxItems", "description", "default", "example",  "format"};
        for (auto it = schema.begin(); it != schema.end(); ++it)
            if (!known.contains(it.key())) return at + ": keyword " + it.key() + " is not checked";
        if (schema.contains("$ref")) {
            const auto target = Resolve(schema["$ref"].toString());
            if (!target) return at + ": dangling " + schema["$ref"].toString();
            return Mismatch(value, *target, at);
        }
        if (value.isNull()) return schema["nullable"].toBool() ? QString() : at + ": null";
        if (schema.contains("oneOf")) {
            int fits = 0;
            for (const QJsonValue& one : schema["oneOf"].toArray())
                if (Mismatch(value, one.toObject(), at).isEmpty()) ++fits;
            if (fits != 1) return at + QStringLiteral(": fits %1 of oneOf").arg(fits);
        }
        if (schema.contains("enum") && !schema["enum"].toArray().contains(value))
            return at + ": " + Text(value) + " not in the enum";
        const QString type = schema["type"].toString();
        if (!type.isEmpty() && !OfType(value, type)) return at + ": " + Text(value) + " is not " + type;
        if (value.isString()) {
            const QString s = value.toString();
            if (schema.contains("minLength") && s.size() < schema["minLength"].toInt()) return at + ": too short";
            if (schema.contains("maxLength") && s.size() > schema["maxLength"].toInt()) return at + ": too long";
            if (schema.contains("pattern") && !QRegularExpression(schema["pattern"].toString()).match(s).hasMatch())
                return at + ": " + s + " does not match " + schema["pattern"].toString();
        }
        if (value.isDouble()) {
            if (schema.contains("minimum") && value.toDouble() < schema["minimum"].toDouble())
                return at + ": below the minimum";
            if (schema.contains("maximum") && value.toDouble() > schema["maximum"].toDouble())
                return at + ": above the maximum";
        }
        if (value.isArray()) {
            const QJsonArray a = value.toArray();
            if (schema.contains("minItems") && a.size() < schema["minItems"].toInt()) return at + ": too few items";
            if (schema.contains("maxItems") && a.size() > schema["maxItems"].toInt()) return at + ": too many items";
            for (int i = 0; i < a.size(); ++i)
                if (QString m = Mismatch(a[i], schema["items"].toObject(), at + QStringLiteral("[%1]").arg(i));
                    !m.isEmpty())
                    return m;
        }
        if (value.isObject()) {
            const QJsonObject o = value.toObject();
            for (const QJsonValue& name : schema["required"].toArray())
                if (!o.contains(name.toString())) return at + ": " + name.toString() + " missing";
            const QJsonObject properties = schema["properties"].toObject();
            const QJsonValue extra = schema["additionalProperties"];
            for (auto it = o.begin(); it != o.end(); ++it) {
                const QString here = at + "." + it.key();
                if (properties.contains(it.key())) {
                    if (QString m = Mismatch(it.value(), properties[it.key()].toObject(), here); !m.isEmpty()) return m;
                } else if (extra.isObject()) {
                    if (QString m = Mismatch(it.value(), extra.toObject(), here); !m.isEmpty()) return m;
                } else if (extra == QJsonValue(false) || (extra.isUndefined() && schema.contains("properties"))) {
                    return here + ": not in the document";
                }
            }
        }
        return {};
    }

    // "#/components/schemas/Sale" and the like.
    std::optional<QJsonObject> Resolve(const QString& ref) const {
        if (!ref.startsWith("#/")) return std::nullopt;
        QJsonValue node = document_;
        for (const QString& part : ref.mid(2).split('/')) {
            if (!node.isObject() || !node.toObject().contains(part)) return std::nullopt;
            node = node.toObject()[part];
        }
        return node.toObject();
    }

private:
    static bool OfType(const QJsonValue& v, const QString& type) {
        if (type == "object") return v.isObject();
        if (type == "array") return v.isArray();
        if (type == "string") return v.isString();
        if (type == "boolean") return v.isBool();
        if (type == "number") return v.isDouble();
        if (type == "integer") return v.isDouble() && std::floor(v.toDouble()) == v.toDouble();
        return false;
    }
    static QString Text(const QJsonValue& v) {
        if (v.isString()) return '"' + v.toString() + '"';
        return QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
    }

    QJsonObject document_;
};

}  // namespace karvex::testing
