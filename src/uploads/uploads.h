// The configuration uploads of system changes. Each reads its file whole, builds every message
// of the upload before the first goes out, sends them with SendToSwitcher and logs; a file that
// fails its format check is refused without a log line, any other failure is reported under the
// upload's own location text; both are Refused. Otherwise each returns what became of its frames
// (Sent when the master's link took every one; the first that was not, else) and writes its line
// only when they were Sent.
#pragma once

#include <limits>

#include <QByteArray>
#include <QString>

#include "base/task.h"
#include "switcher/framing.h"

namespace tarvo {

class Switcher;
struct AutomationEvent;

// A configuration file's path: an absolute name as it is, a relative one in the program folder.
QString ConfigFilePath(const QString& appFolder, const QString& fileName);
// The largest configuration file loaded: 8 MiB. The largest a switcher needs is an inhibits
// matrix, a byte per source and output (4 MiB at 2048 by 2048); every other kind holds a few
// bytes to a few hundred per channel. Read whole on the loop, 8 MiB takes milliseconds.
constexpr qint64 kMaxConfigFileSize = 8 * 1024 * 1024;
// The file as stored, at most `limit` bytes of it and no more than it held when opened. What is
// opened is checked, without blocking: a name that is not a regular file, or stops being one
// between a look and the open (a FIFO put in its place), is "File not found" and never hangs
// the loop; a file larger than kMaxConfigFileSize is refused before a byte of it is read.
QByteArray ReadConfigFile(const QString& appFolder, const QString& fileName,
                          qint64 limit = std::numeric_limits<qint64>::max());

// Every upload sends through `sw` and reads its file from `appFolder` (the program folder).

// Names of inputs (kind 10), outputs (20), optos (30) or relays (40).
Task<SendResult> SendNewAlphas(Switcher& sw, QString appFolder, int kind, QString fileName);
// Inhibits for every output (channel 0 or 16383) or for output `channel` alone.
Task<SendResult> SendNewInhibits(Switcher& sw, QString appFolder, QString fileName, int channel);
// Input (kind 10) or output (kind 20) display lists.
Task<SendResult> SendDisplayLists(Switcher& sw, QString appFolder, int kind, QString fileName);
// Button templates; `templateNumber` is the event's Template.
Task<SendResult> SendButtons(Switcher& sw, QString appFolder, QString fileName, int templateNumber);
// The two-template form of SendButtons.
Task<SendResult> SendButtonTemplates(Switcher& sw, QString appFolder, QString fileName,
                                     int templateNumber);
// Salvo names, then the steps of every salvo.
Task<SendResult> SendSalvos(Switcher& sw, QString appFolder, QString fileName);
Task<SendResult> SendRelayConfiguration(Switcher& sw, QString appFolder, QString fileName);
// For the event's FFrame and FSlot.
Task<SendResult> SendModuleConfiguration(Switcher& sw, QString appFolder, QString fileName,
                                         int frame, int slot);
// For console `console` (the event's Template - 1).
Task<SendResult> SendConsoleConfiguration(Switcher& sw, QString appFolder, QString fileName,
                                          int console);

}  // namespace tarvo
