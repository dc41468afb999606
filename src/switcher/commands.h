// Crosspoint, salvo, relay, gain and opto commands: one frame and one activity-log line each.
#pragma once

#include <optional>

#include <QByteArray>
#include <QString>

#include "base/task.h"
#include "switcher/framing.h"

namespace tarvo {

class Switcher;
struct AutomationEvent;

// What one command puts on the wire and into the activity log.
struct Command {
    QByteArray frame;
    QString logText;
};

// The words of a refused operand in the activity log, after the title and " not executed - ".
inline const QString kInvalidCrosspoint = QStringLiteral("Invalid Crosspoint");
inline const QString kInvalidSalvo = QStringLiteral("Invalid Salvo");
inline const QString kInvalidRelay = QStringLiteral("Invalid Relay");
inline const QString kInvalidOpto = QStringLiteral("Invalid Opto");
inline const QString kInvalidSource = QStringLiteral("Invalid Source");
inline const QString kInvalidDeviceId = QStringLiteral("Invalid Device ID");
inline const QString kInvalidChannel = QStringLiteral("Invalid Channel");
inline const QString kInvalidGain = QStringLiteral("Invalid Gain");

// What keeps a command off the wire before anything is built: a selector that names no command,
// or a number the wire's 14 bits cannot carry. `refusal` is the activity log's word for it,
// `detail` the number that makes it so ("source 20000 is outside 1 to 16384").
struct OperandFault {
    QString refusal;
    QString detail;
};
// Each is exactly what its builder below refuses: empty when the builder builds the frame.
std::optional<OperandFault> CrosspointFault(const AutomationEvent& ev);
std::optional<OperandFault> SalvoFault(const AutomationEvent& ev);
std::optional<OperandFault> RelayFault(const AutomationEvent& ev);
std::optional<OperandFault> GainFault(const AutomationEvent& ev);
std::optional<OperandFault> OptoFault(const AutomationEvent& ev);
// What SourceSelectFrame refuses of the event's ssSource and ssDeviceID.
std::optional<OperandFault> SourceSelectFault(const AutomationEvent& ev);
// A number the wire cannot carry, in a fault's words: "<what> <n> is outside 1 to 16384" for a
// number counted from 1, "... 0 to 16383" for one sent as it is.
QString OutsideTheWire(const char* what, int n, bool countedFromOne = true);

// The pure builders. Empty when the event's selector names no command (nothing is sent or
// logged then); a number the wire cannot carry is a failure.
std::optional<Command> CrosspointCommand(const AutomationEvent& ev);
std::optional<Command> SalvoCommand(const AutomationEvent& ev);
std::optional<Command> RelayCommand(const AutomationEvent& ev);
std::optional<Command> GainCommand(const AutomationEvent& ev);
std::optional<Command> OptoCommand(const AutomationEvent& ev);

// A number as the activity log shows it: at least four digits, zero-padded.
QString Digits4(long long v);

// Each sends its frame and logs it once the master's link took it. Refused: the selector names
// no command; Failed: a number the wire cannot carry (reported under the sender's location).
Task<SendResult> SendCrosspointChange(Switcher& sw, const AutomationEvent& ev);
Task<SendResult> SendSalvoExecute(Switcher& sw, const AutomationEvent& ev);
Task<SendResult> SendRelayAction(Switcher& sw, const AutomationEvent& ev);
Task<SendResult> SendGainChange(Switcher& sw, const AutomationEvent& ev);
Task<SendResult> SendOptoAction(Switcher& sw, const AutomationEvent& ev);

}  // namespace tarvo
