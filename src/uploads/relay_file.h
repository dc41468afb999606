// Relay-configuration files and the relay-to-opto association, both sent as the relay
// configuration message 0xF9.
#pragma once

#include <cstdint>
#include <vector>

#include <QByteArray>

namespace tarvo {

struct RelayEntry {
    int16_t mode = 1;  // 1, 2, 4 or 8
    int16_t x1 = 0, x2 = 0, x3 = 0;
};

struct RelayFile {
    bool marked = false;              // second word 16383: the layout with a first position
    int16_t firstPosition = 0;        // F; 0 in the plain layout
    std::vector<RelayEntry> entries;  // positions F .. F + R - 1
};

// Reads a relay-configuration file of either layout; a file that cannot be read is a failure.
RelayFile ReadRelayFile(const QByteArray& data);

// The 0xF9 message for the file's entries, from the file's first position.
QByteArray BuildRelayConfigurationFrame(const RelayFile& file);

// The one-entry 0xF9 message that makes opto `opto` drive relay `relay` (both 0-based).
QByteArray BuildRelayAssociationFrame(int relay, int opto);

}  // namespace tarvo
