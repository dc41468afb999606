#include "scheduler/actions.h"

#include "logs/logs.h"
#include "scheduler/scheduler.h"
#include "switcher/commands.h"
#include "switcher/peer_messages.h"
#include "uploads/system_change.h"

namespace tarvo {

Task<bool> RunActionSequence(Scheduler& s, AutomationEvent ev, RunnerKind kind) {
    bool outcome = true;
    auto refuse = [&](const char* why) {
        WriteActivityLog(s.logs, ev.Title + kNotExecuted + QLatin1String(why));
        outcome = false;
    };
    if (ev.xcontrol != 0) {
        if (ev.SourceChan != 0 && ev.DestChan != 0)
            co_await SendCrosspointChange(s.switcher, ev);
        else
            refuse("Invalid Crosspoint");
    }
    if (ev.scontrol != 0) co_await SendSalvoExecute(s.switcher, ev);
    if (ev.rcontrol != 0) {
        if (ev.Relay != 0)
            co_await SendRelayAction(s.switcher, ev);
        else
            refuse("Invalid Relay");
    }
    if (ev.ocontrol != 0) {
        if (ev.OptoOut != 0)
            co_await SendOptoAction(s.switcher, ev);
        else
            refuse("Invalid Opto");
    }
    if (ev.sscontrol != 0) {
        if (ev.ssSource == 0)
            refuse("Invalid Source");
        else if (ev.ssDeviceID == 0)
            refuse("Invalid Device ID");
        else
            co_await SendSourceSelect(s.switcher, ev);
    }
    if (ev.vcontrol != 0) {
        if (ev.VChan != 0)
            co_await SendGainChange(s.switcher, ev);
        else
            refuse("Invalid Channel");
    }
    if (ev.rccontrol != 0) {
        if (ev.rcRelay == 0)
            refuse("Invalid Relay");
        else if (ev.rcOpto == 0)
            refuse("Invalid Opto");
        else
            co_await SendRelayAssociation(s.switcher, ev);
    }
    if (ev.mcontrol != 0) {
        const bool sent = co_await SendEventMessage(s.peers, ev);
        if (kind == RunnerKind::Timed) {
            outcome = sent;
            if (!sent) WriteActivityLog(s.logs, ev.Title + kNotExecuted + QStringLiteral("Unable to Send"));
        }
    }
    if (ev.FileType != 0) {
        outcome = co_await ProcessSystemChange(s.switcher, s.appFolder, ev);
        if (!outcome) WriteActivityLog(s.logs, ev.Title + kNotExecuted + QStringLiteral("Invalid File"));
    }
    co_return outcome;
}

QString HistoryTitle(const AutomationEvent& ev, bool outcome) {
    if (outcome) return ev.Title;
    return ev.Title + (ev.Active != 0 ? QStringLiteral(" - Not Executed") : QStringLiteral(" - Inactive"));
}

bool HistoryIsRed(const AutomationEvent& ev, bool outcome) { return !outcome && ev.Active != 0; }

}  // namespace tarvo
