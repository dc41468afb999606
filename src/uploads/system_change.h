// System changes: configuration files loaded into the switcher.
#pragma once

#include <optional>

#include <QString>

#include "base/task.h"
#include "switcher/commands.h"

namespace tarvo {

struct Logs;
class Switcher;
struct AutomationEvent;

// True when the event's file exists, is not empty and starts with the type word its FileType
// asks for. A name that is not a file is reported under "Error Reading File".
bool CheckConfigFile(Logs& logs, const QString& appFolder, const AutomationEvent& ev);
// Why the event's configuration file would not be loaded: a FileType that loads nothing, a file
// that is missing or not a regular file, is empty, starts with another type word than its
// FileType asks for, or that the reader of its kind refuses. Empty when the reader takes it.
// Reads the file; sends nothing and logs nothing.
std::optional<QString> ConfigFileProblem(const QString& appFolder, const AutomationEvent& ev);
// Checks the event's configuration file and hands it to the upload of its kind. Refused when the
// file check fails, the upload refuses the file, or the FileType loads nothing.
Task<SendResult> ProcessSystemChange(Switcher& sw, QString appFolder, const AutomationEvent& ev);
// What the association frame refuses of the event's rcRelay and rcOpto.
std::optional<OperandFault> RelayAssociationFault(const AutomationEvent& ev);
// Associates relay rcRelay with opto rcOpto; logged once the master's link took the frame.
Task<SendResult> SendRelayAssociation(Switcher& sw, const AutomationEvent& ev);

}  // namespace tarvo
