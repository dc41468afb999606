#include "switcher/links.h"

#include <utility>

#include <QHostAddress>
#include <QMetaObject>
#include <QScopeGuard>
#include <QSignalBlocker>
#include <QTcpSocket>

#include "engine/engine.h"
#include "engine/main_loop.h"
#include "engine/status_view.h"
#include "logs/logs.h"
#include "scheduler/clock.h"
#include "scheduler/time_arith.h"
#include "switcher/framing.h"

namespace tarvo {

namespace {

std::size_t slot(int link) {
    if (link != kMaster && link != kSlave) failSubscript();
    return static_cast<std::size_t>(link);
}

// Splits data into the pieces one write hands to the socket.
void writePieces(QTcpSocket& s, const QByteArray& bytes, bool pieces, bool& ok) {
    ok = true;
    if (!pieces) {
        ok = s.write(bytes) == bytes.size();
        return;
    }
    for (const QByteArray& piece : WritePieces(bytes)) {
        if (s.write(piece) != piece.size()) {
            ok = false;
            return;
        }
    }
}

}  // namespace

SwitcherLinks::SwitcherLinks(Engine& e) : e_(e) {
    createSocket(kMaster);
}

SwitcherLinks::~SwitcherLinks() {
    // The engine is going away: nothing may reach it from a socket any more.
    for (QTcpSocket* s : sockets_)
        if (s) s->disconnect(this);
    // A stall still going on at the end is told all the same.
    for (int link : {kMaster, kSlave})
        if (droppedBytes_[slot(link)] > 0) endStall(link);
}

QTcpSocket* SwitcherLinks::socket(int link) const {
    return sockets_[slot(link)];
}

void SwitcherLinks::createSocket(int link) {
    if (sockets_[slot(link)]) return;
    auto* s = new QTcpSocket(this);
    sockets_[slot(link)] = s;
    connect(s, &QTcpSocket::connected, this, [this, link] { e_.connectedFlag(link) = true; });
    // Received bytes are moved into the receive buffer at once, but consumed on a turn of the
    // loop of their own: a handler that waits inside the consumer must not sit inside the
    // socket's own signal, which would hold back every later data-arrived signal of that
    // socket until the wait ended. The closed signal is queued behind the consumer, so what
    // arrived before a close is acted on before the link's state is torn down.
    connect(s, &QTcpSocket::readyRead, this, [this, link] { onDataArrived(link); });
    connect(
        s, &QTcpSocket::disconnected, this, [this, link] { onClosed(link); }, Qt::QueuedConnection);
}

bool SwitcherLinks::isConnected(int link) const {
    const QTcpSocket* s = socket(link);
    return s != nullptr && s->state() == QAbstractSocket::ConnectedState;
}

void SwitcherLinks::close(int link) {
    QTcpSocket* s = socket(link);
    if (!s) return;
    const QSignalBlocker quiet(s);
    s->abort();
    endStall(link);
}

bool SwitcherLinks::startConnect(int link, const QString& address, int32_t port) {
    QTcpSocket* s = socket(link);
    if (!s) return false;
    QHostAddress host;
    // "0.0.0.0" stands for "no switcher": it is never dialled (on this platform it would reach
    // a listener on this very machine instead of failing).
    if (!host.setAddress(address) || host.protocol() != QAbstractSocket::IPv4Protocol ||
        host == QHostAddress(QHostAddress::AnyIPv4))
        return false;
    if (port < 1 || port > 65535) return false;
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    attemptStart_[slot(link)] = e_.clock.tickCount();
    s->connectToHost(host, static_cast<quint16>(port));
    return s->state() != QAbstractSocket::UnconnectedState;
}

bool SwitcherLinks::attemptUnderWay(int link) const {
    const QTcpSocket* s = socket(link);
    if (!s) return false;
    const auto st = s->state();
    if (st != QAbstractSocket::HostLookupState && st != QAbstractSocket::ConnectingState)
        return false;
    int64_t start = attemptStart_[slot(link)];
    return !CheckDelayOn(e_.clock, start, kConnectPatienceMs);
}

SwitcherLinks::WriteResult SwitcherLinks::write(int link, const QByteArray& bytes, bool pieces) {
    if (!isConnected(link)) return WriteResult::NotConnected;
    // A switcher that has stopped reading: give it a bounded time to catch up, with the loop
    // running meanwhile, then give the frame up. A frame is always written whole, so that a
    // frame sent from inside the wait never lands in the middle of another.
    int64_t start = e_.clock.tickCount();
    if (socket(link)->bytesToWrite() <= kWriteBacklogLimit) endStall(link);
    if (socket(link)->bytesToWrite() > kWriteBacklogLimit) {
        if (notReading_[slot(link)]) {
            droppedBytes_[slot(link)] += bytes.size();
            return WriteResult::Dropped;
        }
        ++writeWaits_;
        const auto over = qScopeGuard([this] {
            if (--writeWaits_ > 0) return;
            // What arrived during the wait is taken up now, in the order it came.
            for (int l : {kMaster, kSlave})
                if (sockets_[slot(l)] && !e_.RxBuffer[slot(l)].isEmpty()) scheduleDrain(l);
        });
        while (socket(link)->bytesToWrite() > kWriteBacklogLimit) {
            if (notReading_[slot(link)] || CheckDelayOn(e_.clock, start, kWriteTimeoutMs)) {
                notReading_[slot(link)] = true;
                return WriteResult::TimedOut;
            }
            ProcessWait(e_, 10);
            if (!isConnected(link)) return WriteResult::NotConnected;
        }
    }
    QTcpSocket& s = *socket(link);
    bool ok = false;
    writePieces(s, bytes, pieces, ok);
    if (!ok) return WriteResult::Failed;
    s.flush();  // hand it to the network now rather than on the next turn of the loop
    return WriteResult::Written;
}

void SwitcherLinks::endStall(int link) {
    notReading_[slot(link)] = false;
    const long long dropped = std::exchange(droppedBytes_[slot(link)], 0);
    if (dropped > 0) WriteErrorLog(e_, WriteTimeoutText(link, dropped), kErrorSendingToSwitcher);
}

void SwitcherLinks::scheduleDrain(int link) {
    if (drainQueued_[slot(link)]) return;
    drainQueued_[slot(link)] = true;
    QMetaObject::invokeMethod(
        this,
        [this, link] {
            drainQueued_[slot(link)] = false;
            DrainReceiveBuffer(e_, link);
        },
        Qt::QueuedConnection);
}

void SwitcherLinks::onDataArrived(int link) {
    TakeInSwitcherData(e_, link);
    scheduleDrain(link);
}

void SwitcherLinks::onClosed(int link) {
    // The signal was queued: a link that has meanwhile been closed and connected again is not
    // the one the peer closed.
    if (isConnected(link)) return;
    if (!e_.connectedFlag(link)) return;
    // What arrived before the close is still acted on.
    ReadSwitcherData(e_, link);
    if (link == kMaster)
        CloseSwitcherLink(e_);
    else
        CloseSlaveLink(e_);
}

namespace {

// The steps both connect procedures share.
void connectLink(Engine& e, int link, const QString& address, int32_t port) {
    SwitcherLinks& links = e.links();
    // An attempt that is still under way gets its chance to finish.
    if (links.attemptUnderWay(link)) return;
    links.close(link);
    at(e.RxBuffer, link).clear();
    if (!links.startConnect(link, address, port)) links.close(link);
}

}  // namespace

void ConnectSwitcher(Engine& e) {
    Guarded(e, QStringLiteral("Error Connecting to Switcher"),
            [&] { connectLink(e, kMaster, e.settings.IPAddr, e.settings.IPPort); });
}

void LoadSlaveSocket(Engine& e) {
    Guarded(e, QStringLiteral("Error Sending Message to Switcher"), [&] {
        if (e.SlaveSocketLoaded) return;
        e.links().createSocket(kSlave);
        e.SlaveSocketLoaded = true;
    });
}

void ConnectSlave(Engine& e) {
    Guarded(e, QStringLiteral("Error Connecting to Slave Switcher"), [&] {
        if (!e.SlaveSocketLoaded) LoadSlaveSocket(e);
        if (!e.SlaveSocketLoaded) return;
        connectLink(e, kSlave, e.settings.SlaveIPAddr, e.settings.SlaveIPPort);
    });
}

void CloseSwitcherLink(Engine& e) {
    Guarded(e, QStringLiteral("Error Closing Switcher Link"), [&] {
        e.links().close(kMaster);
        e.SwitcherConnected = false;
        e.view.setCaption(kCaptionServerNotConnected);
        e.view.setIcon(LinkIcon::NotConnected);
        e.SwitcherOnline = false;
        e.MapReceived[kMaster] = false;
        e.RxBuffer[kMaster].clear();
        e.SwitcherMap.assign(1, OutputMap{});
    });
}

void CloseSlaveLink(Engine& e) {
    Guarded(e, QStringLiteral("Error Closing Slave Link"), [&] {
        e.links().close(kSlave);
        e.SlaveConnected = false;
        e.SlaveSwitcherOnline = false;
        e.MapReceived[kSlave] = false;
        e.RxBuffer[kSlave].clear();
        e.SlaveSwitcherMap.assign(1, OutputMap{});
    });
}

void TakeInSwitcherData(Engine& e, int link) {
    Guarded(e, QStringLiteral("Error Receiving IP Message"), [&] {
        QTcpSocket* s = e.links().socket(link);
        if (!s || !s->isOpen() || s->bytesAvailable() <= 0) return;
        at(e.RxBuffer, link).append(s->readAll());
    });
}

void ReadSwitcherData(Engine& e, int link) {
    TakeInSwitcherData(e, link);
    DrainReceiveBuffer(e, link);
}

void DrainReceiveBuffer(Engine& e, int link) {
    for (int n = 0; n < kDrainBatch; ++n)
        if (!ConsumeOneUnit(e, link)) return;
    // A long burst: the rest waits one turn of the loop, so ticks and the other link are served.
    e.links().scheduleDrain(link);
}

}  // namespace tarvo
