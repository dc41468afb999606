// The web console's HTTP/1.1 as the engine reads and writes it: a request parsed from the bytes
// a connection has received, within fixed bounds, and the pieces of an answer. Pure: no socket,
// no loop, so that it can be fuzzed and tested byte by byte.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

namespace tarvo::web {

// What one request may carry. A request beyond them is answered with the status named and the
// connection closed: nothing of it is kept.
struct HttpLimits {
    qsizetype requestLine = 8 * 1024;  // 414 beyond
    qsizetype header = 16 * 1024;      // 431 beyond (request line and header fields together)
    int headerFields = 64;             // 431 beyond
    qsizetype body = 256 * 1024;       // 413 beyond (declared by Content-Length)
};

struct HttpRequest {
    QByteArray method;   // as sent, upper case: GET, POST, ...
    QByteArray path;     // the target's path, percent-decoded: /api/history
    QUrlQuery query;     // the target's query
    int minorVersion = 1;  // HTTP/1.x
    QList<QPair<QByteArray, QByteArray>> headers;  // names lower case, values trimmed
    QByteArray body;

    // The first field of that (lower-case) name; empty when there is none.
    QByteArray header(const QByteArray& name) const;
    // Whether the connection stays open after the answer.
    bool keepAlive() const;
};

enum class ParseStatus { NeedMore, Complete, Bad };

struct ParseResult {
    ParseStatus status = ParseStatus::NeedMore;
    qsizetype consumed = 0;  // the bytes of the request, when complete
    int errorStatus = 0;     // the HTTP status to answer, when bad
};

// Reads the request at the start of `data`. NeedMore while it is incomplete within the bounds.
ParseResult ParseRequest(const QByteArray& data, const HttpLimits& limits, HttpRequest& out);

// The value of a cookie in a Cookie header ("a=1; b=2"), empty when it is not there.
QByteArray CookieValue(const QByteArray& cookieHeader, const QByteArray& name);

// The reason phrase of a status the console answers with.
QByteArray ReasonPhrase(int status);

// An answer's status line and header fields, ending with the empty line. `length` is the body's
// size (-1: none given, the body is a stream that ends with the connection).
QByteArray ResponseHead(int status, const QList<QPair<QByteArray, QByteArray>>& headers, qint64 length,
                        bool keepAlive);

}  // namespace tarvo::web
