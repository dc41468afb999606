#include "sim_switcher.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>

#include <QDateTime>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "switcher/codec.h"

namespace tarvo::sim {

namespace {

constexpr int kOptoKind = 30;
constexpr int kRelayKind = 40;
constexpr int kMaxSources = 65;
constexpr int kMomentaryMs = 500;

// Command codes of the 0xFE command, without the command and option bits.
enum : int {
    kTake = 4,
    kPriorityTake = 5,
    kSumOff = 32,
    kPrioritySumOff = 33,
    kSumOn = 36,
    kPrioritySumOn = 37,
    kRelayRelease = 64,
    kRelayLatch = 68,
    kRelayMomentary = 72,
    kOptoOff = 96,
    kOptoOn = 100,
};

}  // namespace

QByteArray MapFrame(const std::vector<std::vector<int>>& sources, int first, int count) {
    FrameBuilder b(0xF6);
    b.byte(0).num14(count).num14(first);
    for (int o = first; o < first + count; ++o) {
        const std::vector<int>& s = sources.at(static_cast<std::size_t>(o));
        b.num14(static_cast<int>(s.size())).byte(0);
        for (int src : s) b.num14(src).num14(0);
    }
    return b.finish();
}

QByteArray TakeReportFrame(int command, int source, int output) {
    return FrameBuilder(0xFE).num14(command).num14(source).num14(output).finish();
}

QByteArray StateFrame(int kind, const std::vector<std::pair<int, int>>& entries) {
    FrameBuilder b(0xF7);
    b.byte(kind).num14(static_cast<int>(entries.size()));
    for (const auto& [number, state] : entries) b.num14(number).byte(state);
    return b.finish();
}

QByteArray IdentRequestFrame() {
    return FrameBuilder(0x81).byte(100).finish();
}

QByteArray IdentAnswerFrame() {
    return FrameBuilder(0x81).num14(125).finish();
}

QString Hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

std::optional<QByteArray> ParseHex(const QString& text) {
    QString digits = text;
    digits.remove(QLatin1Char(' '));
    if (digits.size() % 2 != 0) return std::nullopt;
    for (QChar c : digits)
        if (!std::isxdigit(c.toLatin1())) return std::nullopt;
    return QByteArray::fromHex(digits.toLatin1());
}

SimSwitcher::SimSwitcher(const Options& options, std::FILE* out)
    : options_(options),
      out_(out),
      server_(new QTcpServer(this)),
      chaosTimer_(new QTimer(this)),
      muteTimer_(new QTimer(this)),
      pauseTimer_(new QTimer(this)),
      floodTimer_(new QTimer(this)) {
    const int sources = std::max(1, options_.sources);
    map_.resize(static_cast<std::size_t>(std::max(1, options_.outputs)));
    // Every output starts fed by one source, so that the map is never empty.
    for (std::size_t o = 0; o < map_.size(); ++o)
        map_[o] = {static_cast<int>(o % static_cast<std::size_t>(sources))};
    optos_.assign(static_cast<std::size_t>(std::max(1, options_.optos)), 0);
    relays_.assign(static_cast<std::size_t>(std::max(1, options_.relays)), 0);
    connect(server_, &QTcpServer::newConnection, this, &SimSwitcher::onNewConnection);
    for (QTimer* t : {chaosTimer_, muteTimer_, pauseTimer_, floodTimer_}) t->setSingleShot(true);
    connect(floodTimer_, &QTimer::timeout, this, [this] {
        floodChunk_.clear();
        print(QStringLiteral("FLOOD done %1 bytes").arg(std::exchange(floodSent_, 0)));
    });
    connect(chaosTimer_, &QTimer::timeout, this, [this] {
        runChaos(nextStep_);
        scheduleChaos();
    });
    connect(muteTimer_, &QTimer::timeout, this, [this] {
        muted_ = false;
        print(QStringLiteral("CHAOS talk again"));
    });
    connect(pauseTimer_, &QTimer::timeout, this, &SimSwitcher::resumeReading);
}

SimSwitcher::~SimSwitcher() = default;

bool SimSwitcher::start(QString* error) {
    if (!server_->listen(options_.listen, options_.port)) {
        if (error) *error = server_->errorString();
        return false;
    }
    print(
        QStringLiteral("LISTEN %1 %2").arg(options_.listen.toString()).arg(server_->serverPort()));
    if (options_.chaosAtStart) chaosOn(std::nullopt);
    return true;
}

quint16 SimSwitcher::port() const {
    return server_->serverPort();
}

void SimSwitcher::print(const QString& line) {
    const QString stamped =
        QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz ")) + line + '\n';
    std::fputs(stamped.toUtf8().constData(), out_);
    std::fflush(out_);
}

void SimSwitcher::onNewConnection() {
    while (QTcpSocket* c = server_->nextPendingConnection()) {
        clients_.push_back(c);
        c->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (paused_) c->setReadBufferSize(1);
        print(QStringLiteral("CONNECT %1:%2").arg(c->peerAddress().toString()).arg(c->peerPort()));
        connect(c, &QTcpSocket::readyRead, this, [this, c] { onData(c); });
        connect(c, &QTcpSocket::bytesWritten, this, [this, c] { feedFlood(c); });
        connect(c, &QTcpSocket::disconnected, this, [this, c] {
            print(QStringLiteral("DISCONNECT"));
            clients_.erase(std::remove(clients_.begin(), clients_.end(), c), clients_.end());
            rx_.remove(c);
            floodOwed_.remove(c);
            c->deleteLater();
        });
        // The server says at once whether its switcher is there, unless it is one that speaks
        // only when spoken to.
        if (!options_.quiet) send(c, QByteArray(1, static_cast<char>(absent_ ? kSwitcherAbsent : kPingAnswer)));
        feedFlood(c);
    }
}

void SimSwitcher::onData(QTcpSocket* client) {
    if (paused_) return;  // left in the socket, so that the engine's writes back up
    QByteArray& buffer = rx_[client];
    buffer.append(client->readAll());
    for (;;) {
        RxStep step = NextRxStep(rx_[client]);
        switch (step.kind) {
            case RxStep::Empty:
            case RxStep::Waiting:
                return;
            case RxStep::Garbage:
                print(QStringLiteral("GARBAGE %1 bytes").arg(step.count));
                continue;
            case RxStep::Incomplete:
                print(QStringLiteral("INCOMPLETE %1")
                          .arg(step.type, 2, 16, QLatin1Char('0'))
                          .toUpper());
                continue;
            case RxStep::Control:
                onUnit(client, step.type, QByteArray(1, static_cast<char>(step.type)));
                continue;
            case RxStep::Frame:
                onUnit(client, step.type, step.frame);
                continue;
        }
    }
}

void SimSwitcher::onUnit(QTcpSocket* client, uint8_t type, const QByteArray& frame) {
    const bool ping = type == kPing || type == kPingAnswer;
    // The answers to a flood are counted, not printed one by one.
    if (type == 0x81 && floodOwed_.value(client) > 0 && frame == IdentAnswerFrame()) {
        floodOwed_[client] -= 1;
        ++floodAnswered_;
        return;
    }
    if (!ping || options_.printPings) print(QStringLiteral("RX ") + Hex(frame));
    if (frame.size() > 1 && !FrameChecksumOk(frame)) {
        print(QStringLiteral("BAD CHECKSUM"));
        return;
    }
    switch (type) {
        case kPing:
            if (!silent_)
                send(client,
                     QByteArray(1, static_cast<char>(absent_ ? kSwitcherAbsent : kPingAnswer)));
            return;
        case 0xF2:  // info request: the whole map
            if (frame.size() == 13) sendMap(client);
            return;
        case 0xFE:
            applyCommand(frame);
            return;
        default:
            return;  // identity answers, salvos, gains, uploads: recorded only
    }
}

void SimSwitcher::applyCommand(const QByteArray& frame) {
    if (frame.size() != 9) return;
    const int command = Read14(frame, 1) & ~(0x400 | 0x2000);
    const int a = Read14(frame, 3);
    const int b = Read14(frame, 5);
    const auto outputOk = [&](int o) { return o >= 0 && o < static_cast<int>(map_.size()); };
    switch (command) {
        case kTake:
        case kPriorityTake:
            if (!outputOk(b) || ignoreTakes_) break;
            map_[static_cast<std::size_t>(b)] = {a};
            if (options_.takeReports == Options::TakeReports::None) return;
            broadcast(TakeReportFrame(options_.takeReports == Options::TakeReports::AsSent ? command : kTake, a, b));
            return;
        case kSumOn:
        case kPrioritySumOn: {
            if (!outputOk(b)) break;
            auto& s = map_[static_cast<std::size_t>(b)];
            if (std::find(s.begin(), s.end(), a) == s.end() &&
                static_cast<int>(s.size()) < kMaxSources)
                s.push_back(a);
            broadcast(MapFrame(map_, b, 1));
            return;
        }
        case kSumOff:
        case kPrioritySumOff: {
            if (!outputOk(b)) break;
            auto& s = map_[static_cast<std::size_t>(b)];
            s.erase(std::remove(s.begin(), s.end(), a), s.end());
            broadcast(MapFrame(map_, b, 1));
            return;
        }
        case kRelayLatch:
            setState(kRelayKind, b, 1);
            return;
        case kRelayRelease:
            setState(kRelayKind, b, 0);
            return;
        case kRelayMomentary:
            setState(kRelayKind, b, 1);
            QTimer::singleShot(kMomentaryMs, this, [this, b] { setState(kRelayKind, b, 0); });
            return;
        case kOptoOn:
            setState(kOptoKind, a, 1);
            return;
        case kOptoOff:
            setState(kOptoKind, a, 0);
            return;
        default:
            break;
    }
    print(QStringLiteral("IGNORED command %1").arg(command));
}

void SimSwitcher::setState(int kind, int number, int state) {
    std::vector<int>& table = kind == kOptoKind ? optos_ : relays_;
    if (number < 0 || number > kMax14Bit) return;
    if (number >= static_cast<int>(table.size()))
        table.resize(static_cast<std::size_t>(number) + 1, 0);
    table[static_cast<std::size_t>(number)] = state;
    broadcast(StateFrame(kind, {{number, state}}));
}

void SimSwitcher::send(QTcpSocket* client, const QByteArray& bytes) {
    if (muted_) return;
    const bool ping = bytes.size() == 1 && (static_cast<uint8_t>(bytes[0]) == kPing ||
                                            static_cast<uint8_t>(bytes[0]) == kPingAnswer);
    if (!ping || options_.printPings) print(QStringLiteral("TX ") + Hex(bytes));
    client->write(bytes);
    client->flush();
}

void SimSwitcher::sendMap(QTcpSocket* client) {
    const int outputs = static_cast<int>(map_.size());
    if (options_.mapPieces <= 0) {
        send(client, MapFrame(map_, 0, outputs));
        return;
    }
    // The highest outputs first: until the last piece, the engine knows outputs above ones it
    // has not been told of.
    const QPointer<QTcpSocket> to(client);
    int delay = 0;
    for (int end = outputs; end > 0; end -= options_.mapPieces, delay += 1000) {
        const int first = std::max(0, end - options_.mapPieces);
        QTimer::singleShot(delay, this, [this, to, first, end] {
            if (to && static_cast<int>(map_.size()) >= end) send(to, MapFrame(map_, first, end - first));
        });
    }
}

void SimSwitcher::flood(const QByteArray& pattern, int ms) {
    floodChunk_.clear();
    while (floodChunk_.size() < 65536) floodChunk_ += pattern;
    floodSent_ = 0;
    print(QStringLiteral("FLOOD start"));
    floodTimer_->start(ms);
    for (QTcpSocket* c : clients_) feedFlood(c);
}

void SimSwitcher::feedFlood(QTcpSocket* client) {
    // As fast as the engine takes it: the socket is kept a few chunks ahead.
    while (!floodChunk_.isEmpty() && client->state() == QAbstractSocket::ConnectedState &&
           client->bytesToWrite() < 4 * floodChunk_.size()) {
        client->write(floodChunk_);
        floodSent_ += floodChunk_.size();
    }
}

void SimSwitcher::broadcast(const QByteArray& bytes) {
    for (QTcpSocket* c : clients_) send(c, bytes);
}

QString SimSwitcher::control(const QString& line) {
    const QStringList w = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (w.isEmpty()) return {};
    const QString cmd = w[0].toLower();
    auto number = [&](int k, int& out) {
        bool ok = false;
        out = k < w.size() ? w[k].toInt(&ok) : 0;
        return ok;
    };
    auto onOff = [&](int k, int& out) {
        if (k >= w.size()) return false;
        const QString v = w[k].toLower();
        if (v != QLatin1String("on") && v != QLatin1String("off")) return false;
        out = v == QLatin1String("on") ? 1 : 0;
        return true;
    };
    int n = 0, m = 0;
    if ((cmd == QLatin1String("opto") || cmd == QLatin1String("relay")) && w.size() == 3 &&
        number(1, n) && onOff(2, m)) {
        if (n < 1 || n > kMax14Bit + 1) return QStringLiteral("ERR number out of range");
        setState(cmd == QLatin1String("opto") ? kOptoKind : kRelayKind, n - 1, m);
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("take") && w.size() == 3 && number(1, n) && number(2, m)) {
        if (n < 1 || n > kMax14Bit + 1 || m < 1 || m > static_cast<int>(map_.size()))
            return QStringLiteral("ERR source or output out of range");
        map_[static_cast<std::size_t>(m - 1)] = {n - 1};
        broadcast(TakeReportFrame(kTake, n - 1, m - 1));
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("ignore") && w.size() == 2 && w[1] == QLatin1String("takes")) {
        ignoreTakes_ = true;
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("obey") && w.size() == 2 && w[1] == QLatin1String("takes")) {
        ignoreTakes_ = false;
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("silent") && w.size() == 1) {
        silent_ = true;
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("talk") && w.size() == 1) {
        silent_ = false;
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("close") && w.size() == 1) {
        const std::vector<QTcpSocket*> all = clients_;
        for (QTcpSocket* c : all) c->disconnectFromHost();
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("garbage") && w.size() == 2 && number(1, n) && n > 0 && n <= 1 << 20) {
        broadcast(QByteArray(n, '\x2A'));
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("ident") && w.size() == 1) {
        broadcast(IdentRequestFrame());
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("map") && w.size() == 1) {
        broadcast(MapFrame(map_, 0, static_cast<int>(map_.size())));
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("ping") && w.size() == 1) {
        broadcast(QByteArray(1, static_cast<char>(kPing)));
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("present") && w.size() == 1) {
        absent_ = false;
        broadcast(QByteArray(1, static_cast<char>(kPingAnswer)));
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("absent") && w.size() == 1) {
        absent_ = true;
        broadcast(QByteArray(1, static_cast<char>(kSwitcherAbsent)));
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("send") && w.size() >= 2) {
        const std::optional<QByteArray> bytes = ParseHex(w.mid(1).join(QString()));
        if (!bytes || bytes->isEmpty()) return QStringLiteral("ERR bad hex");
        broadcast(*bytes);
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("flood") && w.size() >= 3 && number(1, n) && n > 0 && n <= 600000) {
        const std::optional<QByteArray> bytes = ParseHex(w.mid(2).join(QString()));
        if (!bytes || bytes->isEmpty()) return QStringLiteral("ERR bad hex");
        flood(*bytes, n);
        return QStringLiteral("OK");
    }
    if (cmd == QLatin1String("chaos") && w.size() >= 2) {
        const QString how = w[1].toLower();
        if (how == QLatin1String("on") && w.size() <= 3) {
            std::optional<uint32_t> seed;
            if (w.size() == 3) {
                bool ok = false;
                seed = w[2].toUInt(&ok);
                if (!ok) return QStringLiteral("ERR chaos on [SEED]: SEED is a number");
            }
            chaosOn(seed);
            return QStringLiteral("OK");
        }
        if (how == QLatin1String("off") && w.size() == 2) {
            chaosOff();
            return QStringLiteral("OK");
        }
    }
    if (cmd == QLatin1String("quit") && w.size() == 1) {
        emit quitRequested();
        return QStringLiteral("OK");
    }
    return QStringLiteral("ERR unknown command: ") + line.simplified();
}

void SimSwitcher::chaosOn(std::optional<uint32_t> seed) {
    ChaosOptions o = options_.chaos;
    if (seed) o.seed = *seed;
    o.sources = options_.sources;
    o.outputs = static_cast<int>(map_.size());
    o.optos = options_.optos;
    o.relays = options_.relays;
    plan_ = std::make_unique<ChaosPlan>(o);
    chaosCounts_.clear();
    print(QStringLiteral("CHAOS on seed %1").arg(o.seed));
    scheduleChaos();
}

void SimSwitcher::chaosOff() {
    chaosTimer_->stop();
    plan_.reset();
    if (muted_) {
        muteTimer_->stop();
        muted_ = false;
    }
    if (paused_) {
        pauseTimer_->stop();
        resumeReading();
    }
    QStringList counts;
    for (const auto& [kind, n] : chaosCounts_) counts << QStringLiteral("%1=%2").arg(kind).arg(n);
    print(QStringLiteral("CHAOS off: ") + counts.join(QLatin1Char(' ')) +
          QStringLiteral(" flood-answers=%1").arg(floodAnswered_));
}

void SimSwitcher::scheduleChaos() {
    if (!plan_) return;
    nextStep_ = plan_->next();
    chaosTimer_->start(nextStep_.afterMs);
}

void SimSwitcher::closeClients(bool reset) {
    const std::vector<QTcpSocket*> all = clients_;
    for (QTcpSocket* c : all) {
        if (reset)
            c->abort();
        else
            c->disconnectFromHost();
    }
}

void SimSwitcher::mute(int ms) {
    muted_ = true;
    if (!muteTimer_->isActive() || muteTimer_->remainingTime() < ms) muteTimer_->start(ms);
}

void SimSwitcher::pauseReading(int ms) {
    paused_ = true;
    for (QTcpSocket* c : clients_) c->setReadBufferSize(1);
    if (!pauseTimer_->isActive() || pauseTimer_->remainingTime() < ms) pauseTimer_->start(ms);
}

void SimSwitcher::resumeReading() {
    paused_ = false;
    const std::vector<QTcpSocket*> all = clients_;
    for (QTcpSocket* c : all) {
        c->setReadBufferSize(0);
        onData(c);
    }
    print(QStringLiteral("CHAOS read again"));
}

void SimSwitcher::runChaos(const ChaosStep& step) {
    const QString what = step.describe();
    chaosCounts_[what.section(QLatin1Char(' '), 0, 0)] += 1;
    const bool sends = step.kind != ChaosStep::Disconnect && step.kind != ChaosStep::Silence &&
                       step.kind != ChaosStep::Bounce;
    if (muted_ && sends) {
        // A silent switcher says nothing, whatever happens on it.
        print(QStringLiteral("CHAOS ") + what + QStringLiteral(" (silent)"));
        return;
    }
    print(QStringLiteral("CHAOS ") + what);
    switch (step.kind) {
        case ChaosStep::Disconnect:
            closeClients(step.abort);
            return;
        case ChaosStep::Silence:
            mute(step.durationMs);
            return;
        case ChaosStep::Garbage:
        case ChaosStep::CutFrame:
            broadcast(step.bytes);
            return;
        case ChaosStep::MapBurst:
            for (const auto& [output, sources] : step.outputs) {
                if (output < 0 || output >= static_cast<int>(map_.size())) continue;
                map_[static_cast<std::size_t>(output)] = sources;
                broadcast(MapFrame(map_, output, 1));
            }
            return;
        case ChaosStep::TakeBurst:
        case ChaosStep::OutputBurst:
            for (const auto& [source, output] : step.takes) {
                if (output < 0 || output >= static_cast<int>(map_.size())) continue;
                map_[static_cast<std::size_t>(output)] = {source};
                broadcast(TakeReportFrame(kTake, source, output));
            }
            return;
        case ChaosStep::StateBurst:
            for (const StateChange& c : step.states) setState(c.kind, c.number, c.state);
            return;
        case ChaosStep::StateDump: {
            if (step.states.empty()) return;
            std::vector<std::pair<int, int>> entries;
            const int kind = step.states.front().kind;
            std::vector<int>& table = kind == kOptoKind ? optos_ : relays_;
            for (const StateChange& c : step.states) {
                if (c.number < 0 || c.number > kMax14Bit) continue;
                if (c.number >= static_cast<int>(table.size()))
                    table.resize(static_cast<std::size_t>(c.number) + 1, 0);
                table[static_cast<std::size_t>(c.number)] = c.state;
                entries.emplace_back(c.number, c.state);
            }
            broadcast(StateFrame(kind, entries));
            return;
        }
        case ChaosStep::Bounce: {
            if (step.states.empty() || step.hz <= 0) return;
            // Each change on its own, as a chattering contact reports them; a silence that
            // comes meanwhile swallows them like any other report.
            const StateChange c = step.states.front();
            auto* timer = new QTimer(this);
            timer->setTimerType(Qt::PreciseTimer);
            const int changes = std::max(1, step.hz * step.durationMs / 1000);
            auto count = std::make_shared<int>(0);
            connect(timer, &QTimer::timeout, this, [this, timer, c, changes, count] {
                if (!muted_) setState(c.kind, c.number, *count % 2 == 0 ? 1 : 0);
                if (++*count >= changes) timer->deleteLater();
            });
            timer->start(1000 / step.hz);
            return;
        }
        case ChaosStep::SlowRead: {
            pauseReading(step.durationMs);
            if (step.floodUnits <= 0) return;
            // Many small answers the engine must write while nothing is read: its socket fills
            // and its writes have to wait.
            const QByteArray flood = IdentFlood(step.floodUnits);
            for (QTcpSocket* c : clients_) {
                c->write(flood);
                floodOwed_[c] += step.floodUnits;
            }
            return;
        }
    }
}

}  // namespace tarvo::sim
