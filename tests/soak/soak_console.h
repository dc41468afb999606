// The soak's web console user: signs in after every start of the engine, polls the health,
// metrics and status answers, keeps the live stream open, and now and then renames a row through
// the editor. What it saw is judged with the rest of the soak's record.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>

#include <QByteArray>
#include <QDateTime>
#include <QNetworkAccessManager>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace tarvo::soak {

struct ConsoleFigures {
    int polls = 0, answered = 0, healthy = 0, unhealthy = 0, metrics = 0;
    int signIns = 0;
    int streams = 0;             // live streams opened
    qint64 streamEvents = 0;     // status and history events received
    std::map<int, std::set<qint64>> streamedLines;  // per start: the history line numbers streamed
    int editsSent = 0, editsAnswered = 0, editsSaved = 0, editsStale = 0, editsBusy = 0;
    QString lastSavedTitle;      // the title of the last edit the editor answered 200 to
    QStringList unanswered;      // titles sent whose answer a kill cut off, after the last saved
    QDateTime stoppedAt;
    QStringList faults;          // what a working console must never do
};

class SoakConsole {
  public:
    // `user` must be an editor of the engine's folder; `webRow` the Number of the row it renames.
    SoakConsole(QString user, QString password, int webRow, int pollEverySec, int editEverySec);
    ~SoakConsole();

    // The engine's start number `start` listens on `port`; polling, streaming and editing begin.
    void engineStarted(int start, quint16 port);
    // The engine is about to be killed or stopped: what is in flight fails without blame.
    void engineGone();
    void stop();
    const ConsoleFigures& figures() const { return f_; }

  private:
    struct Request;
    void send(const QByteArray& method, const QString& path, const QByteArray& body,
              std::function<void(int status, const QByteArray& body)> done, bool streaming = false);
    void signIn();
    void poll();
    void openStream();
    void edit();
    void fault(const QString& what);

    QString user_, password_;
    int webRow_;
    QNetworkAccessManager nam_;
    QTimer pollTimer_, editTimer_, streamRetry_;
    int start_ = -1;  // the start the console talks to, -1 while the engine is away
    quint16 port_ = 0;
    QByteArray cookie_, csrf_;
    bool signingIn_ = false;
    class QNetworkReply* stream_ = nullptr;
    QByteArray streamPending_;
    bool editing_ = false;
    int editCount_ = 0;
    ConsoleFigures f_;
};

}  // namespace tarvo::soak
