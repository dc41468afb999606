#include "soak_console.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace tarvo::soak {

namespace {

// The session cookie is sent by hand, so that an old start's cookie never rides along.
class NoCookies : public QNetworkCookieJar {
  public:
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
};

}  // namespace

SoakConsole::SoakConsole(QString user, QString password, int webRow, int pollEverySec, int editEverySec)
    : user_(std::move(user)), password_(std::move(password)), webRow_(webRow) {
    nam_.setCookieJar(new NoCookies);
    nam_.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QObject::connect(&pollTimer_, &QTimer::timeout, [this] { poll(); });
    QObject::connect(&editTimer_, &QTimer::timeout, [this] { edit(); });
    streamRetry_.setSingleShot(true);
    QObject::connect(&streamRetry_, &QTimer::timeout, [this] { openStream(); });
    pollTimer_.start(pollEverySec * 1000);
    if (editEverySec > 0) editTimer_.start(editEverySec * 1000);
}

SoakConsole::~SoakConsole() { stop(); }

void SoakConsole::stop() {
    if (!f_.stoppedAt.isValid()) f_.stoppedAt = QDateTime::currentDateTime();
    pollTimer_.stop();
    editTimer_.stop();
    engineGone();
}

void SoakConsole::engineStarted(int start, quint16 port) {
    start_ = start;
    port_ = port;
    cookie_.clear();
    csrf_.clear();
    signIn();
}

void SoakConsole::engineGone() {
    start_ = -1;
    // What was in flight is never answered now.
    signingIn_ = false;
    editing_ = false;
    streamRetry_.stop();
    if (stream_) {
        QNetworkReply* s = stream_;
        stream_ = nullptr;
        s->abort();
        s->deleteLater();
    }
}

void SoakConsole::fault(const QString& what) {
    f_.faults << QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz ")) + what;
}

void SoakConsole::send(const QByteArray& method, const QString& path, const QByteArray& body,
                       std::function<void(int, const QByteArray&)> done, bool streaming) {
    QNetworkRequest rq(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path)));
    if (!cookie_.isEmpty()) rq.setRawHeader("Cookie", cookie_);
    if (method != "GET") rq.setRawHeader("X-CSRF-Token", csrf_);
    if (!body.isEmpty()) rq.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    // A working engine answers within seconds, whatever the database or the switcher do.
    if (!streaming) rq.setTransferTimeout(10000);
    QNetworkReply* reply = nam_.sendCustomRequest(rq, method, body);
    if (streaming) stream_ = reply;
    const int start = start_;
    QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply, start, method, path, done] {
        reply->deleteLater();
        if (start != start_) return;  // the engine it was sent to has gone
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) {
            fault(QStringLiteral("%1 %2: no answer (%3)").arg(QString::fromLatin1(method), path, reply->errorString()));
            if (done) done(0, {});
            return;
        }
        if (done) done(status.toInt(), reply->readAll());
    });
}

void SoakConsole::signIn() {
    if (start_ < 0 || signingIn_) return;
    signingIn_ = true;
    const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("user"), user_}, {QStringLiteral("password"), password_}})
                                .toJson(QJsonDocument::Compact);
    const int start = start_;
    QNetworkRequest rq(QUrl(QStringLiteral("http://127.0.0.1:%1/api/login").arg(port_)));
    rq.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    rq.setTransferTimeout(10000);
    QNetworkReply* reply = nam_.post(rq, body);
    QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply, start] {
        reply->deleteLater();
        signingIn_ = false;
        if (start != start_) return;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status != 200) {
            fault(QStringLiteral("sign-in answered %1 (%2)").arg(status).arg(reply->errorString()));
            return;
        }
        cookie_ = reply->rawHeader("Set-Cookie").split(';').value(0);
        csrf_ = QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("csrf")).toString().toLatin1();
        f_.signIns += 1;
        openStream();
    });
}

void SoakConsole::poll() {
    if (start_ < 0) return;
    f_.polls += 1;
    send("GET", QStringLiteral("/healthz"), {}, [this](int status, const QByteArray& body) {
        if (status == 200) f_.healthy += 1;
        else if (status == 503) f_.unhealthy += 1;
        else if (status != 0) fault(QStringLiteral("/healthz answered %1: %2").arg(status).arg(QString::fromUtf8(body)));
    });
    send("GET", QStringLiteral("/metrics"), {}, [this](int status, const QByteArray& body) {
        if (status == 200 && body.contains("tarvo_")) f_.metrics += 1;
        else if (status != 0) fault(QStringLiteral("/metrics answered %1").arg(status));
    });
    if (cookie_.isEmpty()) return signIn();
    send("GET", QStringLiteral("/api/status"), {}, [this](int status, const QByteArray& body) {
        if (status == 200 && QJsonDocument::fromJson(body).isObject()) f_.answered += 1;
        else if (status != 0) fault(QStringLiteral("/api/status answered %1: %2").arg(status).arg(QString::fromUtf8(body.left(200))));
    });
}

