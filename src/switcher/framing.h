// Taking messages off a link's receive buffer, and the two send operations.
#pragma once

#include <QByteArray>

namespace tarvo {

class Engine;

// Drops garbage at the front of RxBuffer[link], then consumes one unit and dispatches it.
void ProcessReceiveBuffer(Engine& e, int link);
// Writes a frame to the master and then, when a slave is configured, to the slave.
void SendToSwitcher(Engine& e, const QByteArray& frame);
// Writes bytes to one link only.
void SendRaw(Engine& e, const QByteArray& bytes, int link);

}  // namespace tarvo
