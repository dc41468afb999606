// The input of fuzz_receive: a header that sets the engine up and cuts the stream, then the
// stream itself. Shared by the target and the seed writer.
//
//   [0]      flags, see below
//   [1]      triggered events: bits 0-1, 2-3, 4-5 the Active states of the opto, relay and
//            crosspoint events (see ActiveFor), bit 6 delays, bit 7 conditions
//   [2]      links: bit k sends piece k (mod 8) to the slave link, else to the master
//   [3..10]  piece sizes, taken in turn; 0 takes the rest of the stream
//   [11..]   the stream
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <QByteArray>

namespace tarvo::fuzz {

struct ReceiveHeader {
    static constexpr std::size_t kSize = 11;

    enum Flag : uint8_t {
        MasterUp = 1,         // SwitcherConnected (no socket behind it: sends go nowhere)
        MasterAnswering = 2,  // SwitcherOnline
        SlaveUpAndAnswering = 4,
        StartUpStateTables = 8,  // OptoState and RelayState as start-up makes them
        TickEachPiece = 16,      // a timer tick (500 ms later) after every piece
        DrainEachPiece = 32,  // consume as the socket does (every unit) rather than the tick (one)
        GrownMaps = 64,       // maps already hold outputs 1..8 fed by sources
        OtherDay = 128,       // the clock stands on a day without triggered events
    };

    uint8_t flags = MasterUp | MasterAnswering | StartUpStateTables;
    uint8_t events = 0;
    uint8_t links = 0;
    std::array<uint8_t, 8> pieces{};

    bool has(Flag f) const { return (flags & f) != 0; }

    static ReceiveHeader parse(const uint8_t* data, std::size_t size) {
        ReceiveHeader h;
        auto byte = [&](std::size_t i) -> uint8_t { return i < size ? data[i] : 0; };
        h.flags = byte(0);
        h.events = byte(1);
        h.links = byte(2);
        for (std::size_t k = 0; k < h.pieces.size(); ++k) h.pieces[k] = byte(3 + k);
        return h;
    }

    QByteArray encode() const {
        QByteArray b;
        b.append(static_cast<char>(flags))
            .append(static_cast<char>(events))
            .append(static_cast<char>(links));
        for (uint8_t p : pieces) b.append(static_cast<char>(p));
        return b;
    }
};

}  // namespace tarvo::fuzz