void SoakConsole::openStream() {
    if (start_ < 0 || cookie_.isEmpty() || stream_) return;
    const std::set<qint64>& seen = f_.streamedLines[start_];
    const qint64 since = seen.empty() ? 0 : *seen.rbegin();
    f_.streams += 1;
    streamPending_.clear();
    send("GET", QStringLiteral("/api/live?since=%1").arg(since), {},
         [this](int status, const QByteArray&) {
             stream_ = nullptr;
             // Closed by the engine while it runs: say so, and come back where it stopped.
             fault(QStringLiteral("the live stream ended (%1)").arg(status));
             streamRetry_.start(1000);
         },
         true);
    const int start = start_;
    QObject::connect(stream_, &QNetworkReply::readyRead, stream_, [this, start] {
        if (!stream_ || start != start_) return;
        streamPending_ += stream_->readAll();
        qsizetype end;
        while ((end = streamPending_.indexOf("\n\n")) >= 0) {
            const QByteArray event = streamPending_.left(end);
            streamPending_.remove(0, end + 2);
            QByteArray name, data;
            for (const QByteArray& line : event.split('\n')) {
                if (line.startsWith("event: ")) name = line.mid(7);
                else if (line.startsWith("data: ")) data += line.mid(6);
            }
            if (name.isEmpty()) continue;  // a comment that keeps the stream open
            f_.streamEvents += 1;
            if (name != "history") continue;
            for (const QJsonValue& l : QJsonDocument::fromJson(data).object().value(QStringLiteral("lines")).toArray())
                f_.streamedLines[start].insert(l.toObject().value(QStringLiteral("seq")).toInteger());
        }
    });
}

void SoakConsole::edit() {
    if (start_ < 0 || cookie_.isEmpty() || editing_) return;
    editing_ = true;
    send("GET", QStringLiteral("/api/events"), {}, [this](int status, const QByteArray& body) {
        if (status != 200) {
            editing_ = false;
            if (status == 503) f_.editsBusy += 1;
            else if (status != 0) fault(QStringLiteral("GET /api/events answered %1").arg(status));
            return;
        }
        QJsonObject row;
        for (const QJsonValue& r : QJsonDocument::fromJson(body).object().value(QStringLiteral("rows")).toArray())
            if (r.toObject().value(QStringLiteral("form")).toObject().value(QStringLiteral("number")).toInt() == webRow_)
                row = r.toObject();
        if (row.isEmpty()) {
            editing_ = false;
            return fault(QStringLiteral("the row the console edits is not in /api/events"));
        }
        const QString title = QStringLiteral("Web edit %1").arg(++editCount_);
        QJsonObject form = row.value(QStringLiteral("form")).toObject();
        form[QStringLiteral("title")] = title;
        const QJsonObject change{{QStringLiteral("number"), webRow_},
                                 {QStringLiteral("version"), row.value(QStringLiteral("version"))},
                                 {QStringLiteral("form"), form}};
        const QByteArray save = QJsonDocument(QJsonObject{{QStringLiteral("changes"), QJsonArray{change}}})
                                    .toJson(QJsonDocument::Compact);
        f_.unanswered << title;
        f_.editsSent += 1;
        send("POST", QStringLiteral("/api/events"), save, [this, title](int status, const QByteArray& answer) {
            editing_ = false;
            if (status != 0) f_.editsAnswered += 1;
            if (status == 200) {
                f_.editsSaved += 1;
                f_.lastSavedTitle = title;
                f_.unanswered.clear();
                return;
            }
            if (status != 0) f_.unanswered.removeAll(title);  // answered: it did not happen
            if (status == 409) f_.editsStale += 1;
            else if (status == 503) f_.editsBusy += 1;
            else if (status != 0)
                fault(QStringLiteral("POST /api/events answered %1: %2").arg(status).arg(QString::fromUtf8(answer.left(300))));
        });
    });
}

}  // namespace tarvo::soak
