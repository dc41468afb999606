// The real tarvo-engined under a faked wall clock: each start begins at a moment the test
// chooses (libfaketime, "@YYYY-MM-DD HH:MM:SS" in a fixed zone) while the tick counter stays
// real, so a test can stop it with kill -9 or SIGTERM and start it again minutes or days later
// without waiting for them. Beside it: loopback peers that note when each message arrived, rows
// that send their title, and the activity log read back with its stamps.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimeZone>
#include <QUdpSocket>

#include "logs/logs.h"
#include "support/test_support.h"
#include "switcher/loop_wait.h"

namespace tarvo::test {

inline const QString kFakeTimeLibrary =
    QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");
// December in Helsinki: two hours ahead of UTC, no change of the clock for months.
inline const QByteArray kFakedZone = "Europe/Helsinki";
inline const QString kPreviousRunPrefix =
    QStringLiteral("Previous Run Ended Without Program Exit - Last Written ");
inline const QString kNotRepeatedSuffix = QStringLiteral(" interrupted - Not Repeated");
inline const QString kMissedSuffix = QStringLiteral(" not executed - Missed");

inline bool FakeTimeAvailable() { return QFileInfo::exists(kFakeTimeLibrary); }
inline QTimeZone FakedZone() { return QTimeZone(kFakedZone); }
inline QDateTime FakedMoment(const QDate& d, const QTime& t) { return QDateTime(d, t, FakedZone()); }

// Milliseconds on one steady clock of the test, shared by the engines and the peers.
inline qint64 SteadyMs() {
    static QElapsedTimer since = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return since.elapsed();
}

// The stamp the activity log gives a moment ("Wed, Dec 16, 2026 - 09:59:57").
inline QString ActivityStamp(const QDateTime& at) {
    return ActivityLogLine(at.toTimeZone(FakedZone()), QString()).left(35).trimmed();
}

// Whether `stamp` is the activity log's stamp of a second from `from` to `to`.
inline bool StampWithin(const QString& stamp, const QDateTime& from, const QDateTime& to) {
    for (QDateTime t = from.addMSecs(-from.time().msec()); t <= to; t = t.addSecs(1))
        if (ActivityStamp(t) == stamp) return true;
    return false;
}

struct ActivityLine {
    QString stamp;
    QString text;
};

// Every line of the activity log after its banner, archives first (oldest first).
inline std::vector<ActivityLine> ReadActivity(const QString& folder) {
    QStringList files;
    for (const QFileInfo& a : QDir(folder).entryInfoList({QStringLiteral("Tally *.dat")},
                                                         QDir::Files, QDir::Time | QDir::Reversed))
        files << a.filePath();
    files << folder + kActivityLogName;
    std::vector<ActivityLine> out;
    const QString dashes(80, QLatin1Char('-'));
    for (const QString& path : files) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) continue;
        bool body = false;
        for (const QString& l : QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"))) {
            if (!body) {
                body = l.startsWith(dashes);
                continue;
            }
            if (!l.isEmpty()) out.push_back({l.left(35).trimmed(), l.mid(35)});
        }
    }
    return out;
}

inline QStringList Texts(const std::vector<ActivityLine>& lines) {
    QStringList out;
    for (const ActivityLine& l : lines) out << l.text;
    return out;
}

// The lines of each start, each list beginning with its "Program Start".
inline std::vector<std::vector<ActivityLine>> ByStart(const std::vector<ActivityLine>& lines) {
    std::vector<std::vector<ActivityLine>> out;
    for (const ActivityLine& l : lines) {
        if (l.text == QLatin1String("Program Start") || out.empty()) out.emplace_back();
        out.back().push_back(l);
    }
    return out;
}

// A timed row whose one action is a UDP datagram carrying `message` (the title unless given)
// to a peer on this machine.
inline Row UdpRow(int number, const QDateTime& at, const QString& title, int active, quint16 port,
                  int delay = 0, const QString& message = QString()) {
    const QDateTime local = at.toTimeZone(FakedZone());
    Row r = TimedRow(number, local.date().dayOfWeek() - 1, local.time().toString(QStringLiteral("hh:mm:ss")),
                     title, active);
    r["Delay"] = delay;
    r["mcontrol"] = 1;
    r["mtype"] = 4;
    r["Message"] = message.isEmpty() ? title : message;
    r["MIPAddress"] = QStringLiteral("127.0.0.1");
    r["MIPPort"] = static_cast<int>(port);
    return r;
}

