#include "switcher/inbound.h"

#include <algorithm>

#include "logs/logs.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/links.h"

namespace tarvo {

namespace {

constexpr int kIdentRequestMark = 100;
constexpr int kIdentAnswer = 125;
constexpr int kChannelType10 = 10;

// Grows a state table so that `number` has an entry.
void growToFit(std::vector<uint8_t>& table, long long number) {
    if (number < 0 || number >= kMaxStateEntries) failSubscript();
    if (static_cast<long long>(table.size()) <= number)
        table.resize(static_cast<std::size_t>(number) + 1, 0);
}

}  // namespace

QString MapStepText(const MapProgress& p) {
    switch (p.step) {
        case MapStep::None:
            return QString();
        case MapStep::CSum:
            return QStringLiteral("XMap Error - CSum");
        case MapStep::Type:
            return QStringLiteral("XMap Error - Type");
        case MapStep::Count:
            return QStringLiteral("XMap Error - Count");
        case MapStep::SourceCount:
            return QStringLiteral("XMap Error - Source Count");
        case MapStep::EachSource:
            return QStringLiteral("XMap Error - Each Source");
        case MapStep::ChanType:
            return QStringLiteral("XMap Error - Chan Type");
        case MapStep::Source:
            return QStringLiteral("XMap Error - Source, Out:") + QString::number(p.output + 1);
        case MapStep::DeviceId:
            return QStringLiteral("XMap Error - Device ID");
        case MapStep::Length:
            return QStringLiteral("XMap Error - Length");
        case MapStep::Resize:
            return QStringLiteral("XMap Error - Resize struct");
        case MapStep::Save:
            return QStringLiteral("XMap Error - Save changes");
        case MapStep::Received:
            return QStringLiteral("XMap Error - Update receved");
    }
    return QString();
}

QString MapErrorLocation(const MapProgress& p, long long frameLength) {
    return MapStepText(p) + QStringLiteral("T:") + QString::number(p.T) + QStringLiteral(", O:") +
           QString::number(p.O) + QStringLiteral(", P: ") + QString::number(p.P) +
           QStringLiteral(", L:") + QString::number(p.L) + QStringLiteral(", Lng:") +
           QString::number(frameLength - 1);
}

std::optional<DecodedMap> DecodeCrosspointMap(const QByteArray& f, MapProgress& p) {
    p.step = MapStep::CSum;
    if (!FrameChecksumOk(f)) return std::nullopt;

    p.step = MapStep::Type;
    const int k = ReadByte(f, 1);
    const bool channelTypes = (k & 0x40) != 0;
    const int kind = channelTypes ? (k & 0x0F) : k;
    const bool devices = kind == 10;
    const int entrySize = (devices ? 6 : 4) + (channelTypes ? 1 : 0);

    p.step = MapStep::Count;
    p.T = Read14(f, 2);
    p.O = Read14(f, 4);
    DecodedMap map;
    map.first = static_cast<int>(p.O);
    // The outputs are made as their blocks are read, never from the count alone: every block
    // takes at least 3 bytes, and a short frame claiming 16383 outputs must not cost 10 MB of
    // zeroed memory before it fails on its first missing byte.
    const long long fits = std::clamp<long long>((f.size() - 8) / 3 + 1, 0, p.T);
    map.outputs.reserve(static_cast<std::size_t>(fits));
    // Counted in 64 bits: a map of many outputs is longer than a 16-bit count can hold.
    p.L = 8;
    p.P = 6;

    for (long long n = 0; n < p.T; ++n) {
        const long long o = p.O + n;
        OutputMap& out = map.outputs.emplace_back();
        p.step = MapStep::SourceCount;
        const int s = Read14(f, p.P);
        p.P += 2;
        out.SourceCount = toByte(s);
        p.L += 3 + static_cast<long long>(s) * entrySize;
        out.OutputAttr = ReadByte(f, p.P);
        p.P += 1;

        p.step = MapStep::EachSource;
        int c = 0;  // channel-type-10 entries so far in this block
        for (int j = 0; j < s; ++j) {
            bool type10 = false;
            if (channelTypes) {
                p.step = MapStep::ChanType;
                if (ReadByte(f, p.P) == kChannelType10) {
                    type10 = true;
                    ++c;
                }
                p.P += 1;
            }
            p.step = MapStep::Source;
            p.output = o;
            const int16_t source = to16(Read14(f, p.P));
            const int16_t param = to16(Read14(f, p.P + 2));
            p.P += 4;
            if (type10) {
                at(out.Type10Sources, c) = source;
                at(out.Type10Params, c) = param;
            } else {
                at(out.Sources, j - c) = source;
                at(out.SourceParams, j - c) = param;
            }
            if (devices) {
                p.step = MapStep::DeviceId;
                const int16_t device = to16(Read14(f, p.P));
                p.P += 2;
                if (type10)
                    at(out.Type10Devices, c) = device;
                else
                    at(out.SourceDevices, j - c) = device;
            }
        }
        out.Type10Count = to16(c);
    }

    p.step = MapStep::Length;
    if (p.L != f.size()) return std::nullopt;
    return map;
}

std::optional<TakeReport> DecodeTakeReport(const QByteArray& f) {
    if (f.size() != 9 || !FrameChecksumOk(f)) return std::nullopt;
    return TakeReport{Read14(f, 1), Read14(f, 3), Read14(f, 5)};
}

std::optional<StateMessage> DecodeStateMessage(const QByteArray& f) {
    StateMessage m;
    m.kind = ReadByte(f, 1);
    m.count = Read14(f, 2);
    if (f.size() != 3LL * m.count + 6) return std::nullopt;
    m.entries.reserve(static_cast<std::size_t>(m.count));
    for (int k = 0; k < m.count; ++k) {
        const long long pos = 4 + 3LL * k;
        m.entries.push_back(StateEntry{Read14(f, pos), ReadByte(f, pos + 2)});
    }
    return m;
}

bool IsIdentRequest(const QByteArray& f) {
    return (f.size() == 4 || f.size() == 5) && FrameChecksumOk(f) &&
           ReadByte(f, 1) == kIdentRequestMark;
}

QByteArray IdentAnswerFrame() {
    return FrameBuilder(kIdentType).num14(kIdentAnswer).finish();
}

QByteArray InfoRequestFrame(long long mask1, long long mask2) {
    FrameBuilder b(kInfoType);
    b.mask28(mask1);
    if (mask2 < 0 || mask2 > kMax14Bit) fail(kErrOverflow, QStringLiteral("Overflow"));
    b.byte(static_cast<int>(mask2 & 127)).byte(static_cast<int>((mask2 / 128) & 127));
    for (int k = 0; k < 4; ++k) b.byte(0);
    return b.finish();
}

void HandleCrosspointMap(Switcher& sw, const QByteArray& frame, int link) {
    MapProgress p;
    try {
        std::optional<DecodedMap> decoded = DecodeCrosspointMap(frame, p);
        if (!decoded) return;
        SwitcherLink& l = sw.link(link);
        const long long o = p.O;
        const long long last = p.O + p.T - 1;

        p.step = MapStep::Resize;
        if (static_cast<long long>(l.Map.size()) - 1 < last) l.Map.resize(static_cast<std::size_t>(last) + 1);

        // A single-output update is a change on the switcher that the destination's triggers
        // look at. The map is saved first and compared with a copy of the entry it replaced:
        // the triggered runs may wait, and the picture must already be the switcher's own when
        // anything else (a take report, a condition) looks at it meanwhile.
        p.step = MapStep::None;
        std::optional<OutputMap> before;
        if (p.T == 1 && sw.watchesOutput && sw.watchesOutput(static_cast<int>(o + 1))) before = at(l.Map, o);

        p.step = MapStep::Save;
        for (std::size_t n = 0; n < decoded->outputs.size(); ++n)
            l.Map[static_cast<std::size_t>(o) + n] = decoded->outputs[n];

        p.step = MapStep::Received;
        // A map of one output is the switcher's whole map only when it answers the engine's
        // request since the picture was last thrown away. Otherwise it is an update to a
        // picture the engine does not have (after F1 or a new connection): stored, but the map
        // is still asked for, or every take report for another output would fail.
        if (p.T > 1 || l.MapReceived || l.mapAskedIn == l.generation) l.MapReceived = true;
        if (sw.pictureChanged) sw.pictureChanged(link, static_cast<int>(o), static_cast<int>(p.T));

        if (before && sw.outputChanged) {
            p.step = MapStep::None;
            const OutputMap after = at(l.Map, o);
            sw.outputChanged(static_cast<int>(o + 1), *before, after);
        }
    } catch (...) {
        ReportError(sw.logs, MapErrorLocation(p, frame.size()), CurrentFailure(std::current_exception()));
    }
}

void HandleTakeReport(Switcher& sw, const QByteArray& frame, int link) {
    Guarded(sw.logs, QStringLiteral("Error Processing Take"), [&] {
        const std::optional<TakeReport> r = DecodeTakeReport(frame);
        if (!r) return;
        SwitcherLink& l = sw.link(link);
        OutputMap before{};
        if (IsTakeCommand(r->command)) {
            // The switcher reports takes: from now on on this connection a take is expected back.
            l.takesReportedIn = l.generation;
            OutputMap& entry = at(l.Map, r->output);
            before = entry;
            // The output is now fed by this one source alone: SourceCount counts every entry,
            // and a take reports no entries of channel type 10.
            entry.SourceCount = 1;
            entry.Type10Count = 0;
            entry.Sources[0] = to16(r->source);
            if (sw.pictureChanged) sw.pictureChanged(link, r->output, 1);
        }
        if (sw.watchesOutput && sw.watchesOutput(r->output + 1) && sw.outputChanged) {
            const OutputMap after = at(l.Map, r->output);
            sw.outputChanged(r->output + 1, before, after);
        }
    });
}

void HandleRelayOptoState(Switcher& sw, const QByteArray& frame, int link) {
    (void)link;  // both links feed the one opto and relay picture
    // Where the handler stands, turned into the report's location text only on a failure.
    enum class Step { Message, Resize, Entry } step = Step::Message;
    int count = 0;
    StateEntry current;
    bool optos = false;
    try {
        if (!FrameChecksumOk(frame)) {
            WriteErrorLog(sw.logs, QStringLiteral("Check Sum Error"), QStringLiteral("Relay/Opto State"));
            return;
        }
        const std::optional<StateMessage> m = DecodeStateMessage(frame);
        if (!m) return;
        count = m->count;
        optos = m->kind == kOptoStateKind;
        const bool relays = m->kind == kRelayStateKind;
        if (!optos && !relays) return;  // other kinds store nothing
        auto table = [&]() -> std::vector<uint8_t>& { return optos ? sw.OptoState : sw.RelayState; };

        step = Step::Resize;
        if (m->count > 0) growToFit(table(), m->count - 1);

        step = Step::Entry;
        for (const StateEntry& s : m->entries) {
            current = s;
            // A number beyond the table makes room for it rather than losing the state.
            growToFit(table(), s.number);
            at(table(), s.number) = s.state;
            if (m->count < kStateChangeLimit) {
                if (optos && sw.optoChanged)
                    sw.optoChanged(s.number, s.state);
                else if (!optos && sw.relayChanged)
                    sw.relayChanged(s.number, s.state);
            }
        }
    } catch (...) {
        QString location;
        switch (step) {
            case Step::Message:
                location = QStringLiteral("Error Proc O/R State");
                break;
            case Step::Resize:
                location = QStringLiteral("Error Proc O/R State - Resize Error - Count:") +
                           QString::number(count);
                break;
            case Step::Entry:
                location = QStringLiteral("Error Rec ") +
                           (optos ? QStringLiteral("Opto") : QStringLiteral("Relay")) +
                           QStringLiteral(" State - Number:") + QString::number(current.number) +
                           QStringLiteral(" State:") + QString::number(current.state);
                break;
        }
        ReportError(sw.logs, location, CurrentFailure(std::current_exception()));
    }
}

void HandleIdentRequest(Switcher& sw, const QByteArray& frame, int link) {
    if (IsIdentRequest(frame)) SendRaw(sw, IdentAnswerFrame(), link);
}

void HandleInfoReply(Switcher&, const QByteArray&, int) {}

void SendInfoRequest(Switcher& sw, long long mask1, long long mask2, int link) {
    Guarded(sw.logs, QStringLiteral("Error Sending Info Request"), [&] {
        SendRaw(sw, InfoRequestFrame(mask1, mask2), link);
        SwitcherLink& l = sw.link(link);
        l.mapAskedIn = l.generation;
        l.mapAskedAt = sw.clock.tickCount();
    });
}

}  // namespace tarvo
