#include "switcher/framing.h"

#include "engine/engine.h"

namespace tarvo {

void ProcessReceiveBuffer(Engine& e, int link) { e.RxBuffer.at(static_cast<std::size_t>(link)).clear(); }
void SendToSwitcher(Engine&, const QByteArray&) {}
void SendRaw(Engine&, const QByteArray&, int) {}

}  // namespace tarvo