// The same with a TCP message.
inline Row TcpRow(int number, const QDateTime& at, const QString& title, int active, quint16 port,
                  int delay = 0, const QString& message = QString()) {
    Row r = UdpRow(number, at, title, active, port, delay, message);
    r["mtype"] = 1;
    return r;
}

// Points the database at the simulator and refuses to go on unless every peer it names, the
// switchers and every row's message peer, is on this machine.
inline ::testing::AssertionResult UseLoopbackOnly(const Folder& folder, quint16 switcherPort) {
    folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1, "
                              "SlaveIPAddr = '0.0.0.0'")
                   .arg(switcherPort));
    const qlonglong elsewhere =
        folder
            .query(QStringLiteral(
                "SELECT COUNT(*) FROM Automation WHERE (IFNULL(mcontrol, 0) <> 0 AND "
                "IFNULL(MIPAddress, '') <> '127.0.0.1') OR IFNULL(MIPAddress, '0.0.0.0') NOT IN "
                "('0.0.0.0', '127.0.0.1')"))
            .toLongLong();
    const QString server = folder.query(QStringLiteral("SELECT IPAddr FROM Server")).toString();
    const QString slave = folder.query(QStringLiteral("SELECT SlaveIPAddr FROM Server")).toString();
    if (elsewhere != 0 || server != QLatin1String("127.0.0.1") || slave != QLatin1String("0.0.0.0"))
        return ::testing::AssertionFailure()
               << elsewhere << " rows with a peer elsewhere; switcher " << server.toStdString()
               << ", slave " << slave.toStdString();
    return ::testing::AssertionSuccess();
}

// One program folder's engine, started as often as a test likes, each start at its own faked
// moment. Its standard output is kept per start.
class FakedEngine {
  public:
    explicit FakedEngine(QString folder) : folder_(std::move(folder)) {
        proc_.setProgram(QStringLiteral(TARVO_BINARY_DIR "/bin/tarvo-engined"));
        proc_.setArguments({folder_});
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] { readOutput(); });
    }
    ~FakedEngine() {
        if (running()) kill();
    }
    FakedEngine(const FakedEngine&) = delete;
    FakedEngine& operator=(const FakedEngine&) = delete;

    // Starts the engine with its wall clock at `faked` (whole seconds) from this moment on.
    bool start(const QDateTime& faked) {
        out.clear();
        pending_.clear();
        fakedStart_ = faked.toTimeZone(FakedZone());
        fakedStart_ = fakedStart_.addMSecs(-fakedStart_.time().msec());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TZ"), QString::fromLatin1(kFakedZone));
        env.insert(QStringLiteral("FAKETIME"),
                   QLatin1Char('@') + fakedStart_.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
        env.insert(QStringLiteral("LD_PRELOAD"), kFakeTimeLibrary);
        // A sanitizer build wants its runtime first among the libraries; the preload comes first
        // here on purpose.
        const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) +
                       QStringLiteral("verify_asan_link_order=0"));
        env.remove(QStringLiteral("NOTIFY_SOCKET"));
        env.remove(QStringLiteral("WATCHDOG_USEC"));
        proc_.setProcessEnvironment(env);
        // The faked clock starts when the library loads, a moment after this: the estimate
        // below runs that moment ahead of the engine's clock, never behind it.
        realStart_ = SteadyMs();
        proc_.start();
        starts += 1;
        return proc_.waitForStarted(10000);
    }

    // The engine's clock now, and at a moment of the test's steady clock.
    QDateTime fakedNow() const { return fakedAt(SteadyMs()); }
    QDateTime fakedAt(qint64 steadyMs) const { return fakedStart_.addMSecs(steadyMs - realStart_); }
    QDateTime fakedStart() const { return fakedStart_; }
    // The test's steady clock when the engine's clock reads `faked`.
    qint64 steadyAt(const QDateTime& faked) const { return realStart_ + fakedStart_.msecsTo(faked); }

    bool running() const { return proc_.state() != QProcess::NotRunning; }
    qint64 pid() const { return proc_.processId(); }

    // Waits until the engine's clock reads `faked` or `until` holds; false when the engine
    // ended first.
    bool waitUntilFaked(const QDateTime& faked, const std::function<bool()>& until = {}) {
        const qint64 ms = std::max<qint64>(0, fakedNow().msecsTo(faked)) + 1000;
        waitUntil([&] { return !running() || fakedNow() >= faked || (until && until()); },
                  static_cast<int>(std::min<qint64>(ms, 600000)));
        return running();
    }
    // A line of this start's standard output that begins with `prefix`.
    bool saidLine(const QString& prefix) const {
        for (const QString& l : out)
            if (l.startsWith(prefix)) return true;
        return false;
    }
    bool waitForLine(const QString& prefix, int ms = kPatienceMs) {
        return waitUntil([&] { return saidLine(prefix) || !running(); }, ms) && saidLine(prefix);
    }
    // The schedule is loaded (the next event is shown) and the switcher answers.
    bool waitUntilConnected(int ms = kPatienceMs) {
        return waitForLine(QStringLiteral("next: "), ms) &&
               waitForLine(QStringLiteral("caption: Tarvo Automation - Switcher Connected"), ms);
    }

    // SIGKILL: the engine writes nothing more.
    void kill() {
        proc_.kill();
        proc_.waitForFinished(10000);
        readOutput();
    }
    // SIGTERM: the engine ends in order; true when it left with exit code 0.
    bool terminate() {
        proc_.terminate();
        if (!proc_.waitForFinished(20000)) {
            kill();
            return false;
        }
        readOutput();
        return proc_.exitStatus() == QProcess::NormalExit && proc_.exitCode() == 0;
    }

    QStringList out;  // this start's standard output, line by line
    int starts = 0;

  private:
    void readOutput() {
        pending_ += proc_.readAllStandardOutput();
        qsizetype eol;
        while ((eol = pending_.indexOf('\n')) >= 0) {
            out << QString::fromUtf8(pending_.left(eol));
            pending_.remove(0, eol + 1);
        }
    }

    QString folder_;
    QProcess proc_;
    QByteArray pending_;
    QDateTime fakedStart_;
    qint64 realStart_ = 0;
};

