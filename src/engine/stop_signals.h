// Signals reach a program through its event loop: the handler only writes the signal's number to
// a socket pair, and the program's own procedure runs when the loop reads it. SIGTERM and SIGINT
// end a program in order, and so does SIGHUP (the terminal or the session that started it is
// gone); SIGUSR1 asks for a status line. A peer that goes
// away while the engine writes to it is a failed write, not a SIGPIPE that kills the engine.
#pragma once

#include <functional>

#include <QString>

class QObject;

namespace tarvo {

class RunSet;
struct Logs;

// "status: runs N, started S, ended E, most at once M, longest L ms, deepest stack K bytes".
QString RunStatusLine(const RunSet& runs);
// SIGUSR1's line: the runs' status, then "; last error <time> <location> - <message>" when an
// error line has been written.
QString StatusSignalLine(const RunSet& runs, const Logs& logs);

// Blocks SIGTERM, SIGINT, SIGHUP and SIGUSR1 until their handlers are installed below, which take
// each one up: one that comes while the program starts waits for its handler instead of ending
// the program on the spot (without "Program Exit", or for a mere status request). Called before
// the program makes any thread, so that none of them takes such a signal either.
void HoldStopAndStatusSignals();

// Installs the handlers; `stop` runs on the event loop, in `context`'s thread, for each SIGTERM
// SIGINT or SIGHUP. False when the socket pair cannot be made.
bool OnStopSignal(QObject* context, std::function<void()> stop);
// The same for SIGUSR1 (call after OnStopSignal).
bool OnStatusSignal(QObject* context, std::function<void()> report);

}  // namespace tarvo
