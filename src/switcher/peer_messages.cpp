#include "switcher/peer_messages.h"

#include "engine/engine.h"

namespace tarvo {

PeerPorts::PeerPorts(Engine& e) : e_(e) {}
PeerPorts::~PeerPorts() = default;

bool SendEventMessage(Engine&, const AutomationEvent&) {
    return false;
}
void SendSourceSelect(Engine&, const AutomationEvent&) {}

}  // namespace tarvo
