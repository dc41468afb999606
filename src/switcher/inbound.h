// Messages from the switcher that keep the engine's picture of it: crosspoint maps, take
// reports, relay and opto states; and the two link-specific messages the engine sends itself.
// The decoders are pure (frame in, records out); the handlers apply the records to the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>

#include "switcher/output_map.h"

namespace tarvo {

class Switcher;

constexpr int kOptoStateKind = 30;
constexpr int kRelayStateKind = 40;
constexpr int kPlainTake = 4;
constexpr int kPriorityTake = 5;
// Option bits of the 0xFE command word, beside its command code.
constexpr int kCommandOptionBits = 0x400 | 0x2000;
// A plain or priority take, option bits aside: either one puts its source alone on the output.
constexpr bool IsTakeCommand(int command) {
    const int code = command & ~kCommandOptionBits;
    return code == kPlainTake || code == kPriorityTake;
}
// State messages with fewer entries are changes and fire triggered events; longer ones are
// dumps of the whole picture and do not.
constexpr int kStateChangeLimit = 32;
// Opto and relay numbers are 14-bit on the wire: a state table never needs more entries.
constexpr int kMaxStateEntries = 16384;

// --- crosspoint map (0xF6)

// Where decoding stands, for the error report of a map that cannot be taken. The step is
// kept as a number and only turned into its text when a report is written.
enum class MapStep {
    None,
    CSum,
    Type,
    Count,
    SourceCount,
    EachSource,
    ChanType,
    Source,
    DeviceId,
    Length,
    Resize,
    Save,
    Received
};
struct MapProgress {
    MapStep step = MapStep::None;
    long long output = 0;  // 0-based output being read (for the Source step)
    long long T = 0;       // outputs described
    long long O = 0;       // first output, 0-based
    long long P = 0;       // read position
    long long L = 0;       // expected frame length
};
QString MapStepText(const MapProgress& p);
// The error report's location: step text, then T, O, P, L and the frame's last index.
QString MapErrorLocation(const MapProgress& p, long long frameLength);

struct DecodedMap {
    int first = 0;                   // 0-based output of outputs[0]
    std::vector<OutputMap> outputs;  // one entry per output described
};
// Empty for a frame that is ignored without a word (wrong checksum or length); a frame that
// cannot be taken at all (too many sources, a read past its end) is a failure, with `progress`
// telling where.
std::optional<DecodedMap> DecodeCrosspointMap(const QByteArray& frame, MapProgress& progress);

// --- take report (0xFE from the switcher)
struct TakeReport {
    int command = 0;
    int source = 0;  // 0-based
    int output = 0;  // 0-based
};
// Empty for a wrong checksum or a frame that is not 9 bytes.
std::optional<TakeReport> DecodeTakeReport(const QByteArray& frame);

// --- relay / opto state (0xF7)
struct StateEntry {
    int number = 0;  // 0-based
    uint8_t state = 0;
};
struct StateMessage {
    int kind = 0;  // 30 optos, 40 relays
    int count = 0;
    std::vector<StateEntry> entries;
};
// Empty when the frame is not exactly 3 × count + 6 bytes. The checksum is the caller's.
std::optional<StateMessage> DecodeStateMessage(const QByteArray& frame);

// --- identity request (0x81) and info request (0xF2)
bool IsIdentRequest(const QByteArray& frame);
QByteArray IdentAnswerFrame();
QByteArray InfoRequestFrame(long long mask1, long long mask2);

// Handlers, called with the whole frame (type byte to end byte) and the link it came on.
void HandleCrosspointMap(Switcher& sw, const QByteArray& frame, int link);
void HandleTakeReport(Switcher& sw, const QByteArray& frame, int link);
void HandleRelayOptoState(Switcher& sw, const QByteArray& frame, int link);
void HandleIdentRequest(Switcher& sw, const QByteArray& frame, int link);
void HandleInfoReply(Switcher& sw, const QByteArray& frame, int link);
void SendInfoRequest(Switcher& sw, long long mask1, long long mask2, int link);

}  // namespace tarvo
