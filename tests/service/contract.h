#pragma once
// The service's API document held against what the service answers: the status must be one the document
// lists for that path and method, and the body must fit the schema it gives for that status.
#include <QFile>
#include <QUrl>

#include <algorithm>
#include <string>

#include "daemon.h"
#include "support/json_schema.h"

namespace karvex::testing {

class Contract {
public:
    Contract() : schema_(Load()) {}

    const QJsonObject& Document() const { return document_; }

    // "" when `reply` is what the document promises for `method` on `target` (a path with its query).
    std::string Mismatch(const std::string& method, const std::string& target, const Reply& reply) const {
        const QString path = QUrl::fromEncoded(QByteArray::fromStdString(target)).path();
        const QJsonObject operation = Operation(QString::fromStdString(method).toLower(), path);
        QJsonObject response;
        // A browser's preflight, which the HTTP layer answers alike on every path, is no operation of the API.
        if (method == "OPTIONS" && reply.status == 204)
            return reply.body.empty() ? "" : "a preflight answer with a body";
        if (operation.isEmpty()) {
            // The status page's files are served beside the API, not part of it.
            if (method == "GET" && (path == "/" || path.startsWith("/page/")) && reply.status == 200) return "";
            // A path or method the document does not have: it may only be refused, with the usual error body.
            if (reply.status < 400) return "an answer " + std::to_string(reply.status) + " on no documented path";
            response = ErrorResponse();
        } else if (operation["responses"].toObject().contains(QString::number(reply.status))) {
            response = operation["responses"].toObject()[QString::number(reply.status)].toObject();
        } else if (kTransportRefusals.contains(reply.status)) {
            // The HTTP layer's own refusals of a malformed request, the same on every path.
            response = ErrorResponse();
        } else {
            return "status " + std::to_string(reply.status) + " is not documented: " + reply.body;
        }
        if (response.contains("$ref")) response = schema_.Resolve(response["$ref"].toString()).value_or(QJsonObject{});
        const QJsonObject content = response["content"].toObject();
        if (content.contains("text/event-stream")) {
            const auto type = reply.headers.find("content-type");
            return type != reply.headers.end() && type->second.rfind("text/event-stream", 0) == 0
                       ? ""
                       : "not an event stream";
        }
        if (!content.contains("application/json")) return reply.body.empty() ? "" : "a body where none is documented";
        QJsonParseError error{};
        const QJsonDocument body = QJsonDocument::fromJson(QByteArray::fromStdString(reply.body), &error);
        if (error.error != QJsonParseError::NoError) return "not JSON: " + reply.body;
        const QJsonValue value = body.isObject() ? QJsonValue(body.object()) : QJsonValue(body.array());
        const QString m = schema_.Mismatch(value, content["application/json"].toObject()["schema"].toObject());
        return m.isEmpty() ? "" : m.toStdString() + " in " + reply.body;
    }

    // The same for the raw `request` it answered (its request line read as the service reads it; a request
    // without one may only be refused).
    std::string MismatchOfRequest(const std::string& raw, const Reply& reply) const {
        // Blank lines before the request line are passed over, as a server should.
        const std::string request = raw.substr(std::min(raw.find_first_not_of("\r\n"), raw.size()));
        const auto space = request.find(' ');
        const auto end = space == std::string::npos ? space : request.find(' ', space + 1);
        const bool line = end != std::string::npos && request.compare(end, 6, " HTTP/") == 0;
        const std::string m =
            line ? Mismatch(request.substr(0, space), request.substr(space + 1, end - space - 1), reply)
                 : Mismatch("", "/", reply);
        return m.empty() ? m : m + " (" + request.substr(0, request.find('\r')) + ")";
    }

private:
    inline static const QList<int> kTransportRefusals = {408, 413, 431, 501, 505};

    JsonSchema Load() {
        QFile file(OPENAPI_PATH);
        if (file.open(QIODevice::ReadOnly)) document_ = QJsonDocument::fromJson(file.readAll()).object();
        return JsonSchema(document_);
    }
    QJsonObject ErrorResponse() const {
        return document_["components"].toObject()["responses"].toObject()["Error"].toObject();
    }
    // The operation whose path template matches; a literal segment wins over a {parameter}.
    QJsonObject Operation(const QString& method, const QString& path) const {
        const QStringList parts = path.split('/');
        const QJsonObject paths = document_["paths"].toObject();
        QJsonObject best;
        int bestLiterals = -1;
        for (auto p = paths.begin(); p != paths.end(); ++p) {
            const QStringList pattern = p.key().split('/');
            if (pattern.size() != parts.size()) continue;
            int literals = 0;
            bool fits = true;
            for (int i = 0; i < parts.size() && fits; ++i) {
                if (pattern[i].startsWith('{')) {
                    fits = !parts[i].isEmpty();
                } else {
                    fits = pattern[i] == parts[i];
                    ++literals;
                }
            }
            if (fits && literals > bestLiterals && p.value().toObject().contains(method)) {
                best = p.value().toObject()[method].toObject();
                bestLiterals = literals;
            }
        }
        return best;
    }

    QJsonObject document_;
    JsonSchema schema_;
};

}  // namespace karvex::testing
