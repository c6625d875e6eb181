#pragma once
// Error answers of the service: a JSON body with the library's result code, its Chinese message and, when
// one field of the request is at fault, that field (null otherwise); the HTTP status follows from the code.
#include <QJsonObject>
#include <QString>

#include "convert/result_values.h"
#include "service/http_server.h"

namespace karvex::service {

// The HTTP status that fits a result code of the control or of the service.
int HttpStatusOf(ResultCode code);

// {"code","message","field"[,"detail"]}, field null when empty, with HttpStatusOf(code), or `status` when given.
HttpResponse ErrorResponse(ResultCode code, const QString& field = {}, const QString& detail = {}, int status = 0);

HttpResponse JsonResponse(const QJsonObject& body, int status = 200);

// The refusals the HTTP layer makes by itself (400, 408, 413, 431, 501, 505), `detail` saying what was wrong.
HttpResponse RefusalResponse(int status, const QString& detail);

}  // namespace karvex::service
