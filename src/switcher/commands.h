// Crosspoint, salvo, relay, gain and opto commands: one frame and one activity-log line each.
#pragma once

namespace tarvo {

class Engine;
struct AutomationEvent;

void SendCrosspointChange(Engine& e, const AutomationEvent& ev);
void SendSalvoExecute(Engine& e, const AutomationEvent& ev);
void SendRelayAction(Engine& e, const AutomationEvent& ev);
void SendGainChange(Engine& e, const AutomationEvent& ev);
void SendOptoAction(Engine& e, const AutomationEvent& ev);

}  // namespace tarvo
