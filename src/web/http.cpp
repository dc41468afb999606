#include "http.h"

#include <QUrl>

namespace tarvo::web {

namespace {

bool IsTokenChar(char c) {
    if (c >= 'a' && c <= 'z') return true;
    if (c >= 'A' && c <= 'Z') return true;
    if (c >= '0' && c <= '9') return true;
    switch (c) {
        case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-':
        case '.': case '^': case '_': case '`': case '|': case '~':
            return true;
        default:
            return false;
    }
}

bool IsToken(const QByteArray& s) {
    if (s.isEmpty()) return false;
    for (char c : s)
        if (!IsTokenChar(c)) return false;
    return true;
}

// A field value holds visible characters, spaces and tabs only (no CR, LF or other controls).
bool IsFieldValue(const QByteArray& s) {
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 && c != '\t') return false;
        if (u == 0x7f) return false;
    }
    return true;
}

ParseResult Bad(int status) { return {ParseStatus::Bad, 0, status}; }

}  // namespace

QByteArray HttpRequest::header(const QByteArray& name) const {
    for (const auto& [k, v] : headers)
        if (k == name) return v;
    return {};
}

bool HttpRequest::keepAlive() const {
    const QByteArray c = header("connection").toLower();
    if (minorVersion == 0) return c.contains("keep-alive");
    return !c.contains("close");
}

ParseResult ParseRequest(const QByteArray& data, const HttpLimits& limits, HttpRequest& out) {
    // Blank lines before a request are allowed and skipped.
    qsizetype start = 0;
    while (start + 1 < data.size() && data[start] == '\r' && data[start + 1] == '\n') start += 2;

    const qsizetype lineEnd = data.indexOf("\r\n", start);
    if (lineEnd < 0) {
        if (data.size() - start > limits.requestLine) return Bad(414);
        return {};
    }
    if (lineEnd - start > limits.requestLine) return Bad(414);
    const qsizetype headEnd = data.indexOf("\r\n\r\n", lineEnd);
    if (headEnd < 0) {
        if (data.size() - start > limits.header) return Bad(431);
        return {};
    }
    if (headEnd + 4 - start > limits.header) return Bad(431);

    out = HttpRequest();
    // The request line: METHOD SP TARGET SP HTTP/1.x
    const QByteArray line = data.mid(start, lineEnd - start);
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3) return Bad(400);
    if (!IsToken(parts[0])) return Bad(400);
    out.method = parts[0];
    const QByteArray& target = parts[1];
    if (parts[2] == "HTTP/1.1")
        out.minorVersion = 1;
    else if (parts[2] == "HTTP/1.0")
        out.minorVersion = 0;
    else if (parts[2].startsWith("HTTP/"))
        return Bad(505);
    else
        return Bad(400);
    // Origin form only: a path from the root, no fragment, nothing the URL parser would mend.
    if (!target.startsWith('/') || target.contains('#')) return Bad(400);
    for (char c : target)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) return Bad(400);
    const qsizetype q = target.indexOf('?');
    const QByteArray rawPath = q < 0 ? target : target.left(q);
    out.path = QByteArray::fromPercentEncoding(rawPath);
    if (out.path.contains('\0') || out.path.contains("/../") || out.path.endsWith("/..")) return Bad(400);
    if (q >= 0) {
        QByteArray rawQuery = target.mid(q + 1);
        rawQuery.replace('+', ' ');
        out.query.setQuery(QString::fromUtf8(rawQuery));
    }

    // The header fields.
    qsizetype pos = lineEnd + 2;
    while (pos < headEnd + 2) {
        const qsizetype end = data.indexOf("\r\n", pos);
        const QByteArray field = data.mid(pos, end - pos);
        pos = end + 2;
        if (field.isEmpty()) break;
        if (field[0] == ' ' || field[0] == '\t') return Bad(400);  // no folded lines
        const qsizetype colon = field.indexOf(':');
        if (colon <= 0) return Bad(400);
        const QByteArray name = field.left(colon);
        if (!IsToken(name)) return Bad(400);
        const QByteArray value = field.mid(colon + 1).trimmed();
        if (!IsFieldValue(value)) return Bad(400);
        if (out.headers.size() >= limits.headerFields) return Bad(431);
        out.headers.append({name.toLower(), value});
    }

    // The body: by Content-Length only. A chunked body is not taken.
    if (!out.header("transfer-encoding").isEmpty()) return Bad(501);
    qint64 length = 0;
    int lengths = 0;
    for (const auto& [k, v] : out.headers) {
        if (k != "content-length") continue;
        ++lengths;
        if (v.isEmpty() || v.size() > 12) return Bad(400);
        for (char c : v)
            if (c < '0' || c > '9') return Bad(400);
        length = v.toLongLong();
    }
    if (lengths > 1) return Bad(400);
    if (length > limits.body) return Bad(413);
    const qsizetype bodyStart = headEnd + 4;
    if (data.size() - bodyStart < length) return {};
    out.body = data.mid(bodyStart, static_cast<qsizetype>(length));
    return {ParseStatus::Complete, bodyStart + static_cast<qsizetype>(length), 0};
}

QByteArray CookieValue(const QByteArray& cookieHeader, const QByteArray& name) {
    for (const QByteArray& part : cookieHeader.split(';')) {
        const QByteArray pair = part.trimmed();
        const qsizetype eq = pair.indexOf('=');
        if (eq <= 0) continue;
        if (pair.left(eq).trimmed() != name) continue;
        QByteArray value = pair.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

QByteArray ReasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 413: return "Content Too Large";
        case 414: return "URI Too Long";
        case 415: return "Unsupported Media Type";
        case 421: return "Misdirected Request";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 503: return "Service Unavailable";
        case 505: return "HTTP Version Not Supported";
        default: return "Unknown";
    }
}

QByteArray ResponseHead(int status, const QList<QPair<QByteArray, QByteArray>>& headers, qint64 length,
                        bool keepAlive) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + ReasonPhrase(status) + "\r\n";
    for (const auto& [k, v] : headers) head += k + ": " + v + "\r\n";
    if (length >= 0) head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    head += keepAlive && length >= 0 ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += "\r\n";
    return head;
}

}  // namespace tarvo::web
