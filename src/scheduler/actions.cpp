#include "scheduler/actions.h"

#include "logs/logs.h"
#include "scheduler/scheduler.h"
#include "switcher/commands.h"
#include "switcher/links.h"
#include "switcher/peer_messages.h"
#include "uploads/system_change.h"

namespace tarvo {

bool HasAction(const AutomationEvent& ev, ActionKind action) {
    switch (action) {
        case ActionKind::Crosspoint:
            return ev.xcontrol != 0;
        case ActionKind::Salvo:
            return ev.scontrol != 0;
        case ActionKind::Relay:
            return ev.rcontrol != 0;
        case ActionKind::Opto:
            return ev.ocontrol != 0;
        case ActionKind::SourceSelect:
            return ev.sscontrol != 0;
        case ActionKind::Gain:
            return ev.vcontrol != 0;
        case ActionKind::RelayAssociation:
            return ev.rccontrol != 0;
        case ActionKind::Message:
            return ev.mcontrol != 0;
        case ActionKind::SystemChange:
            return ev.FileType != 0;
    }
    return false;
}

ActionRefusal CheckOperands(const AutomationEvent& ev, ActionKind action) {
    // First an operand that is not given at all, then what the sender cannot put on the wire.
    std::optional<OperandFault> fault;
    switch (action) {
        case ActionKind::Crosspoint:
            if (ev.SourceChan == 0 || ev.DestChan == 0) return {kInvalidCrosspoint, {}};
            fault = CrosspointFault(ev);
            break;
        case ActionKind::Salvo:
            fault = SalvoFault(ev);
            break;
        case ActionKind::Relay:
            if (ev.Relay == 0) return {kInvalidRelay, {}};
            fault = RelayFault(ev);
            break;
        case ActionKind::Opto:
            if (ev.OptoOut == 0) return {kInvalidOpto, {}};
            fault = OptoFault(ev);
            break;
        case ActionKind::SourceSelect:
            if (ev.ssSource == 0) return {kInvalidSource, {}};
            if (ev.ssDeviceID == 0) return {kInvalidDeviceId, {}};
            fault = SourceSelectFault(ev);
            break;
        case ActionKind::Gain:
            if (ev.VChan == 0) return {kInvalidChannel, {}};
            fault = GainFault(ev);
            break;
        case ActionKind::RelayAssociation:
            if (ev.rcRelay == 0) return {kInvalidRelay, {}};
            if (ev.rcOpto == 0) return {kInvalidOpto, {}};
            fault = RelayAssociationFault(ev);
            break;
        case ActionKind::Message:
        case ActionKind::SystemChange:
            break;
    }
    if (fault) return {fault->refusal, fault->detail};
    return {};
}

QString OperandRefusal(const AutomationEvent& ev, ActionKind action) {
    return CheckOperands(ev, action).refusal;
}

QString LinkRefusal(const Switcher& sw) {
    const SwitcherLink& master = sw.master();
    if (!master.Connected) return kNotExecuted + kServerNotConnected;
    if (!master.Online) return kNotExecuted + kSwitcherNotConnected;
    return QString();
}

namespace {

// Why the switcher did not get what a sender had for it.
QString notSentReason(SendResult r) {
    switch (r) {
        case SendResult::NotConnected:
            return kServerNotConnected;
        case SendResult::Dropped:
            return kSwitcherNotReading;
        case SendResult::Sent:
        case SendResult::Failed:
        case SendResult::Refused:
            break;
    }
    return kUnableToSend;
}

}  // namespace

void LogRefusal(Scheduler& s, const QString& title, QStringView reason) {
    s.counts.refusals.add(reason);
    QString line = title + kNotExecuted;
    line += reason;
    WriteActivityLog(s.logs, line);
}

void CountDecision(Scheduler& s, const AutomationEvent& ev, bool outcome) {
    if (outcome)
        ++s.counts.run;
    else if (HistoryIsRed(ev, outcome))
        ++s.counts.refused;
    else
        ++s.counts.inactive;
}

Task<bool> RunActionSequence(Scheduler& s, AutomationEvent ev, RunnerKind kind, int64_t reportedNs) {
    bool outcome = true;
    const auto refuse = [&](const QString& reason) {
        LogRefusal(s, ev.Title, reason);
        outcome = false;
    };
    // The action is asked for and its operands are given; a refusal is logged here.
    auto goesAhead = [&](ActionKind action) {
        if (!HasAction(ev, action)) return false;
        const QString refusal = OperandRefusal(ev, action);
        if (refusal.isEmpty()) return true;
        refuse(refusal);
        return false;
    };
    // What the switcher did not get was not executed: its sender wrote no line for it.
    const auto delivered = [&](SendResult r) {
        if (r != SendResult::Sent) {
            refuse(notSentReason(r));
            return;
        }
        if (reportedNs != 0) {
            s.counts.triggerLatency.observe(static_cast<double>(MonotonicNs() - reportedNs) / 1e9);
            reportedNs = 0;
        }
    };
    if (goesAhead(ActionKind::Crosspoint)) delivered(co_await SendCrosspointChange(s.switcher, ev));
    if (goesAhead(ActionKind::Salvo)) delivered(co_await SendSalvoExecute(s.switcher, ev));
    if (goesAhead(ActionKind::Relay)) delivered(co_await SendRelayAction(s.switcher, ev));
    if (goesAhead(ActionKind::Opto)) delivered(co_await SendOptoAction(s.switcher, ev));
    if (goesAhead(ActionKind::SourceSelect)) delivered(co_await SendSourceSelect(s.switcher, ev));
    if (goesAhead(ActionKind::Gain)) delivered(co_await SendGainChange(s.switcher, ev));
    if (goesAhead(ActionKind::RelayAssociation))
        delivered(co_await SendRelayAssociation(s.switcher, ev));
    if (goesAhead(ActionKind::Message)) {
        const bool sent = co_await SendEventMessage(s.peers, ev);
        if (kind == RunnerKind::Timed) {
            outcome = sent;
            if (!sent) LogRefusal(s, ev.Title, kUnableToSend);
        }
    }
    if (goesAhead(ActionKind::SystemChange)) {
        const SendResult r = co_await ProcessSystemChange(s.switcher, s.appFolder, ev);
        outcome = r == SendResult::Sent;
        if (!outcome) LogRefusal(s, ev.Title, r == SendResult::Refused ? kInvalidFile : notSentReason(r));
    }
    co_return outcome;
}

QString HistoryTitle(const AutomationEvent& ev, bool outcome) {
    if (outcome) return ev.Title;
    return ev.Title + (ev.Active != 0 ? QStringLiteral(" - Not Executed") : QStringLiteral(" - Inactive"));
}

bool HistoryIsRed(const AutomationEvent& ev, bool outcome) { return !outcome && ev.Active != 0; }

}  // namespace tarvo
