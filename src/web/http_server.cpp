#include "http_server.h"

#include <QFile>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace tarvo::web {

namespace {
// An answer is handed to the socket in pieces of this size, the next when it has drained below.
constexpr qsizetype kPiece = 64 * 1024;
}  // namespace

struct HttpServer::Connection {
    ConnectionId id = 0;
    QTcpSocket* socket = nullptr;
    QHostAddress peer;
    QByteArray in;
    QTimer timer;       // the request's deadline, or the idle limit between requests
    bool busy = false;  // a request is being answered
    bool keepAlive = true;
    bool head = false;  // a HEAD request: the answer's head alone
    bool stream = false;
    bool closing = false;  // refused: what still comes is read and dropped until it closes
    QByteArray out;
    qsizetype outAt = 0;
    bool closeWhenSent = false;
    bool dropped = false;

    // Never run inside one of the socket's own signals: a connection is forgotten on a later
    // turn of the loop (drop), or with the server.
    ~Connection() {
        if (socket) {
            QObject::disconnect(socket, nullptr, nullptr, nullptr);
            socket->abort();
            delete socket;
        }
    }
};

HttpServer::HttpServer(Handler handler, QObject* parent) : QObject(parent), handler_(std::move(handler)) {}

HttpServer::~HttpServer() { connections_.clear(); }

bool HttpServer::listen(const ServerSettings& settings, QString& error) {
    settings_ = settings;
    const bool wantTls = !settings.certificateFile.isEmpty() || !settings.keyFile.isEmpty();
    if (wantTls) {
        if (settings.certificateFile.isEmpty() || settings.keyFile.isEmpty()) {
            error = QStringLiteral("TLS needs both a certificate and a key");
            return false;
        }
        QFile certFile(settings.certificateFile);
        QFile keyFile(settings.keyFile);
        if (!certFile.open(QIODevice::ReadOnly) || certFile.size() > 1024 * 1024) {
            error = QStringLiteral("cannot read the certificate %1").arg(settings.certificateFile);
            return false;
        }
        if (!keyFile.open(QIODevice::ReadOnly) || keyFile.size() > 1024 * 1024) {
            error = QStringLiteral("cannot read the key %1").arg(settings.keyFile);
            return false;
        }
        const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
        const QByteArray keyPem = keyFile.readAll();
        QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem);
        if (key.isNull()) key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
        if (chain.isEmpty() || key.isNull()) {
            error = QStringLiteral("the certificate or the key is not PEM that can be used");
            return false;
        }
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setLocalCertificateChain(chain);
        conf.setPrivateKey(key);
        conf.setPeerVerifyMode(QSslSocket::VerifyNone);
        conf.setProtocol(QSsl::TlsV1_2OrLater);
        auto ssl = std::make_unique<QSslServer>();
        ssl->setSslConfiguration(conf);
        ssl->setHandshakeTimeout(settings.requestTimeoutMs);
        server_ = std::move(ssl);
        tls_ = true;
    } else {
        server_ = std::make_unique<QTcpServer>();
    }
    connect(server_.get(), &QTcpServer::pendingConnectionAvailable, this, &HttpServer::accept);
    if (!server_->listen(settings.address, settings.port)) {
        error = server_->errorString();
        server_.reset();
        return false;
    }
    return true;
}

quint16 HttpServer::port() const { return server_ ? server_->serverPort() : 0; }

