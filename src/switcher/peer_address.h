// The addresses the engine dials: the switchers' and every message peer's. Only four dotted
// decimal parts 0 to 255 are an address here. The system's own parser also takes "127.1",
// "2130706433", "0x7f000001" and octal parts, each of which names another host than it seems to
// (a typo such as "10.0.9" reaches 10.0.0.9), so it is never asked.
//
// A broadcast or multicast address reaches every host of a network at once. It is refused unless
// the row asks for it by name (its Method is "Broadcast", see docs/database.md); the switchers
// never allow it. The limited broadcast 255.255.255.255 and 224.0.0.0/4 are known by their
// form; the broadcast of a subnet this machine is on is known by asking the kernel's routes
// (a datagram socket without SO_BROADCAST may not be connected to it; nothing is sent).
#pragma once

#include <cstdint>

#include <QString>

namespace tarvo {

struct DialledAddress {
    uint32_t ip = 0;  // host order
    QString text;     // as dialled, in plain decimal: what the logs show
    bool broadcast = false;  // broadcast or multicast (only when allowed)
};

// The address `text` names (blanks around it ignored), or a failure (kErrInvalidCall) that says
// why it is refused: not four decimal parts 0 to 255, 0.0.0.0 (the editing tool's "not set"), or
// a broadcast or multicast address that `allowBroadcast` does not allow. The senders and the
// check of a schedule both ask this.
DialledAddress DialAddress(const QString& text, bool allowBroadcast);

// Just the form: four decimal parts of one to three digits, each 0 to 255.
bool DottedDecimal(const QString& text, uint32_t* ip = nullptr);

}  // namespace tarvo
