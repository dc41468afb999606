// The web console: the engine seen from a browser, and a JSON API for other tools. It is the
// engine's view (what the window would show passes through it to the program's own view) and a
// listener on the engine's loop. Nothing here waits: password hashes, the schedule's check and
// preview and the reading of logs are done off the loop and answered when they are ready.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include "base/status_view.h"
#include "http_server.h"
#include "sessions.h"

namespace tarvo {
class Engine;
}

namespace tarvo::web {

struct ConsoleSettings {
    ServerSettings server;
    // Host names (with or without a port) the console answers to besides its own address,
    // localhost and 127.0.0.1: the names a reverse proxy or the operators use.
    QStringList hosts;
    QByteArray metricsToken;  // empty: /metrics open to all who reach it
    qint64 sessionIdleMs = 8 * 3600 * 1000LL;
    qint64 sessionLifeMs = 24 * 3600 * 1000LL;
};

// A JSON answer, and an error answer {"error": text}; shared by the console's routes.
QByteArray JsonBytes(const QJsonObject& o);
HttpReply Json(const QJsonObject& o, int status = 200);
HttpReply Error(int status, const QString& text);

// One history line as the console keeps it.
struct HistoryEntry {
    qint64 seq = 0;
    QString at;  // local date and time it was shown, ISO 8601
    ListLine line;
    bool red = false;
};

// The parts of the answer the engine's state gives; the programs fill them in with functions of
// the engine (metrics and health live with the engine).
struct ConsoleProbes {
    std::function<QByteArray()> metrics;
    // Empty when healthy, else the reason.
    std::function<QString()> unhealthy;
};

class WebConsole : public QObject, public StatusView {
    Q_OBJECT
public:
    static constexpr std::size_t kHistoryKept = 2000;

    explicit WebConsole(StatusView& inner, QObject* parent = nullptr);
    ~WebConsole() override;

    // The engine it shows; set once, before listen().
    void attach(Engine& engine, ConsoleProbes probes);
    bool listen(const ConsoleSettings& settings, QString& error);
    quint16 port() const { return server_ ? server_->port() : 0; }
    QString address() const;

    // StatusView: recorded here and passed on.
    void setCaption(const QString& caption) override;
    void setIcon(LinkIcon icon) override;
    void setStatusPanel(int panel, const QString& text) override;
    void addHistoryLine(const ListLine& line, bool red) override;
    void showNextEvent(const ListLine& line) override;
    void showNextEventDate(const QDate& date) override;
    void showError(const QString& text, const QString& caption) override;
    void minimise() override;
    void databaseLoaded() override;
    void databaseUnreadable(const QString& reason) override;

    QJsonObject statusJson() const;
    QJsonObject historyJson(qint64 since) const;

private:
    using Answer = HttpServer::Answer;
    void handle(const HttpRequest& rq, const QHostAddress& peer, HttpServer::ConnectionId id, Answer answer);
    void route(const HttpRequest& rq, const QHostAddress& peer, HttpServer::ConnectionId id, Answer answer);
    void signIn(const HttpRequest& rq, const QHostAddress& peer, Answer answer);
    void openLive(const HttpRequest& rq, HttpServer::ConnectionId id, Answer answer);
    // Runs `work` off the loop (it touches nothing of the engine's) and answers with its reply.
    void answerLater(std::function<HttpReply()> work, Answer answer);
    void logs(const HttpRequest& rq, Answer answer);
    // The editor's routes (/api/events, /api/changes): editor.cpp.
    void editor(const HttpRequest& rq, const QString& user, Role role, Answer answer);
    void pushStatus();
    void pushToStreams(const QByteArray& bytes);
    bool hostAllowed(const QByteArray& host) const;
    qint64 nowMs() const { return uptime_.elapsed(); }
    HttpReply withHeaders(HttpReply r, bool api) const;

    StatusView& inner_;
    Engine* engine_ = nullptr;
    ConsoleProbes probes_;
    ConsoleSettings settings_;
    std::unique_ptr<HttpServer> server_;
    std::unique_ptr<Sessions> sessions_;
    QElapsedTimer uptime_;
    // Work off the loop: a pool of its own, so that a slow hash never waits behind other users
    // of Qt's global pool.
    QThreadPool workers_;

    // What the window shows.
    QString caption_;
    bool iconConnected_ = false;
    QString panels_[4];
    ListLine next_;
    QDate nextDate_;
    QString unreadable_;
    std::deque<HistoryEntry> history_;
    qint64 seq_ = 0;

    // Link states as last seen, and since when (ISO 8601, local).
    struct Lamp {
        bool known = false;
        bool up = false;
        QString since;
    };
    Lamp master_, slave_;
    void sampleLinks();

    // Live streams, each with the history sequence it has.
    std::set<HttpServer::ConnectionId> streams_;
    QByteArray lastStatus_;
    QTimer sampler_;
    QTimer heartbeat_;
    int signInsInFlight_ = 0;
    int jobsInFlight_ = 0;
};

}  // namespace tarvo::web
