// The web console's request path as the engine reads it: a request parsed within its bounds, its
// cookies and query, and its body as JSON. What is parsed keeps the bounds and the invariants the
// console relies on.
#include <cstdio>
#include <cstdlib>

#include <QJsonDocument>
#include <QJsonObject>

#include "web/http.h"

using namespace tarvo::web;

namespace {
void Require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    HttpLimits limits;
    limits.body = 4096;
    limits.header = 2048;
    limits.requestLine = 512;
    limits.headerFields = 16;
    HttpRequest rq;
    const ParseResult r = ParseRequest(bytes, limits, rq);
    if (r.status == ParseStatus::NeedMore) {
        Require(bytes.size() <= limits.header + limits.body + 4, "waits for more beyond its bounds");
        return 0;
    }
    if (r.status == ParseStatus::Bad) {
        Require(r.errorStatus >= 400 && r.errorStatus < 600, "a refusal without an error status");
        return 0;
    }
    Require(r.consumed > 0 && r.consumed <= bytes.size(), "consumed outside the input");
    Require(rq.body.size() <= limits.body, "a body beyond its bound");
    Require(rq.headers.size() <= limits.headerFields, "more header fields than allowed");
    Require(rq.path.startsWith('/'), "a path not from the root");
    Require(!rq.path.contains("/../"), "a path that climbs");
    for (const auto& [name, value] : rq.headers) {
        Require(name == name.toLower(), "a field name not in lower case");
        Require(!value.contains('\r') && !value.contains('\n'), "a field value with a line break");
    }
    const QByteArray session = CookieValue(rq.header("cookie"), "tarvo_session");
    Require(!session.contains(';'), "a cookie value across cookies");
    (void)rq.query.queryItemValue(QStringLiteral("since")).toLongLong();
    const QJsonObject body = QJsonDocument::fromJson(rq.body).object();
    (void)body.value(QStringLiteral("user")).toString();
    (void)rq.keepAlive();
    return 0;
}
