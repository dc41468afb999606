// System changes: configuration files loaded into the switcher.
#pragma once

namespace tarvo {

class Engine;
struct AutomationEvent;

// True when the event's file exists, is not empty and starts with the type word its FileType
// asks for. A name that is not a file is reported under "Error Reading File".
bool CheckConfigFile(Engine& e, const AutomationEvent& ev);
// Checks the event's configuration file and hands it to the upload of its kind.
bool ProcessSystemChange(Engine& e, const AutomationEvent& ev);
// Associates relay rcRelay with opto rcOpto.
void SendRelayAssociation(Engine& e, const AutomationEvent& ev);

}  // namespace tarvo
