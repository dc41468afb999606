#include "switcher/framing.h"

#include "base/status_view.h"
#include "logs/logs.h"
#include "switcher/codec.h"
#include "switcher/inbound.h"
#include "switcher/links.h"
#include "switcher/output_map.h"

namespace tarvo {

// A frame that waits for its end byte is given up before the receive buffer is full, so the
// buffer always takes what follows it.
static_assert(kMaxPendingFrame <= kMaxReceiveBuffer);

namespace {

void controlByte(Switcher& sw, SwitcherLink& link, uint8_t type) {
    switch (type) {
        case kPing:
            SendRaw(sw, QByteArray(1, static_cast<char>(kPingAnswer)), link.index);
            link.NoReplyCount = 0;
            return;
        case kPingAnswer:
            link.NoReplyCount = 0;
            link.Online = true;
            if (link.index == kMaster) {
                sw.view.setCaption(kCaptionSwitcherConnected);
                sw.view.setIcon(LinkIcon::Connected);
            }
            // Asked again until a map comes; not while the answer to this connection's request
            // may still be on its way (a switcher that greets answers the first ping too).
            if (!link.MapReceived && !link.mapAnswerDue()) SendInfoRequest(sw, kInfoMask1, kInfoMask2, link.index);
            return;
        case kSwitcherAbsent:
            link.noteDown();
            link.MapReceived = false;
            link.Online = false;
            link.resetMap();
            ++link.generation;
            if (link.index == kMaster) {
                sw.view.setCaption(kCaptionSwitcherNotConnected);
                sw.view.setIcon(LinkIcon::NotConnected);
            }
            link.NoReplyCount = 0;
            return;
        default:  // 0xF3: a sign of life and nothing more
            link.NoReplyCount = 0;
            return;
    }
}

void dispatchFrame(Switcher& sw, SwitcherLink& link, const QByteArray& frame) {
    switch (static_cast<uint8_t>(frame[0])) {
        case kIdentType:
            HandleIdentRequest(sw, frame, link.index);
            return;
        case kTakeType:
            HandleTakeReport(sw, frame, link.index);
            return;
        case kMapType:
            link.NoReplyCount = 0;
            HandleCrosspointMap(sw, frame, link.index);
            return;
        case kInfoType:
            HandleInfoReply(sw, frame, link.index);
            return;
        case kStateType:
            HandleRelayOptoState(sw, frame, link.index);
            return;
        default:
            return;  // no handler: dropped without a trace
    }
}

}  // namespace

QString InvalidDataText(long long count) {
    return QStringLiteral("Invalid Data ") + QString::number(count) + QStringLiteral(" bytes");
}

QString IncompleteMessageText(int type) {
    return QStringLiteral("Incomplete Message ") + QString::number(type, 16).toUpper();
}

std::vector<QByteArray> WritePieces(const QByteArray& frame) {
    std::vector<QByteArray> pieces;
    for (qsizetype p = 0; p < frame.size(); p += kMaxWriteChunk)
        pieces.push_back(frame.mid(p, kMaxWriteChunk));
    return pieces;
}

bool ConsumeOneUnit(Switcher& sw, int link) {
    return Guarded(sw.logs, QStringLiteral("Error Processing Command"), false, [&] {
        SwitcherLink& l = sw.link(link);
        for (int dropped = 0;; ++dropped) {
            // A stream of nothing but invalid bytes is dropped a bounded step at a time too.
            if (dropped == kInvalidStepsPerCall) return true;
            // The unit is cut off before it is dispatched: a handler may close the link and
            // empty its buffer.
            RxStep step = NextRxStep(l.RxBuffer, &l.RxSeen);
            switch (step.kind) {
                case RxStep::Garbage:
                    l.reportInvalid(InvalidDataText(step.count), step.count);
                    continue;
                case RxStep::Incomplete:
                    l.reportInvalid(IncompleteMessageText(step.type), step.count);
                    continue;
                case RxStep::Empty:
                    return false;
                case RxStep::Waiting:
                    if (l.RxBuffer.size() >= kMaxPendingFrame) {
                        const qsizetype n = l.RxBuffer.size();
                        l.clearReceived();
                        l.reportInvalid(InvalidDataText(n), n);
                    }
                    return false;
                case RxStep::Control:
                    controlByte(sw, l, step.type);
                    return true;
                case RxStep::Frame:
                    sw.unitReadNs = l.lastReadNs;
                    dispatchFrame(sw, l, step.frame);
                    sw.unitReadNs = 0;
                    return true;
            }
            return false;
        }
    });
}

Task<SendResult> SendToSwitcher(Switcher& sw, QByteArray frame) {
    SendResult result = SendResult::Sent;
    int link = kMaster;
    try {
        for (; link <= kSlave; ++link) {
            if (link == kSlave && !sw.SlaveEnabled) break;
            const WriteResult r = co_await sw.link(link).write(frame, true);
            if (r == WriteResult::Written) {
                if (sw.frameSent) sw.frameSent(link, frame);
                continue;
            }
            if (r == WriteResult::NotConnected) {
                if (link == kMaster) result = SendResult::NotConnected;
                // Large data to a link that is down ends in a failure report; the slave is not
                // served when the master is down.
                if (frame.size() > kMaxWriteChunk) fail(kErrSocket + 57, QStringLiteral("Socket is not connected"));
                break;
            }
            if (r == WriteResult::Failed) {
                if (link == kMaster) result = SendResult::Failed;
                break;
            }
            // Dropped: that switcher is not reading; the other one may be.
            WriteErrorLog(sw.logs, WriteTimeoutText(link, frame.size()), kErrorSendingToSwitcher);
            if (link == kMaster) result = SendResult::Dropped;
        }
    } catch (...) {
        ReportError(sw.logs, kErrorSendingToSwitcher, CurrentFailure(std::current_exception()));
        // On the master's turn the frame did not go out; on the slave's the master's result stands.
        if (link == kMaster && result == SendResult::Sent) result = SendResult::Failed;
    }
    co_return result;
}

void SendRaw(Switcher& sw, const QByteArray& bytes, int link) {
    Guarded(sw.logs, kErrorSendingToSwitcher, [&] { sw.link(link).writeNow(bytes); });
}

QString WriteTimeoutText(int link, long long bytes) {
    return (link == kMaster ? QStringLiteral("Switcher") : QStringLiteral("Slave switcher")) +
           QStringLiteral(" not reading - ") + QString::number(bytes) +
           QStringLiteral(" bytes dropped");
}

}  // namespace tarvo
