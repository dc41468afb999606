// Crosspoint, salvo, relay, gain and opto commands: one frame and one activity-log line each.
#pragma once

#include <optional>

#include <QByteArray>
#include <QString>

#include "base/task.h"

namespace tarvo {

class Switcher;
struct AutomationEvent;

// What one command puts on the wire and into the activity log.
struct Command {
    QByteArray frame;
    QString logText;
};

// The pure builders. Empty when the event's selector names no command (nothing is sent or
// logged then); a number the wire cannot carry is a failure.
std::optional<Command> CrosspointCommand(const AutomationEvent& ev);
std::optional<Command> SalvoCommand(const AutomationEvent& ev);
std::optional<Command> RelayCommand(const AutomationEvent& ev);
std::optional<Command> GainCommand(const AutomationEvent& ev);
std::optional<Command> OptoCommand(const AutomationEvent& ev);

// A number as the activity log shows it: at least four digits, zero-padded.
QString Digits4(long long v);

Task<> SendCrosspointChange(Switcher& sw, const AutomationEvent& ev);
Task<> SendSalvoExecute(Switcher& sw, const AutomationEvent& ev);
Task<> SendRelayAction(Switcher& sw, const AutomationEvent& ev);
Task<> SendGainChange(Switcher& sw, const AutomationEvent& ev);
Task<> SendOptoAction(Switcher& sw, const AutomationEvent& ev);

}  // namespace tarvo
