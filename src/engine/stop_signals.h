// SIGTERM and SIGINT end a program in order, through its event loop: the handler only writes a
// byte to a socket pair, and the program's own stop runs when the loop reads it. A peer that
// goes away while the engine writes to it is a failed write, not a SIGPIPE that kills the engine.
#pragma once

#include <functional>

class QObject;

namespace tarvo {

// Installs the handlers; `stop` runs on the event loop, in `context`'s thread, for each signal.
// False when the socket pair cannot be made.
bool OnStopSignal(QObject* context, std::function<void()> stop);

}  // namespace tarvo
