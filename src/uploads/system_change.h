// System changes: configuration files loaded into the switcher.
#pragma once

#include <QString>

#include "base/task.h"

namespace tarvo {

struct Logs;
class Switcher;
struct AutomationEvent;

// True when the event's file exists, is not empty and starts with the type word its FileType
// asks for. A name that is not a file is reported under "Error Reading File".
bool CheckConfigFile(Logs& logs, const QString& appFolder, const AutomationEvent& ev);
// Checks the event's configuration file and hands it to the upload of its kind.
Task<bool> ProcessSystemChange(Switcher& sw, QString appFolder, const AutomationEvent& ev);
// Associates relay rcRelay with opto rcOpto.
Task<> SendRelayAssociation(Switcher& sw, const AutomationEvent& ev);

}  // namespace tarvo
