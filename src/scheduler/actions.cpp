#include "scheduler/actions.h"

#include "logs/logs.h"
#include "scheduler/scheduler.h"
#include "switcher/commands.h"
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

QString OperandRefusal(const AutomationEvent& ev, ActionKind action) {
    const auto unless = [](bool given, const char* refusal) {
        return given ? QString() : QLatin1String(refusal);
    };
    switch (action) {
        case ActionKind::Crosspoint:
            return unless(ev.SourceChan != 0 && ev.DestChan != 0, "Invalid Crosspoint");
        case ActionKind::Relay:
            return unless(ev.Relay != 0, "Invalid Relay");
        case ActionKind::Opto:
            return unless(ev.OptoOut != 0, "Invalid Opto");
        case ActionKind::SourceSelect:
            if (ev.ssSource == 0) return QStringLiteral("Invalid Source");
            return unless(ev.ssDeviceID != 0, "Invalid Device ID");
        case ActionKind::Gain:
            return unless(ev.VChan != 0, "Invalid Channel");
        case ActionKind::RelayAssociation:
            if (ev.rcRelay == 0) return QStringLiteral("Invalid Relay");
            return unless(ev.rcOpto != 0, "Invalid Opto");
        case ActionKind::Salvo:
        case ActionKind::Message:
        case ActionKind::SystemChange:
            break;
    }
    return QString();
}

Task<bool> RunActionSequence(Scheduler& s, AutomationEvent ev, RunnerKind kind) {
    bool outcome = true;
    // The action is asked for and its operands are given; a refusal is logged here.
    auto goesAhead = [&](ActionKind action) {
        if (!HasAction(ev, action)) return false;
        const QString refusal = OperandRefusal(ev, action);
        if (refusal.isEmpty()) return true;
        WriteActivityLog(s.logs, ev.Title + kNotExecuted + refusal);
        outcome = false;
        return false;
    };
    if (goesAhead(ActionKind::Crosspoint)) co_await SendCrosspointChange(s.switcher, ev);
    if (goesAhead(ActionKind::Salvo)) co_await SendSalvoExecute(s.switcher, ev);
    if (goesAhead(ActionKind::Relay)) co_await SendRelayAction(s.switcher, ev);
    if (goesAhead(ActionKind::Opto)) co_await SendOptoAction(s.switcher, ev);
    if (goesAhead(ActionKind::SourceSelect)) co_await SendSourceSelect(s.switcher, ev);
    if (goesAhead(ActionKind::Gain)) co_await SendGainChange(s.switcher, ev);
    if (goesAhead(ActionKind::RelayAssociation)) co_await SendRelayAssociation(s.switcher, ev);
    if (goesAhead(ActionKind::Message)) {
        const bool sent = co_await SendEventMessage(s.peers, ev);
        if (kind == RunnerKind::Timed) {
            outcome = sent;
            if (!sent) WriteActivityLog(s.logs, ev.Title + kNotExecuted + kUnableToSend);
        }
    }
    if (goesAhead(ActionKind::SystemChange)) {
        outcome = co_await ProcessSystemChange(s.switcher, s.appFolder, ev);
        if (!outcome) WriteActivityLog(s.logs, ev.Title + kNotExecuted + kInvalidFile);
    }
    co_return outcome;
}

QString HistoryTitle(const AutomationEvent& ev, bool outcome) {
    if (outcome) return ev.Title;
    return ev.Title + (ev.Active != 0 ? QStringLiteral(" - Not Executed") : QStringLiteral(" - Inactive"));
}

bool HistoryIsRed(const AutomationEvent& ev, bool outcome) { return !outcome && ev.Active != 0; }

}  // namespace tarvo