// The test's UDP peer: every datagram with the moment it arrived.
class DatagramListener {
  public:
    DatagramListener() {
        ok = sock_.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&sock_, &QUdpSocket::readyRead, [this] {
            while (sock_.hasPendingDatagrams()) got.emplace_back(sock_.receiveDatagram().data(), SteadyMs());
        });
    }
    quint16 port() const { return sock_.localPort(); }
    int count(const QByteArray& payload) const {
        int n = 0;
        for (const auto& g : got) n += g.first == payload ? 1 : 0;
        return n;
    }
    // When `payload` first arrived (-1: never).
    qint64 arrival(const QByteArray& payload) const {
        for (const auto& g : got)
            if (g.first == payload) return g.second;
        return -1;
    }

    bool ok = false;
    std::vector<std::pair<QByteArray, qint64>> got;

  private:
    QUdpSocket sock_;
};

// The test's TCP peer: what each connection brought, and when its first bytes arrived.
class StreamListener {
  public:
    struct Connection {
        QByteArray bytes;
        qint64 firstByteAt = -1;
    };
    StreamListener() {
        ok = server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* c = server_.nextPendingConnection()) {
                const std::size_t index = connections.size();
                connections.emplace_back();
                QObject::connect(c, &QTcpSocket::readyRead, c, [this, c, index] {
                    Connection& conn = connections[index];
                    if (conn.firstByteAt < 0) conn.firstByteAt = SteadyMs();
                    conn.bytes += c->readAll();
                    if (onBytes) onBytes(conn);
                });
                QObject::connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }
    int count(const QByteArray& payload) const {
        int n = 0;
        for (const Connection& c : connections) n += c.bytes == payload ? 1 : 0;
        return n;
    }

    bool ok = false;
    std::vector<Connection> connections;
    std::function<void(const Connection&)> onBytes;

  private:
    QTcpServer server_;
};

}  // namespace tarvo::test
