// Taking messages off a link's receive buffer, and the two send operations.
#pragma once

#include <vector>

#include <QByteArray>
#include <QString>

#include "base/task.h"

namespace tarvo {

class Switcher;

inline const QString kCaptionSwitcherConnected =
    QStringLiteral("Tarvo Automation - Switcher Connected");
inline const QString kCaptionSwitcherNotConnected =
    QStringLiteral("Tarvo Automation - Switcher Not Connected");
// Location of every failure while sending to a switcher.
inline const QString kErrorSendingToSwitcher = QStringLiteral("Error sending to switcher");
// Masks of the info request sent when a link answers and its map is still missing.
constexpr long long kInfoMask1 = 0x30080;
constexpr long long kInfoMask2 = 0;
// A frame still waiting for its end byte when this much has piled up is not a frame: a peer
// sending without end must not fill the memory.
constexpr qsizetype kMaxPendingFrame = 16 * 1024 * 1024;
// Garbage runs and frames cut short dropped by one call of ConsumeOneUnit at most.
constexpr int kInvalidStepsPerCall = 64;

// Texts of the receive-side error log.
QString InvalidDataText(long long count);
QString IncompleteMessageText(int type);
// The error-log line of a frame given up because the switcher did not read it in time.
QString WriteTimeoutText(int link, long long bytes);

// The pieces a frame is written in: 16384 bytes each, the last one shorter.
std::vector<QByteArray> WritePieces(const QByteArray& frame);

// Drops garbage at the front of the link's receive buffer, then consumes one unit and dispatches
// it; true when a unit was consumed or kInvalidStepsPerCall invalid pieces were dropped (false:
// the buffer is empty or waits for more bytes).
bool ConsumeOneUnit(Switcher& sw, int link);
// What became of what a sender had for the switcher, as the master's link decides it (the
// slave gets a copy and is not asked). Only what was Sent is logged as sent.
enum class SendResult {
    Sent,          // the master's link took every frame
    NotConnected,  // the master's link was down: nothing went out
    Dropped,       // the master's switcher was not reading: the frame was dropped (error log)
    Failed,        // the socket refused the write, or sending failed (error log)
    Refused,       // nothing was built: a selector that names no command, a file that is refused
};
// The first result of a run of sends that was not Sent, or Sent.
inline SendResult Worse(SendResult so_far, SendResult next) {
    return so_far == SendResult::Sent ? next : so_far;
}

// Writes a frame to the master and then, when a slave is configured, to the slave; the run waits
// its turn on a link whose switcher holds a backlog. The slave is not served while the master's
// link is down.
Task<SendResult> SendToSwitcher(Switcher& sw, QByteArray frame);
// Writes bytes to one link only, at once or not at all (never waits).
void SendRaw(Switcher& sw, const QByteArray& bytes, int link);

}  // namespace tarvo
