#include "switcher/links.h"

#include "engine/engine.h"

namespace tarvo {

SwitcherLinks::SwitcherLinks(Engine& e) : e_(e) {}
SwitcherLinks::~SwitcherLinks() = default;

// The link layer arrives with the switcher work; until then the links never come up.
void ConnectSwitcher(Engine&) {}
void LoadSlaveSocket(Engine&) {}
void ConnectSlave(Engine&) {}
void CloseSwitcherLink(Engine& e) { e.SwitcherConnected = false; }
void CloseSlaveLink(Engine& e) { e.SlaveConnected = false; }

}  // namespace tarvo