void HttpServer::accept() {
    while (server_ && server_->hasPendingConnections()) {
        QTcpSocket* socket = server_->nextPendingConnection();
        if (!socket) break;
        if (static_cast<int>(connections_.size()) >= settings_.maxConnections) {
            // No room: said in one answer, then closed.
            const QByteArray body = "too many connections\n";
            socket->write(ResponseHead(503, {{"Content-Type", "text/plain; charset=utf-8"}, {"Retry-After", "5"}},
                                       body.size(), false) +
                          body);
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(2000, socket, [socket] { socket->abort(); socket->deleteLater(); });
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->id = nextId_++;
        c->socket = socket;
        c->peer = socket->peerAddress();
        socket->setParent(nullptr);
        const ConnectionId id = c->id;
        c->timer.setSingleShot(true);
        connect(&c->timer, &QTimer::timeout, this, [this, id] {
            auto it = connections_.find(id);
            if (it == connections_.end() || it->second->dropped) return;
            Connection& conn = *it->second;
            if (!conn.in.isEmpty() && !conn.busy)
                refuse(conn, 408);
            else if (!conn.busy && !conn.stream)
                drop(id);
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { readFrom(id); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, id] {
            auto it = connections_.find(id);
            if (it != connections_.end() && !it->second->dropped) feed(*it->second);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] { drop(id); });
        c->timer.start(settings_.requestTimeoutMs);
        connections_.emplace(id, std::move(c));
        readFrom(id);
    }
}

void HttpServer::readFrom(ConnectionId id) {
    auto it = connections_.find(id);
    if (it == connections_.end() || it->second->dropped) return;
    Connection& c = *it->second;
    const QByteArray got = c.socket->readAll();
    if (c.closing || c.stream) return;  // nothing more is taken from it
    if (!got.isEmpty() && c.in.isEmpty() && !c.busy) c.timer.start(settings_.requestTimeoutMs);
    c.in += got;
    if (c.in.size() > settings_.limits.header + settings_.limits.body) {
        refuse(c, 413);
        return;
    }
    if (!c.busy) takeNext(c);
}

void HttpServer::refuse(Connection& c, int status) {
    c.closing = true;
    c.in.clear();
    c.busy = true;
    c.keepAlive = false;
    const QByteArray body = ReasonPhrase(status).toLower() + '\n';
    c.out = ResponseHead(status, {{"Content-Type", "text/plain; charset=utf-8"}}, body.size(), false) + body;
    c.outAt = 0;
    c.closeWhenSent = true;
    // A peer that does not take the answer goes when the deadline comes.
    c.timer.start(settings_.requestTimeoutMs);
    feed(c);
}

// Hands the next pieces of what is to be sent to the socket. When the answer is all out, the
// next request is taken on a later turn of the loop: a client that sends many requests at once
// never makes them one deep call.
void HttpServer::feed(Connection& c) {
    while (c.outAt < c.out.size() && c.socket->bytesToWrite() < kPiece) {
        const qsizetype n = std::min(kPiece, c.out.size() - c.outAt);
        c.socket->write(c.out.constData() + c.outAt, n);
        c.outAt += n;
    }
    if (c.outAt < c.out.size() || c.out.isEmpty()) return;
    c.out.clear();
    c.outAt = 0;
    if (c.closeWhenSent) {
        c.socket->disconnectFromHost();
        return;
    }
    c.busy = false;
    c.timer.start(c.in.isEmpty() ? settings_.idleTimeoutMs : settings_.requestTimeoutMs);
    if (c.in.isEmpty()) return;
    const ConnectionId id = c.id;
    QTimer::singleShot(0, this, [this, id] {
        auto it = connections_.find(id);
        if (it != connections_.end() && !it->second->dropped) takeNext(*it->second);
    });
}

// Parses the request at the front of what the connection has received, and hands it on.
void HttpServer::takeNext(Connection& c) {
    if (c.busy || c.stream || c.closing || c.in.isEmpty()) return;
    HttpRequest request;
    const ParseResult r = ParseRequest(c.in, settings_.limits, request);
    if (r.status == ParseStatus::NeedMore) return;
    if (r.status == ParseStatus::Bad) {
        refuse(c, r.errorStatus);
        return;
    }
    c.in.remove(0, r.consumed);
    c.busy = true;
    c.keepAlive = request.keepAlive();
    c.head = request.method == "HEAD";
    c.timer.stop();
    const ConnectionId id = c.id;
    QPointer<HttpServer> self(this);
    auto answered = std::make_shared<bool>(false);
    handler_(request, c.peer, id, [self, id, answered](HttpReply reply) {
        if (!self || *answered) return;
        *answered = true;
        self->answer(id, std::move(reply));
    });
}

void HttpServer::answer(ConnectionId id, HttpReply reply) {
    auto it = connections_.find(id);
    if (it == connections_.end() || it->second->dropped) return;
    Connection& c = *it->second;
    if (!c.busy || c.closing) return;
    const bool keep = c.keepAlive && !reply.stream;
    if (reply.stream && c.head) reply.body.clear();
    if (reply.stream && !c.head) {
        c.stream = true;
        c.in.clear();
        c.socket->write(ResponseHead(reply.status, reply.headers, -1, false) + reply.body);
        return;
    }
    c.out = ResponseHead(reply.status, reply.headers, reply.body.size(), keep);
    if (!c.head) c.out += reply.body;
    c.outAt = 0;
    c.closeWhenSent = !keep;
    feed(c);
}

bool HttpServer::push(ConnectionId stream, const QByteArray& bytes) {
    auto it = connections_.find(stream);
    if (it == connections_.end() || !it->second->stream) return false;
    Connection& c = *it->second;
    if (c.socket->bytesToWrite() + bytes.size() > settings_.maxUnsent) {
        drop(stream);  // a reader this far behind is let go; its page connects again
        return false;
    }
    c.socket->write(bytes);
    return true;
}

// The connection is closed now and forgotten on the next turn of the loop (it may be one of its
// own signals that brought us here).
void HttpServer::drop(ConnectionId id) {
    auto it = connections_.find(id);
    if (it == connections_.end() || it->second->dropped) return;
    Connection& c = *it->second;
    c.dropped = true;
    c.stream = false;
    c.closing = true;
    c.timer.stop();
    QObject::disconnect(c.socket, nullptr, this, nullptr);
    c.socket->abort();
    QTimer::singleShot(0, this, [this, id] { connections_.erase(id); });
}

}  // namespace tarvo::web
