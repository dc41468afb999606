#include "uploads/system_change.h"

namespace tarvo {

bool ProcessSystemChange(Engine&, const AutomationEvent&) { return false; }
void SendRelayAssociation(Engine&, const AutomationEvent&) {}

}  // namespace tarvo
