#include "service/api_error.h"

#include <QJsonDocument>

#include "link/result_codes.h"

namespace karvex::service {

int HttpStatusOf(ResultCode code) {
    using namespace result;
    if (code == kSuccess) return 200;
    switch (code) {
    case kBadRequest: return 400;
    case kAccessRefused: return 401;
    case kRequestTooLarge: return 413;
    case kNoSuchResource: return 404;
    // The line could not be used or the processor did not answer as it must: try again later.
    case kTimeout:
    case kWrongAnswerLength:
    case kCrcError:
    case kNoOpenPort:
    case kPortLost:
    case kAnswerMismatch:
    case kPortNotFound:
    case kPortInUse:
    case kPortOpenFailed:
    case kStoreInUse: return 503;
    case kCommandInFlight:
    case kCommandUnderWay:
    // "NP" in place of an issue's answer: the processor did not issue it, a conflict with its state.
    case kAnswerNextCommand: return 409;
    default: break;
    }
    // The sales journal's verdicts: in doubt and a sale id used with other content conflict with what is
    // known; an unknown sale id is not found.
    if (code == kSaleInDoubt || code == kSaleIdReused) return 409;
    if (code == kNoSuchSale) return 404;
    // The processor's own refusals (no invoices left, a wrong state) conflict with its state.
    if ((code >= kProcessorFirst && code <= kProcessorLast) || code == kUnknownProcessorCode) return 409;
    // Input the control's checks refused before sending.
    if ((code >= kRangeStartBeyondEnd && code <= kNotDecimalOrBlanks) ||
        (code >= kEmptyInput && code <= kInvoiceNumberTooLarge) || (code >= kQuantityZero && code <= kPluLast) ||
        (code >= kBadYear && code <= (kBadYear | kBadMonth | kBadDay)) || code == kStoreBadCriterion ||
        code == kNoSuchField || code == kStoreTypeMismatch)
        return 400;
    if (code == kNoMatchingRecord) return 404;
    return 500;
}

HttpResponse JsonResponse(const QJsonObject& body, int status) {
    HttpResponse r;
    r.status = status;
    r.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return r;
}

HttpResponse ErrorResponse(ResultCode code, const QString& field, const QString& detail, int status) {
    // `field` is always there, null when no one field is at fault, so a client can read it without asking.
    QJsonObject body{{"code", code},
                     {"message", QString::fromStdString(ResultMessage(code))},
                     {"field", field.isEmpty() ? QJsonValue() : QJsonValue(field)}};
    if (!detail.isEmpty()) body.insert("detail", detail);
    return JsonResponse(body, status ? status : HttpStatusOf(code));
}

HttpResponse RefusalResponse(int status, const QString& detail) {
    switch (status) {
    case 413:
        return ErrorResponse(result::kRequestTooLarge, {},
                             detail.isEmpty() ? QStringLiteral("请求内容超过 64 KiB") : detail, 413);
    case 431:
        return ErrorResponse(result::kRequestTooLarge, {}, detail.isEmpty() ? QStringLiteral("请求头过大") : detail,
                             431);
    default:
        return ErrorResponse(result::kBadRequest, {}, detail.isEmpty() ? QStringLiteral("HTTP 请求格式错误") : detail,
                             status);
    }
}

}  // namespace karvex::service
