#include "switcher/commands.h"

namespace tarvo {

void SendCrosspointChange(Engine&, const AutomationEvent&) {}
void SendSalvoExecute(Engine&, const AutomationEvent&) {}
void SendRelayAction(Engine&, const AutomationEvent&) {}
void SendGainChange(Engine&, const AutomationEvent&) {}
void SendOptoAction(Engine&, const AutomationEvent&) {}

}  // namespace tarvo
