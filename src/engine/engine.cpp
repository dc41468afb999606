#include "engine/engine.h"

#include <QDir>

#include "logs/failure.h"
#include "store/load_database.h"
#include "switcher/links.h"
#include "switcher/peer_messages.h"

namespace tarvo {

Engine::Engine(Clock& c, StatusView& v, const QString& folder) : clock(c), view(v) {
    AppFolder = QDir::cleanPath(QDir(folder).absolutePath());
    if (!AppFolder.endsWith(QLatin1Char('/'))) AppFolder += QLatin1Char('/');
    DatabasePath = AppFolder + kDatabaseFileName;
}

Engine::~Engine() = default;

SwitcherLinks& Engine::links() {
    if (!links_) links_ = std::make_unique<SwitcherLinks>(*this);
    return *links_;
}

PeerPorts& Engine::peers() {
    if (!peers_) peers_ = std::make_unique<PeerPorts>(*this);
    return *peers_;
}

bool& Engine::connectedFlag(int link) {
    if (link == kMaster) return SwitcherConnected;
    if (link == kSlave) return SlaveConnected;
    failSubscript();
}

bool& Engine::onlineFlag(int link) {
    if (link == kMaster) return SwitcherOnline;
    if (link == kSlave) return SlaveSwitcherOnline;
    failSubscript();
}

std::vector<OutputMap>& Engine::mapOf(int link) {
    if (link == kMaster) return SwitcherMap;
    if (link == kSlave) return SlaveSwitcherMap;
    failSubscript();
}

std::vector<AutomationEvent>& Engine::triggerTable(TriggerTable t) {
    switch (t) {
        case TriggerTable::Opto:
            return OptoEvents;
        case TriggerTable::Crosspoint:
            return CrosspointEvents;
        case TriggerTable::Relay:
            return RelayEvents;
    }
    failSubscript();
}

int32_t& Engine::triggerCount(TriggerTable t) {
    switch (t) {
        case TriggerTable::Opto:
            return OptoEventCount;
        case TriggerTable::Crosspoint:
            return CrosspointEventCount;
        case TriggerTable::Relay:
            return RelayEventCount;
    }
    failSubscript();
}

}  // namespace tarvo
