// System changes: configuration files loaded into the switcher.
#pragma once

namespace tarvo {

class Engine;
struct AutomationEvent;

// Checks the event's configuration file and hands it to the upload of its kind.
bool ProcessSystemChange(Engine& e, const AutomationEvent& ev);
// Associates relay rcRelay with opto rcOpto.
void SendRelayAssociation(Engine& e, const AutomationEvent& ev);

}  // namespace tarvo
