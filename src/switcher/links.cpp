#include "switcher/links.h"

#include <sys/ioctl.h>
#include <linux/sockios.h>

#include <algorithm>
#include <utility>

#include <QHostAddress>
#include <QMetaObject>
#include <QSignalBlocker>
#include <QTcpSocket>

#include "base/metrics.h"
#include "base/status_view.h"
#include "logs/logs.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/peer_address.h"

namespace tarvo {

SwitcherLink::SwitcherLink(Switcher& owner, int i) : index(i), sw_(owner) {}

SwitcherLink::~SwitcherLink() {
    if (stallAlarm_) sw_.clock.cancelAlarm(stallAlarm_);
    if (invalidAlarm_) sw_.clock.cancelAlarm(invalidAlarm_);
    // Nothing may reach the engine from the socket any more.
    if (socket_) socket_->disconnect(this);
}

void SwitcherLink::createSocket() {
    if (socket_) return;
    socket_ = new QTcpSocket(this);
    connect(socket_, &QTcpSocket::connected, this, [this] {
        // A take goes out at once, not held back to be sent with later bytes. (Qt keeps no
        // option set on a socket that is not connected yet.)
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        Connected = true;
        // The keep-alive starts afresh with every connection: a ping at once, counted from
        // zero. A switcher that never speaks first is asked at once (its answer brings the map
        // request), and pings left unanswered on an earlier connection close nothing here.
        NoReplyCount = 0;
        SendRaw(sw_, QByteArray(1, static_cast<char>(kPing)), index);
        NoReplyCount = 1;
    });
    // Received bytes are moved into the receive buffer at once and consumed on a turn of the
    // loop of their own. The closed signal is queued behind the consumer, so what arrived
    // before a close is acted on before the link's state is torn down.
    connect(socket_, &QTcpSocket::readyRead, this, &SwitcherLink::onDataArrived);
    connect(socket_, &QTcpSocket::bytesWritten, this, &SwitcherLink::onBytesWritten);
    connect(socket_, &QTcpSocket::disconnected, this, &SwitcherLink::onClosed, Qt::QueuedConnection);
}

bool SwitcherLink::isConnected() const {
    return socket_ != nullptr && socket_->state() == QAbstractSocket::ConnectedState;
}

void SwitcherLink::closeSocket() {
    ++generation;
    closing_ = false;
    if (socket_) {
        const QSignalBlocker quiet(socket_);
        socket_->abort();
    }
    endStall();
    reportDropped();
    flushInvalid();
    clearReceived();
    room_.wakeAll(kRoomClosed);
}

bool SwitcherLink::mapAnswerDue() const {
    if (mapAskedIn != generation) return false;
    return static_cast<uint32_t>(sw_.clock.tickCount()) - static_cast<uint32_t>(mapAskedAt) <
           static_cast<uint32_t>(kMapAnswerPatienceMs);
}

bool SwitcherLink::startConnect() {
    if (!socket_) return false;
    address = wantedAddress;
    port = wantedPort;
    // "0.0.0.0" stands for "no switcher": it is never dialled (on this platform it would reach
    // a listener on this very machine instead of failing). Neither is a broadcast or multicast
    // address, nor any form but four dotted decimal parts.
    uint32_t ip = 0;
    try {
        ip = DialAddress(address, false).ip;
    } catch (const TarvoError&) {
        return false;
    }
    if (port < 1 || port > 65535) return false;
    attemptStart_ = sw_.clock.tickCount();
    socket_->connectToHost(QHostAddress(ip), static_cast<quint16>(port));
    return socket_->state() != QAbstractSocket::UnconnectedState;
}

bool SwitcherLink::attemptUnderWay() const {
    if (!socket_) return false;
    const auto st = socket_->state();
    if (st != QAbstractSocket::HostLookupState && st != QAbstractSocket::ConnectingState) return false;
    int64_t start = attemptStart_;
    return !CheckDelayOn(sw_.clock, start, kConnectPatienceMs);
}

qint64 SwitcherLink::backlog() const { return socket_ ? socket_->bytesToWrite() : 0; }

int64_t SwitcherLink::sinceProgress() const {
    return static_cast<uint32_t>(sw_.clock.tickCount()) - static_cast<uint32_t>(lastProgress_);
}

int64_t SwitcherLink::kernelQueue() const {
    int queued = 0;
    if (!socket_ || socket_->socketDescriptor() < 0 || ::ioctl(static_cast<int>(socket_->socketDescriptor()), SIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

void SwitcherLink::noteProgress() {
    // Qt hands bytes on only when the kernel reports room, and the kernel's send buffer grows to
    // megabytes: a switcher that reads slowly may take bytes for seconds without that happening.
    // What it took is seen in the kernel's queue shrinking.
    const int64_t queued = kernelQueue();
    if (queued < lastKernelQueue_) lastProgress_ = sw_.clock.tickCount();
    lastKernelQueue_ = queued;
}

bool SwitcherLink::stalled() {
    if (backlog() <= kWriteBacklogLimit) return false;
    noteProgress();
    return sinceProgress() > kWriteTimeoutMs;
}

bool SwitcherLink::append(const QByteArray& bytes, bool pieces) {
    // The switcher gets its full time to take a backlog that starts now.
    if (backlog() == 0) {
        lastProgress_ = sw_.clock.tickCount();
        lastKernelQueue_ = kernelQueue();
    }
    if (!pieces) {
        if (socket_->write(bytes) != bytes.size()) return false;
    } else {
        for (const QByteArray& piece : WritePieces(bytes))
            if (socket_->write(piece) != piece.size()) return false;
    }
    // Handed to the network now rather than on the next turn of the loop.
    socket_->flush();
    return true;
}

Task<WriteResult> SwitcherLink::write(QByteArray bytes, bool pieces) {
    if (!isConnected()) co_return WriteResult::NotConnected;
    if (backlog() > kWriteBacklogLimit || !room_.empty()) {
        // Only a switcher that has taken nothing for the whole time loses the frame; one that
        // reads slowly keeps its frames, in order.
        if (stalled()) co_return WriteResult::Dropped;
        const uint64_t gen = generation;
        armStallCheck();
        const int why = co_await room_.wait();
        if (why == kRoomClosed || gen != generation || !isConnected()) co_return WriteResult::NotConnected;
        if (why == kRoomStalled) co_return WriteResult::Dropped;
    }
    co_return append(bytes, pieces) ? WriteResult::Written : WriteResult::Failed;
}

WriteResult SwitcherLink::writeNow(const QByteArray& bytes) {
    if (!isConnected()) return WriteResult::NotConnected;
    if (backlog() > kWriteBacklogLimit) {
        droppedRaw_ += bytes.size();
        return WriteResult::Dropped;
    }
    return append(bytes, false) ? WriteResult::Written : WriteResult::Failed;
}

void SwitcherLink::onBytesWritten() {
    lastProgress_ = sw_.clock.tickCount();
    lastKernelQueue_ = kernelQueue();
    if (backlog() <= kWriteBacklogLimit) endStall();
    serveWaiters();
}

void SwitcherLink::serveWaiters() {
    // A run resumed here writes, which may bring the socket back here: the outer call goes on.
    if (serving_) return;
    serving_ = true;
    while (!room_.empty() && isConnected() && backlog() <= kWriteBacklogLimit) room_.wakeOne(kRoomFree);
    serving_ = false;
}

void SwitcherLink::armStallCheck() {
    if (stallAlarm_) return;
    const int64_t left = std::max<int64_t>(kWriteTimeoutMs - sinceProgress() + 1, 1);
    stallAlarm_ = sw_.clock.setAlarm(left, [this] {
        stallAlarm_ = 0;
        if (room_.empty()) return;
        if (!stalled()) {
            serveWaiters();
            if (!room_.empty()) armStallCheck();
            return;
        }
        room_.wakeAll(kRoomStalled);
    });
}

void SwitcherLink::endStall() {
    const long long dropped = std::exchange(droppedRaw_, 0);
    if (dropped > 0) WriteErrorLog(sw_.logs, WriteTimeoutText(index, dropped), kErrorSendingToSwitcher);
}

void SwitcherLink::scheduleDrain() {
    if (drainQueued_) return;
    drainQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            drainQueued_ = false;
            DrainReceiveBuffer(sw_, index);
        },
        Qt::QueuedConnection);
}

void SwitcherLink::onDataArrived() {
    TakeInSwitcherData(sw_, index);
    scheduleDrain();
}

void SwitcherLink::takeIn(const QByteArray& bytes) {
    const qsizetype room = std::max<qsizetype>(kMaxReceiveBuffer - RxBuffer.size(), 0);
    if (bytes.size() <= room) {
        RxBuffer.append(bytes);
        return;
    }
    RxBuffer.append(bytes.constData(), room);
    droppedRx_ += bytes.size() - room;
}

void SwitcherLink::reportDropped() {
    const long long dropped = std::exchange(droppedRx_, 0);
    if (dropped > 0)
        WriteErrorLog(sw_.logs, ReceiveOverflowText(index, dropped), QStringLiteral("Error Receiving IP Message"));
}

void SwitcherLink::drained() {
    reportDropped();
    if (!std::exchange(closing_, false)) return;
    if (index == kMaster)
        CloseSwitcherLink(sw_);
    else
        CloseSlaveLink(sw_);
}

void SwitcherLink::reportInvalid(const QString& text, long long bytes) {
    const int32_t now = sw_.clock.tickCount();
    if (invalidAlarm_ == 0 && static_cast<uint32_t>(now) - static_cast<uint32_t>(invalidSecond_) >= 1000u) {
        invalidSecond_ = now;
        invalidLines_ = 0;
    }
    if (invalidLines_ < kInvalidLinesPerSecond) {
        ++invalidLines_;
        WriteErrorLog(sw_.logs, text, QString());
        return;
    }
    invalidHeld_ += bytes;
    if (invalidAlarm_ != 0) return;
    const int64_t left = 1000 - static_cast<int64_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(invalidSecond_));
    invalidAlarm_ = sw_.clock.setAlarm(std::max<int64_t>(left, 1), [this] {
        invalidAlarm_ = 0;
        flushInvalid();
        // The summing line is the first of the next second.
        invalidSecond_ = sw_.clock.tickCount();
        invalidLines_ = 1;
    });
}

void SwitcherLink::flushInvalid() {
    if (invalidAlarm_) sw_.clock.cancelAlarm(std::exchange(invalidAlarm_, 0));
    const long long held = std::exchange(invalidHeld_, 0);
    if (held > 0) WriteErrorLog(sw_.logs, InvalidDataText(held), QString());
}

void SwitcherLink::onClosed() {
    // The signal was queued: a link that has meanwhile been closed and connected again is not
    // the one the peer closed.
    if (isConnected() || !Connected) return;
    // What arrived before the close is still acted on, a batch a turn of the loop as any
    // burst; the link is closed when it has been consumed (drained()).
    TakeInSwitcherData(sw_, index);
    closing_ = true;
    scheduleDrain();
}

Switcher::Switcher(Clock& c, Logs& l, StatusView& v) : clock(c), logs(l), view(v) {
    links_[0] = std::make_unique<SwitcherLink>(*this, kMaster);
    links_[1] = std::make_unique<SwitcherLink>(*this, kSlave);
    links_[0]->createSocket();
}

Switcher::~Switcher() = default;

SwitcherLink& Switcher::link(int index) {
    if (index != kMaster && index != kSlave) failSubscript();
    return *links_[static_cast<std::size_t>(index)];
}

namespace {

// The steps both connect procedures share.
void connectLink(SwitcherLink& link) {
    // An attempt that is still under way gets its chance to finish.
    if (link.attemptUnderWay()) return;
    link.closeSocket();
    link.clearReceived();
    if (!link.startConnect()) link.closeSocket();
}

}  // namespace

void ConnectSwitcher(Switcher& sw) {
    Guarded(sw.logs, QStringLiteral("Error Connecting to Switcher"), [&] { connectLink(sw.master()); });
}

void LoadSlaveSocket(Switcher& sw) {
    Guarded(sw.logs, QStringLiteral("Error Sending Message to Switcher"), [&] {
        if (sw.SlaveSocketLoaded) return;
        sw.slave().createSocket();
        sw.SlaveSocketLoaded = true;
    });
}

void ConnectSlave(Switcher& sw) {
    Guarded(sw.logs, QStringLiteral("Error Connecting to Slave Switcher"), [&] {
        if (!sw.SlaveSocketLoaded) LoadSlaveSocket(sw);
        if (!sw.SlaveSocketLoaded) return;
        connectLink(sw.slave());
    });
}

void CloseSwitcherLink(Switcher& sw) {
    Guarded(sw.logs, QStringLiteral("Error Closing Switcher Link"), [&] {
        SwitcherLink& m = sw.master();
        m.noteDown();
        m.closeSocket();
        m.Connected = false;
        sw.view.setCaption(kCaptionServerNotConnected);
        sw.view.setIcon(LinkIcon::NotConnected);
        m.Online = false;
        m.MapReceived = false;
        m.clearReceived();
        m.resetMap();
    });
}

void CloseSlaveLink(Switcher& sw) {
    Guarded(sw.logs, QStringLiteral("Error Closing Slave Link"), [&] {
        SwitcherLink& s = sw.slave();
        s.noteDown();
        s.closeSocket();
        s.Connected = false;
        s.Online = false;
        s.MapReceived = false;
        s.clearReceived();
        s.resetMap();
    });
}

void TakeInSwitcherData(Switcher& sw, int link) {
    Guarded(sw.logs, QStringLiteral("Error Receiving IP Message"), [&] {
        SwitcherLink& l = sw.link(link);
        QTcpSocket* s = l.socket();
        if (!s || !s->isOpen() || s->bytesAvailable() <= 0) return;
        l.lastReadNs = MonotonicNs();
        l.takeIn(s->readAll());
    });
}

void DrainReceiveBuffer(Switcher& sw, int link) {
    for (int n = 0; n < kDrainBatch; ++n) {
        if (!ConsumeOneUnit(sw, link)) {
            sw.link(link).drained();
            return;
        }
    }
    // A long burst: the rest waits one turn of the loop, so ticks and the other link are served.
    sw.link(link).scheduleDrain();
}

QString ReceiveOverflowText(int link, long long bytes) {
    return (link == kMaster ? QStringLiteral("Switcher") : QStringLiteral("Slave switcher")) +
           QStringLiteral(" receive buffer full - ") + QString::number(bytes) + QStringLiteral(" bytes dropped");
}

}  // namespace tarvo
