// The actions of one event, carried out in their fixed order through the senders. Every runner
// (timed, opto, crosspoint, relay, delayed) goes through here.
#pragma once

#include <cstdint>

#include <QString>
#include <QStringView>

#include "base/task.h"
#include "store/automation_event.h"

namespace tarvo {

class Scheduler;
class Switcher;

enum class RunnerKind {
    Timed,      // a failed message logs " not executed - Unable to Send" and sets the outcome
    Triggered,  // opto, crosspoint, relay and delayed runs: the message result is not used
};

// The actions an event may ask for, in the order they are carried out.
enum class ActionKind {
    Crosspoint,
    Salvo,
    Relay,
    Opto,
    SourceSelect,
    Gain,
    RelayAssociation,
    Message,
    SystemChange,
};
inline constexpr ActionKind kActionOrder[] = {
    ActionKind::Crosspoint,
    ActionKind::Salvo,
    ActionKind::Relay,
    ActionKind::Opto,
    ActionKind::SourceSelect,
    ActionKind::Gain,
    ActionKind::RelayAssociation,
    ActionKind::Message,
    ActionKind::SystemChange,
};

// Whether the event asks for the action (its selector is set).
bool HasAction(const AutomationEvent& ev, ActionKind action);
// Why the action is refused before anything is sent: an operand that is not given ("Invalid
// Crosspoint", ...), or a selector or number that its sender cannot put on the wire, with what
// makes it so in `why` ("source 20000 is outside 1 to 16384"). Empty when it goes ahead.
struct ActionRefusal {
    QString refusal;
    QString why;
};
ActionRefusal CheckOperands(const AutomationEvent& ev, ActionKind action);
QString OperandRefusal(const AutomationEvent& ev, ActionKind action);

// Carries out the actions; returns the outcome (true when carried out). The run is suspended
// while an action waits (a message, an upload, a switcher that holds a backlog). A run started
// by a report gives the moment it was read (MonotonicNs): the first command the switcher's link
// takes ends its trigger latency.
Task<bool> RunActionSequence(Scheduler& s, AutomationEvent ev, RunnerKind kind, int64_t reportedNs = 0);

// The history line's title column and colour for an outcome.
QString HistoryTitle(const AutomationEvent& ev, bool outcome);
bool HistoryIsRed(const AutomationEvent& ev, bool outcome);

inline const QString kNotExecuted = QStringLiteral(" not executed - ");
inline const QString kUnableToSend = QStringLiteral("Unable to Send");
inline const QString kInvalidFile = QStringLiteral("Invalid File");
inline const QString kServerNotConnected = QStringLiteral("Server not connected");
inline const QString kSwitcherNotConnected = QStringLiteral("Switcher not connected");
inline const QString kSwitcherNotReading = QStringLiteral("Switcher not reading");

// Writes Title + " not executed - " + reason in the activity log and counts the refusal under
// its reason.
void LogRefusal(Scheduler& s, const QString& title, QStringView reason);
// Counts a decision as its history line shows it (outcome, or red for refused, or inactive).
void CountDecision(Scheduler& s, const AutomationEvent& ev, bool outcome);

// " not executed - ..." when no event may run for the master's link (not connected, or its
// switcher not answering); empty when it is up.
QString LinkRefusal(const Switcher& sw);

}  // namespace tarvo
