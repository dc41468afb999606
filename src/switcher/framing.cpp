#include "switcher/framing.h"

#include "engine/engine.h"
#include "engine/status_view.h"
#include "logs/logs.h"
#include "switcher/codec.h"
#include "switcher/inbound.h"
#include "switcher/links.h"

namespace tarvo {

namespace {

void controlByte(Engine& e, int link, uint8_t type) {
    switch (type) {
        case kPing:
            SendRaw(e, QByteArray(1, static_cast<char>(kPingAnswer)), link);
            at(e.NoReplyCount, link) = 0;
            return;
        case kPingAnswer:
            at(e.NoReplyCount, link) = 0;
            e.onlineFlag(link) = true;
            if (link == kMaster) {
                e.view.setCaption(kCaptionSwitcherConnected);
                e.view.setIcon(LinkIcon::Connected);
            }
            if (!at(e.MapReceived, link)) SendInfoRequest(e, kInfoMask1, kInfoMask2, link);
            return;
        case kSwitcherAbsent:
            at(e.MapReceived, link) = false;
            e.onlineFlag(link) = false;
            e.mapOf(link).assign(1, OutputMap{});
            if (link == kMaster) {
                e.view.setCaption(kCaptionSwitcherNotConnected);
                e.view.setIcon(LinkIcon::NotConnected);
            }
            at(e.NoReplyCount, link) = 0;
            return;
        default:  // 0xF3: a sign of life and nothing more
            at(e.NoReplyCount, link) = 0;
            return;
    }
}

void dispatchFrame(Engine& e, int link, const QByteArray& frame) {
    switch (static_cast<uint8_t>(frame[0])) {
        case 0x81:
            HandleIdentRequest(e, frame, link);
            return;
        case 0xFE:
            HandleTakeReport(e, frame, link);
            return;
        case 0xF6:
            at(e.NoReplyCount, link) = 0;
            HandleCrosspointMap(e, frame, link);
            return;
        case 0xF2:
            HandleInfoReply(e, frame, link);
            return;
        case 0xF7:
            HandleRelayOptoState(e, frame, link);
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

bool ConsumeOneUnit(Engine& e, int link) {
    return Guarded(e, QStringLiteral("Error Processing Command"), false, [&] {
        if (e.links().writeWaiting()) return false;  // taken up when the wait is over
        for (;;) {
            // The buffer is looked up afresh on every step and the unit is cut off before it is
            // dispatched: a handler may wait, and inside that wait more data for this link can
            // be taken in and consumed, or the link closed and its buffer emptied.
            QByteArray& buffer = at(e.RxBuffer, link);
            RxStep step = NextRxStep(buffer);
            switch (step.kind) {
                case RxStep::Garbage:
                    WriteErrorLog(e, InvalidDataText(step.count), QString());
                    continue;
                case RxStep::Incomplete:
                    WriteErrorLog(e, IncompleteMessageText(step.type), QString());
                    continue;
                case RxStep::Empty:
                    return false;
                case RxStep::Waiting:
                    if (buffer.size() > kMaxPendingFrame) {
                        const qsizetype n = buffer.size();
                        buffer.clear();
                        WriteErrorLog(e, InvalidDataText(n), QString());
                    }
                    return false;
                case RxStep::Control:
                    controlByte(e, link, step.type);
                    return true;
                case RxStep::Frame:
                    dispatchFrame(e, link, step.frame);
                    return true;
            }
            return false;
        }
    });
}

void ProcessReceiveBuffer(Engine& e, int link) {
    ConsumeOneUnit(e, link);
}

void SendToSwitcher(Engine& e, const QByteArray& frame) {
    Guarded(e, kErrorSendingToSwitcher, [&] {
        for (int link : {kMaster, kSlave}) {
            if (link == kSlave && !e.settings.SlaveEnabled) return;
            switch (e.links().write(link, frame, true)) {
                case SwitcherLinks::WriteResult::Written:
                    break;
                case SwitcherLinks::WriteResult::NotConnected:
                    // Large data to a link that is down ends in a failure report; the slave is
                    // not served when the master is down.
                    if (frame.size() > kMaxWriteChunk)
                        fail(kErrSocket + 57, QStringLiteral("Socket is not connected"));
                    return;
                case SwitcherLinks::WriteResult::Failed:
                    return;
                case SwitcherLinks::WriteResult::TimedOut:
                    WriteErrorLog(e, WriteTimeoutText(link, frame.size()), kErrorSendingToSwitcher);
                    break;  // the other switcher may still be reading
                case SwitcherLinks::WriteResult::Dropped:
                    break;
            }
        }
    });
}

void SendRaw(Engine& e, const QByteArray& bytes, int link) {
    Guarded(e, kErrorSendingToSwitcher, [&] {
        if (e.links().write(link, bytes, false) == SwitcherLinks::WriteResult::TimedOut)
            WriteErrorLog(e, WriteTimeoutText(link, bytes.size()), kErrorSendingToSwitcher);
    });
}

QString WriteTimeoutText(int link, long long bytes) {
    return (link == kMaster ? QStringLiteral("Switcher") : QStringLiteral("Slave switcher")) +
           QStringLiteral(" not reading - ") + QString::number(bytes) +
           QStringLiteral(" bytes dropped");
}

}  // namespace tarvo
