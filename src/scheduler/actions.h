// The actions of one event, carried out in their fixed order through the senders. Every runner
// (timed, opto, crosspoint, relay, delayed) goes through here.
#pragma once

#include <QString>

#include "base/task.h"
#include "store/automation_event.h"

namespace tarvo {

class Scheduler;

enum class RunnerKind {
    Timed,      // a failed message logs " not executed - Unable to Send" and sets the outcome
    Triggered,  // opto, crosspoint, relay and delayed runs: the message result is not used
};

// Carries out the actions; returns the outcome (true when carried out). The run is suspended
// while an action waits (a message, an upload, a switcher that holds a backlog).
Task<bool> RunActionSequence(Scheduler& s, AutomationEvent ev, RunnerKind kind);

// The history line's title column and colour for an outcome.
QString HistoryTitle(const AutomationEvent& ev, bool outcome);
bool HistoryIsRed(const AutomationEvent& ev, bool outcome);

inline const QString kNotExecuted = QStringLiteral(" not executed - ");

}  // namespace tarvo
