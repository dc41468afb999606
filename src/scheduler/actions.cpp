#include "scheduler/actions.h"

#include "engine/engine.h"
#include "logs/logs.h"
#include "switcher/commands.h"
#include "switcher/peer_messages.h"
#include "uploads/system_change.h"

namespace tarvo {

bool RunActionSequence(Engine& e, const AutomationEvent& ev, RunnerKind kind) {
    bool outcome = true;
    auto refuse = [&](const char* why) {
        WriteActivityLog(e, ev.Title + kNotExecuted + QLatin1String(why));
        outcome = false;
    };
    if (ev.xcontrol != 0) {
        if (ev.SourceChan != 0 && ev.DestChan != 0)
            SendCrosspointChange(e, ev);
        else
            refuse("Invalid Crosspoint");
    }
    if (ev.scontrol != 0) SendSalvoExecute(e, ev);
    if (ev.rcontrol != 0) {
        if (ev.Relay != 0)
            SendRelayAction(e, ev);
        else
            refuse("Invalid Relay");
    }
    if (ev.ocontrol != 0) {
        if (ev.OptoOut != 0)
            SendOptoAction(e, ev);
        else
            refuse("Invalid Opto");
    }
    if (ev.sscontrol != 0) {
        if (ev.ssSource == 0)
            refuse("Invalid Source");
        else if (ev.ssDeviceID == 0)
            refuse("Invalid Device ID");
        else
            SendSourceSelect(e, ev);
    }
    if (ev.vcontrol != 0) {
        if (ev.VChan != 0)
            SendGainChange(e, ev);
        else
            refuse("Invalid Channel");
    }
    if (ev.rccontrol != 0) {
        if (ev.rcRelay == 0)
            refuse("Invalid Relay");
        else if (ev.rcOpto == 0)
            refuse("Invalid Opto");
        else
            SendRelayAssociation(e, ev);
    }
    if (ev.mcontrol != 0) {
        const bool sent = SendEventMessage(e, ev);
        if (kind == RunnerKind::Timed) {
            outcome = sent;
            if (!sent) WriteActivityLog(e, ev.Title + kNotExecuted + QStringLiteral("Unable to Send"));
        }
    }
    if (ev.FileType != 0) {
        outcome = ProcessSystemChange(e, ev);
        if (!outcome) WriteActivityLog(e, ev.Title + kNotExecuted + QStringLiteral("Invalid File"));
    }
    return outcome;
}

QString HistoryTitle(const AutomationEvent& ev, bool outcome) {
    if (outcome) return ev.Title;
    return ev.Title + (ev.Active != 0 ? QStringLiteral(" - Not Executed") : QStringLiteral(" - Inactive"));
}

bool HistoryIsRed(const AutomationEvent& ev, bool outcome) { return !outcome && ev.Active != 0; }

}  // namespace tarvo
