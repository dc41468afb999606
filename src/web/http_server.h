// The web console's listener: HTTP/1.1 on the engine's loop, plain or under TLS. Every connection
// is bounded: the bytes of a request (HttpLimits), how long a request may take to arrive, how long
// an open connection may stay idle, how many connections are open at once, and how much of an
// answer may wait unsent (an answer is handed to the socket a piece at a time as it drains).
// A request is parsed when it is whole and passed to the handler, which answers at once or later
// (after work done off the loop); a connection answers its requests in turn.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include "http.h"

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace tarvo::web {

struct HttpReply {
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // An event stream: the head goes out now, the connection stays open for push().
    bool stream = false;

    HttpReply& set(const QByteArray& name, const QByteArray& value) {
        headers.append(qMakePair(name, value));
        return *this;
    }
};

struct ServerSettings {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 0;
    QString certificateFile;  // both given: TLS
    QString keyFile;
    int maxConnections = 64;
    int requestTimeoutMs = 10000;  // from a request's first byte to its last
    int idleTimeoutMs = 60000;     // a kept-alive connection with nothing asked
    qsizetype maxUnsent = 4 * 1024 * 1024;  // a stream further behind than this is closed
    HttpLimits limits;
};

class HttpServer : public QObject {
    Q_OBJECT
public:
    using ConnectionId = std::uint64_t;
    // Answers the request it was given; callable once, later than the handler's return too.
    // Does nothing when the connection has gone meanwhile.
    using Answer = std::function<void(HttpReply)>;
    using Handler = std::function<void(const HttpRequest& request, const QHostAddress& peer, ConnectionId id,
                                       Answer answer)>;

    explicit HttpServer(Handler handler, QObject* parent = nullptr);
    ~HttpServer() override;

    // False with the reason when it cannot listen (address in use, certificate unreadable ...).
    bool listen(const ServerSettings& settings, QString& error);
    quint16 port() const;
    bool tls() const { return tls_; }

    // Appends to an open event stream; false when it is gone (or was closed for lagging behind).
    bool push(ConnectionId stream, const QByteArray& bytes);

private:
    struct Connection;
    void accept();
    void readFrom(ConnectionId id);
    void answer(ConnectionId id, HttpReply reply);
    void refuse(Connection& c, int status);
    void feed(Connection& c);
    void takeNext(Connection& c);
    void drop(ConnectionId id);

    Handler handler_;
    ServerSettings settings_;
    std::unique_ptr<QTcpServer> server_;
    bool tls_ = false;
    ConnectionId nextId_ = 1;
    std::map<ConnectionId, std::unique_ptr<Connection>> connections_;
};

}  // namespace tarvo::web
