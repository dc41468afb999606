#include "console.h"

#include <deque>

#include <QFile>
#include <QJsonDocument>
#include <QPointer>
#include <QRegularExpression>

#include "engine/clock_watch.h"
#include "engine/engine.h"
#include "logs/logs.h"
#include "scheduler/schedule_report.h"
#include "users.h"

namespace tarvo::web {

namespace {

constexpr int kSampleMs = 250;
constexpr int kHeartbeatMs = 15000;
constexpr int kMaxSignInsInFlight = 4;  // each hash takes 64 MiB for its tenth of a second
constexpr int kMaxJobsInFlight = 8;
constexpr qint64 kMaxLogRead = 32LL * 1024 * 1024;  // of one log file, for one answer
constexpr int kMaxLogLines = 5000;                   // in one answer that is not a download
const QByteArray kSessionCookie = "tarvo_session";


HttpReply Text(int status, const QByteArray& body, const QByteArray& type = "text/plain; charset=utf-8") {
    HttpReply r;
    r.status = status;
    r.set("Content-Type", type);
    r.body = body;
    return r;
}

// A file of the console's page, from the program's resources.
std::optional<HttpReply> Asset(const QByteArray& path) {
    static const std::map<QByteArray, std::pair<QString, QByteArray>> assets = {
        {"/", {QStringLiteral(":/web/console.html"), "text/html; charset=utf-8"}},
        {"/login", {QStringLiteral(":/web/login.html"), "text/html; charset=utf-8"}},
        {"/static/console.js", {QStringLiteral(":/web/console.js"), "text/javascript; charset=utf-8"}},
        {"/static/login.js", {QStringLiteral(":/web/login.js"), "text/javascript; charset=utf-8"}},
        {"/static/console.css", {QStringLiteral(":/web/console.css"), "text/css; charset=utf-8"}},
        {"/static/editor.js", {QStringLiteral(":/web/editor.js"), "text/javascript; charset=utf-8"}},
        {"/static/editor.css", {QStringLiteral(":/web/editor.css"), "text/css; charset=utf-8"}},
    };
    auto it = assets.find(path);
    if (it == assets.end()) return std::nullopt;
    QFile f(it->second.first);
    if (!f.open(QIODevice::ReadOnly)) return Text(500, "the page is missing from the program\n");
    return Text(200, f.readAll(), it->second.second);
}

bool PublicPath(const QByteArray& path) {
    return path == "/login" || path == "/static/login.js" || path == "/static/console.css";
}

// The lines of the logs that begin with `dayStamp` (every line when it is empty) and hold
// `filter`, read off the loop.
QByteArray ReadLogLines(const QStringList& files, const QString& dayStamp, const QString& filter, int maxLines,
                        bool& cut) {
    std::deque<QByteArray> kept;  // the latest maxLines, when there is a bound
    cut = false;
    const QByteArray dayBytes = dayStamp.toUtf8();
    const QByteArray filterBytes = filter.toUtf8().toLower();
    for (const QString& name : files) {
        QFile f(name);
        if (!f.open(QIODevice::ReadOnly)) continue;
        if (f.size() > kMaxLogRead) f.seek(f.size() - kMaxLogRead);
        const QByteArray all = f.read(kMaxLogRead);
        for (const QByteArray& line : all.split('\n')) {
            if (line.isEmpty()) continue;
            if (!dayBytes.isEmpty() && !line.startsWith(dayBytes)) continue;
            if (!filterBytes.isEmpty() && !line.toLower().contains(filterBytes)) continue;
            kept.push_back(line);
            if (maxLines > 0 && kept.size() > static_cast<std::size_t>(maxLines)) {
                kept.pop_front();
                cut = true;
            }
        }
    }
    QByteArray out;
    for (const QByteArray& line : kept) out += line + '\n';
    return out;
}

}  // namespace

QByteArray JsonBytes(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

HttpReply Json(const QJsonObject& o, int status) {
    HttpReply r;
    r.status = status;
    r.set("Content-Type", "application/json");
    r.body = JsonBytes(o);
    return r;
}

HttpReply Error(int status, const QString& text) { return Json({{QStringLiteral("error"), text}}, status); }

WebConsole::WebConsole(StatusView& inner, QObject* parent) : QObject(parent), inner_(inner) {
    uptime_.start();
    workers_.setMaxThreadCount(2);
    sampler_.setInterval(kSampleMs);
    connect(&sampler_, &QTimer::timeout, this, [this] { pushStatus(); });
    heartbeat_.setInterval(kHeartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, [this] { pushToStreams(": still here\n\n"); });
}

WebConsole::~WebConsole() {
    server_.reset();
    workers_.waitForDone();  // what they still answer is dropped with this object
}

void WebConsole::attach(Engine& engine, ConsoleProbes probes) {
    engine_ = &engine;
    probes_ = std::move(probes);
}

bool WebConsole::listen(const ConsoleSettings& settings, QString& error) {
    settings_ = settings;
    if (!CryptoReady()) {
        error = QStringLiteral("libsodium cannot be used here");
        return false;
    }
    sessions_ = std::make_unique<Sessions>(settings_.sessionIdleMs, settings_.sessionLifeMs);
    server_ = std::make_unique<HttpServer>(
        [this](const HttpRequest& rq, const QHostAddress& peer, HttpServer::ConnectionId id, Answer answer) {
            handle(rq, peer, id, std::move(answer));
        });
    if (!server_->listen(settings_.server, error)) {
        server_.reset();
        return false;
    }
    sampleLinks();
    sampler_.start();
    heartbeat_.start();
    return true;
}

QString WebConsole::address() const {
    const QHostAddress a = settings_.server.address;
    const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + a.toString() + QLatin1Char(']')
                                                                        : a.toString();
    return QStringLiteral("%1://%2:%3/").arg(server_ && server_->tls() ? QStringLiteral("https") : QStringLiteral("http"),
                                             host)
        .arg(port());
}

// --- the view

void WebConsole::setCaption(const QString& caption) {
    caption_ = caption;
    inner_.setCaption(caption);
}
void WebConsole::setIcon(LinkIcon icon) {
    iconConnected_ = icon == LinkIcon::Connected;
    inner_.setIcon(icon);
    pushStatus();
}
void WebConsole::setStatusPanel(int panel, const QString& text) {
    if (panel >= 1 && panel <= 3) panels_[panel] = text;
    inner_.setStatusPanel(panel, text);
}
void WebConsole::addHistoryLine(const ListLine& line, bool red) {
    HistoryEntry e{++seq_, QDateTime::currentDateTime().toString(Qt::ISODate), line, red};
    history_.push_back(e);
    while (history_.size() > kHistoryKept) history_.pop_front();
    inner_.addHistoryLine(line, red);
    if (!streams_.empty()) {
        QJsonObject o = historyJson(seq_ - 1);
        pushToStreams("id: " + QByteArray::number(seq_) + "\nevent: history\ndata: " + JsonBytes(o) + "\n\n");
    }
}
void WebConsole::showNextEvent(const ListLine& line) {
    next_ = line;
    inner_.showNextEvent(line);
}
void WebConsole::showNextEventDate(const QDate& date) {
    nextDate_ = date;
    inner_.showNextEventDate(date);
}
void WebConsole::showError(const QString& text, const QString& caption) { inner_.showError(text, caption); }
void WebConsole::minimise() { inner_.minimise(); }
void WebConsole::databaseLoaded() {
    unreadable_.clear();
    inner_.databaseLoaded();
}
void WebConsole::databaseUnreadable(const QString& reason) {
    unreadable_ = reason;
    inner_.databaseUnreadable(reason);
}

// --- the state as JSON

void WebConsole::sampleLinks() {
    if (!engine_) return;
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    auto look = [&](Lamp& lamp, bool up) {
        if (!lamp.known || lamp.up != up) lamp = {true, up, now};
    };
    look(master_, engine_->switcher.master().isConnected());
    look(slave_, engine_->switcher.slave().isConnected());
}

QJsonObject WebConsole::statusJson() const {
    QJsonObject o;
    o.insert(QStringLiteral("title"), caption_);
    o.insert(QStringLiteral("version"), kVersionText);
    o.insert(QStringLiteral("events"), panels_[1]);
    o.insert(QStringLiteral("next"), QJsonObject{{QStringLiteral("day"), next_.day},
                                                 {QStringLiteral("time"), next_.time},
                                                 {QStringLiteral("title"), next_.title},
                                                 {QStringLiteral("date"), nextDate_.isValid()
                                                                              ? nextDate_.toString(Qt::ISODate)
                                                                              : QString()}});
    o.insert(QStringLiteral("historySeq"), seq_);
    o.insert(QStringLiteral("databaseUnreadable"), unreadable_);
    if (engine_) {
        const bool slaveUsed = engine_->switcher.SlaveEnabled;
        o.insert(QStringLiteral("master"), QJsonObject{{QStringLiteral("up"), master_.up},
                                                       {QStringLiteral("since"), master_.since}});
        o.insert(QStringLiteral("slave"), QJsonObject{{QStringLiteral("used"), slaveUsed},
                                                      {QStringLiteral("up"), slaveUsed && slave_.up},
                                                      {QStringLiteral("since"), slave_.since}});
        const ClockSync sync = engine_->clockWatch.state();
        o.insert(QStringLiteral("clock"), sync == ClockSync::Synchronised     ? QStringLiteral("synchronised")
                                          : sync == ClockSync::Unsynchronised ? QStringLiteral("unsynchronised")
                                                                              : QStringLiteral("unknown"));
        o.insert(QStringLiteral("runsInProgress"), engine_->scheduler.runs.count());
        o.insert(QStringLiteral("delayedWaiting"), static_cast<qint64>(engine_->scheduler.DelayedEvents.size()));
        o.insert(QStringLiteral("lastError"), LastErrorText(engine_->logs));
        if (probes_.unhealthy) o.insert(QStringLiteral("unhealthy"), probes_.unhealthy());
    }
    return o;
}

QJsonObject WebConsole::historyJson(qint64 since) const {
    // The lines kept are numbered without a gap: the first one after `since` is found at once.
    QJsonArray lines;
    const qint64 first = history_.empty() ? seq_ + 1 : history_.front().seq;
    const std::size_t from = since < first ? 0 : static_cast<std::size_t>(since - first + 1);
    for (std::size_t i = from; i < history_.size(); ++i) {
        const HistoryEntry& e = history_[i];
        lines.append(QJsonObject{{QStringLiteral("seq"), e.seq},
                                 {QStringLiteral("at"), e.at},
                                 {QStringLiteral("day"), e.line.day},
                                 {QStringLiteral("time"), e.line.time},
                                 {QStringLiteral("title"), e.line.title},
                                 {QStringLiteral("red"), e.red}});
    }
    return {{QStringLiteral("lines"), lines}, {QStringLiteral("last"), seq_}};
}

void WebConsole::pushStatus() {
    sampleLinks();
    if (streams_.empty()) return;
    const QByteArray status = JsonBytes(statusJson());
    if (status == lastStatus_) return;
    lastStatus_ = status;
    pushToStreams("event: status\ndata: " + status + "\n\n");
}

void WebConsole::pushToStreams(const QByteArray& bytes) {
    for (auto it = streams_.begin(); it != streams_.end();) {
        if (server_ && server_->push(*it, bytes))
            ++it;
        else
            it = streams_.erase(it);
    }
}

// --- requests

bool WebConsole::hostAllowed(const QByteArray& hostHeader) const {
    const QString host = QString::fromUtf8(hostHeader).toLower();
    if (host.isEmpty()) return false;
    const QString port = QString::number(this->port());
    QStringList allowed = {QStringLiteral("localhost"), QStringLiteral("127.0.0.1"), QStringLiteral("[::1]")};
    const QHostAddress a = settings_.server.address;
    if (a != QHostAddress::Any && a != QHostAddress::AnyIPv4 && a != QHostAddress::AnyIPv6)
        allowed << (a.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + a.toString() + QLatin1Char(']')
                                                                   : a.toString());
    for (const QString& name : settings_.hosts) {
        if (name.contains(QLatin1Char(':')) && !name.startsWith(QLatin1Char('['))) {
            if (host == name.toLower()) return true;  // a name given with its port (a proxy's)
        } else {
            allowed << name.toLower();
        }
    }
    for (const QString& name : allowed)
        if (host == name || host == name + QLatin1Char(':') + port) return true;
    return false;
}

HttpReply WebConsole::withHeaders(HttpReply r, bool api) const {
    r.set("X-Frame-Options", "DENY");
    r.set("Content-Security-Policy",
                      "default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'; "
                      "script-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    r.set("X-Content-Type-Options", "nosniff");
    r.set("Referrer-Policy", "no-referrer");
    if (api || r.stream) r.set("Cache-Control", "no-store");
    if (server_ && server_->tls()) r.set("Strict-Transport-Security", "max-age=31536000");
    return r;
}

void WebConsole::handle(const HttpRequest& rq, const QHostAddress& peer, HttpServer::ConnectionId id, Answer answer) {
    const bool api = rq.path.startsWith("/api/") || rq.path == "/metrics" || rq.path == "/healthz";
    Answer wrapped = [this, api, answer = std::move(answer)](HttpReply r) { answer(withHeaders(std::move(r), api)); };
    if (!hostAllowed(rq.header("host"))) {
        wrapped(Text(421, "this console does not answer to that host name\n"));
        return;
    }
    route(rq, peer, id, std::move(wrapped));
}

void WebConsole::route(const HttpRequest& rq, const QHostAddress& peer, HttpServer::ConnectionId id, Answer answer) {
    const QByteArray& path = rq.path;
    const bool get = rq.method == "GET" || rq.method == "HEAD";

    if (path == "/healthz") {
        if (!get) return answer(Text(405, "GET only\n"));
        const QString why = probes_.unhealthy ? probes_.unhealthy() : QString();
        return answer(why.isEmpty() ? Text(200, "ok\n") : Text(503, why.toUtf8() + '\n'));
    }
    if (path == "/metrics") {
        if (!get) return answer(Text(405, "GET only\n"));
        if (!settings_.metricsToken.isEmpty() &&
            !SameSecret(rq.header("authorization"), "Bearer " + settings_.metricsToken)) {
            HttpReply r = Text(401, "a token is needed\n");
            r.set("WWW-Authenticate", "Bearer");
            return answer(r);
        }
        return answer(Text(200, probes_.metrics ? probes_.metrics() : QByteArray(),
                           "text/plain; version=0.0.4; charset=utf-8"));
    }
    if (path == "/api/login") {
        if (rq.method != "POST") return answer(Error(405, QStringLiteral("POST only")));
        return signIn(rq, peer, std::move(answer));
    }
    if (PublicPath(path)) {
        if (!get) return answer(Text(405, "GET only\n"));
        return answer(*Asset(path));
    }

    // Everything else is for a signed-in user.
    const Session* session = sessions_->find(CookieValue(rq.header("cookie"), kSessionCookie), nowMs());
    if (!session) {
        if (path == "/" && get) {
            HttpReply r = Text(303, "sign in first\n");
            r.set("Location", "/login");
            return answer(r);
        }
        return answer(Error(401, QStringLiteral("sign in first")));
    }
    // A request that changes anything carries the session's own token (a cross-site page cannot
    // read it), and comes from this console's own pages.
    if (!get) {
        if (!SameSecret(rq.header("x-csrf-token"), session->csrf))
            return answer(Error(403, QStringLiteral("the request's token is missing or wrong")));
    }

    if (const std::optional<HttpReply> page = Asset(path)) {
        if (!get) return answer(Text(405, "GET only\n"));
        return answer(*page);
    }
    const QString user = session->user;
    const Role role = session->role;
    const QByteArray csrf = session->csrf;
    if (path == "/api/logout") {
        if (rq.method != "POST") return answer(Error(405, QStringLiteral("POST only")));
        sessions_->close(CookieValue(rq.header("cookie"), kSessionCookie));
        HttpReply r = Json({{QStringLiteral("signedOut"), true}});
        r.set("Set-Cookie", kSessionCookie + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                            (server_->tls() ? "; Secure" : ""));
        return answer(r);
    }
    if (path == "/api/events" || path == "/api/changes" || path.startsWith("/api/changes/"))
        return editor(rq, user, role, std::move(answer));
    if (!get) return answer(Error(405, QStringLiteral("GET only")));
    if (path == "/api/session")
        return answer(Json({{QStringLiteral("user"), user},
                            {QStringLiteral("role"), RoleName(role)},
                            {QStringLiteral("csrf"), QString::fromLatin1(csrf)}}));
    if (path == "/api/status") return answer(Json(statusJson()));
    if (path == "/api/history") {
        bool ok = true;
        const QString since = rq.query.queryItemValue(QStringLiteral("since"));
        const qint64 n = since.isEmpty() ? 0 : since.toLongLong(&ok);
        if (!ok || n < 0) return answer(Error(400, QStringLiteral("since is a line number")));
        return answer(Json(historyJson(n)));
    }
    if (path == "/api/live") return openLive(rq, id, std::move(answer));
    if (path == "/api/preview" || path == "/api/check") {
        if (!engine_) return answer(Error(503, QStringLiteral("no engine")));
        const std::vector<AutomationEvent> rows = engine_->scheduler.Events;
        const QString folder = engine_->AppFolder;
        if (path == "/api/check") {
            const QStringList settingsProblems = CheckSettings(engine_->settings);
            return answerLater(
                [rows, folder, settingsProblems] {
                    return Json(CheckJson(CheckSchedule(rows, folder), rows.size(), settingsProblems).object());
                },
                std::move(answer));
        }
        bool ok = true;
        const QString given = rq.query.queryItemValue(QStringLiteral("hours"));
        const int hours = given.isEmpty() ? 24 : given.toInt(&ok);
        if (!ok || hours < 1 || hours > 24 * 31) return answer(Error(400, QStringLiteral("hours is 1 to 744")));
        const QDateTime now = engine_->clock.now();
        const QTimeZone zone = engine_->clock.zone();
        return answerLater(
            [rows, now, zone, hours] {
                SchedulePreview p = PreviewSchedule(rows, now, (hours + 23) / 24 + 1, zone);
                const QDateTime until = now.addSecs(hours * 3600LL);
                std::erase_if(p.timed, [&](const TimedEntry& e) { return e.at > until; });
                p.to = until;
                return Json(PreviewJson(p).object());
            },
            std::move(answer));
    }
    if (path == "/api/logs") return logs(rq, std::move(answer));
    return answer(Error(404, QStringLiteral("no such page")));
}

void WebConsole::signIn(const HttpRequest& rq, const QHostAddress& peer, Answer answer) {
    // From this console's own page only: a JSON body (a cross-site form cannot send one without
    // asking first), and an Origin, when given, that is this console.
    if (!rq.header("content-type").startsWith("application/json"))
        return answer(Error(415, QStringLiteral("a sign-in is JSON")));
    const QByteArray origin = rq.header("origin");
    if (!origin.isEmpty()) {
        const qsizetype scheme = origin.indexOf("://");
        if (scheme < 0 || !hostAllowed(origin.mid(scheme + 3)))
            return answer(Error(403, QStringLiteral("a sign-in comes from the console's own page")));
    }
    const QJsonObject body = QJsonDocument::fromJson(rq.body).object();
    const QString user = body.value(QStringLiteral("user")).toString();
    const QByteArray password = body.value(QStringLiteral("password")).toString().toUtf8();
    if (!ValidUserName(user) || password.isEmpty() || password.size() > 1024)
        return answer(Error(400, QStringLiteral("a sign-in needs a user and a password")));
    const qint64 wait = sessions_->lockedFor(user, peer, nowMs());
    if (wait > 0) {
        HttpReply r = Error(429, QStringLiteral("too many failed sign-ins: try again in %1 s").arg((wait + 999) / 1000));
        r.set("Retry-After", QByteArray::number((wait + 999) / 1000));
        return answer(r);
    }
    if (signInsInFlight_ >= kMaxSignInsInFlight) {
        HttpReply r = Error(503, QStringLiteral("busy: try again"));
        r.set("Retry-After", "1");
        return answer(r);
    }
    ++signInsInFlight_;
    const QString usersFile = engine_ ? engine_->AppFolder + kUsersFileName : QString();
    QPointer<WebConsole> self(this);
    workers_.start([self, usersFile, user, password, peer, answer = std::move(answer)]() mutable {
        std::vector<User> users;
        QString error;
        std::optional<Role> role;
        const bool readable = ReadUsers(usersFile, users, error);
        // A name that is not there costs a hash too, so that the answer's time does not tell.
        QByteArray hash;
        for (const User& u : users)
            if (u.name == user) {
                hash = u.hash;
                role = u.role;
            }
        static const QByteArray dummy = HashPassword("not a password of anyone");
        const bool match = PasswordMatches(hash.isEmpty() ? dummy : hash, password) && role.has_value();
        QMetaObject::invokeMethod(
            self.data(),
            [self, readable, error, match, role, user, peer, answer = std::move(answer)] {
                if (!self) return;
                WebConsole& c = *self;
                --c.signInsInFlight_;
                if (!readable) return answer(Error(500, QStringLiteral("the users file: ") + error));
                if (!match) {
                    c.sessions_->failed(user, peer, c.nowMs());
                    return answer(Error(401, QStringLiteral("wrong user name or password")));
                }
                c.sessions_->succeeded(user, peer);
                QByteArray token;
                const Session& s = c.sessions_->open(user, *role, c.nowMs(), token);
                HttpReply r = Json({{QStringLiteral("user"), user},
                                    {QStringLiteral("role"), RoleName(*role)},
                                    {QStringLiteral("csrf"), QString::fromLatin1(s.csrf)}});
                r.set("Set-Cookie", kSessionCookie + '=' + token + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                                    QByteArray::number(c.sessions_->idleMs() / 1000) +
                                                    (c.server_->tls() ? "; Secure" : ""));
                answer(r);
            },
            Qt::QueuedConnection);
    });
}

void WebConsole::openLive(const HttpRequest& rq, HttpServer::ConnectionId id, Answer answer) {
    bool ok = true;
    QString since = QString::fromUtf8(rq.header("last-event-id"));
    if (since.isEmpty()) since = rq.query.queryItemValue(QStringLiteral("since"));
    const qint64 n = since.isEmpty() ? seq_ : since.toLongLong(&ok);
    if (!ok || n < 0) return answer(Error(400, QStringLiteral("since is a line number")));
    HttpReply r;
    r.stream = true;
    r.set("Content-Type", "text/event-stream");
    r.set("X-Accel-Buffering", "no");  // a reverse proxy passes each event at once
    r.body = "retry: 1000\nevent: status\ndata: " + JsonBytes(statusJson()) + "\n\n";
    if (n < seq_) r.body += "id: " + QByteArray::number(seq_) + "\nevent: history\ndata: " + JsonBytes(historyJson(n)) + "\n\n";
    answer(std::move(r));
    streams_.insert(id);
}

void WebConsole::answerLater(std::function<HttpReply()> work, Answer answer) {
    if (jobsInFlight_ >= kMaxJobsInFlight) {
        HttpReply r = Error(503, QStringLiteral("busy: try again"));
        r.set("Retry-After", "1");
        return answer(r);
    }
    ++jobsInFlight_;
    QPointer<WebConsole> self(this);
    workers_.start([self, work = std::move(work), answer = std::move(answer)]() mutable {
        HttpReply reply = work();
        QMetaObject::invokeMethod(
            self.data(),
            [self, reply = std::move(reply), answer = std::move(answer)]() mutable {
                if (!self) return;
                --self->jobsInFlight_;
                answer(std::move(reply));
            },
            Qt::QueuedConnection);
    });
}

void WebConsole::logs(const HttpRequest& rq, Answer answer) {
    if (!engine_) return answer(Error(503, QStringLiteral("no engine")));
    const QString which = rq.query.queryItemValue(QStringLiteral("log"));
    const QString day = rq.query.queryItemValue(QStringLiteral("day"));
    const QString filter = rq.query.queryItemValue(QStringLiteral("filter")).left(200);
    const bool download = rq.query.queryItemValue(QStringLiteral("download")) == QLatin1String("1");
    static const QRegularExpression dayRe(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (!day.isEmpty() && !dayRe.match(day).hasMatch()) return answer(Error(400, QStringLiteral("day is yyyy-MM-dd")));
    const QString folder = engine_->AppFolder;
    QStringList files;
    if (which == QLatin1String("activity")) {
        // The day's archive when the activity log is archived daily, and the current file.
        const QDate d = QDate::fromString(day, Qt::ISODate);
        if (d.isValid()) files << folder + ArchiveFileName(QDateTime(d, QTime(12, 0)));
        files << folder + kActivityLogName;
    } else if (which == QLatin1String("error")) {
        files << folder + kPreviousErrorLogName << folder + kErrorLogName;
    } else {
        return answer(Error(400, QStringLiteral("log is activity or error")));
    }
    files.removeDuplicates();
    // Each log begins its lines with the local date in its own form: the start of a line the
    // log would write on that day.
    QString dayStamp;
    if (const QDate d = QDate::fromString(day, Qt::ISODate); d.isValid()) {
        const QDateTime noon(d, QTime(12, 0));
        if (which == QLatin1String("activity")) {
            const QString line = ActivityLogLine(noon, QString());
            dayStamp = line.left(line.indexOf(QLatin1String(" - ")) + 3);
        } else {
            const QString line = ErrorLogLine(noon, QString(), QString());
            dayStamp = line.left(line.indexOf(QLatin1Char(' ')) + 1);
        }
    }
    answerLater(
        [files, dayStamp, filter, download, which, day] {
            bool cut = false;
            HttpReply r = Text(200, ReadLogLines(files, dayStamp, filter, download ? 0 : kMaxLogLines, cut));
            if (download) {
                const QString name =
                    (which == QLatin1String("activity") ? QStringLiteral("activity") : QStringLiteral("errors")) +
                    (day.isEmpty() ? QString() : QLatin1Char('-') + day) + QStringLiteral(".txt");
                r.set("Content-Disposition", "attachment; filename=\"" + name.toUtf8() + '"');
            }
            if (cut) r.set("X-Lines-Cut", "1");
            return r;
        },
        std::move(answer));
}

}  // namespace tarvo::web
