// The configuration uploads of system changes. Each reads its file whole, builds every message
// of the upload before the first goes out, sends them with SendToSwitcher and logs; a file that
// fails its format check is refused without a log line, any other failure is reported under the
// upload's own location text. All return true when the upload went out.
#pragma once

#include <QByteArray>
#include <QString>

namespace tarvo {

class Engine;
struct AutomationEvent;

// A configuration file's path: an absolute name as it is, a relative one in the program folder.
QString ConfigFilePath(const Engine& e, const QString& fileName);
// The whole file as stored. A name that is not a regular file is "File not found" (so a pipe or
// device can never hang the loop).
QByteArray ReadConfigFile(const Engine& e, const QString& fileName);

// Names of inputs (kind 10), outputs (20), optos (30) or relays (40).
bool SendNewAlphas(Engine& e, int kind, const QString& fileName);
// Inhibits for every output (channel 0 or 16383) or for output `channel` alone.
bool SendNewInhibits(Engine& e, const QString& fileName, int channel);
// Input (kind 10) or output (kind 20) display lists.
bool SendDisplayLists(Engine& e, int kind, const QString& fileName);
// Button templates; `templateNumber` is the event's Template.
bool SendButtons(Engine& e, const QString& fileName, int templateNumber);
// The two-template form of SendButtons.
bool SendButtonTemplates(Engine& e, const QString& fileName, int templateNumber);
// Salvo names, then the steps of every salvo.
bool SendSalvos(Engine& e, const QString& fileName);
bool SendRelayConfiguration(Engine& e, const QString& fileName);
// For the event's FFrame and FSlot.
bool SendModuleConfiguration(Engine& e, const QString& fileName, const AutomationEvent& ev);
// For console `console` (the event's Template - 1).
bool SendConsoleConfiguration(Engine& e, const QString& fileName, int console);

}  // namespace tarvo
