#include "uploads/relay_file.h"

#include "switcher/codec.h"
#include "uploads/byte_reader.h"

namespace tarvo {

namespace {

constexpr uint8_t kRelayConfigMessage = 0xF9;
constexpr int kRelayTable = 40;
constexpr int kMarkedLayout = 16383;
constexpr int kNone = 16383;
constexpr int kAssociationMode = 2;
constexpr long long kEntrySize = 8;

void appendEntry(FrameBuilder& frame, const RelayEntry& entry) {
    frame.num14(entry.mode).num14(entry.x1).num14(entry.x2).num14(entry.x3);
}

}  // namespace

RelayFile ReadRelayFile(const QByteArray& data) {
    ByteReader r(data);
    RelayFile file;
    r.word();  // type word
    int16_t count = r.word();
    if (count == kMarkedLayout) {
        file.marked = true;
        r.word();
        count = r.word();
        file.firstPosition = r.word();
        // Entries live at positions F .. F + R - 1; a negative F puts them before the first relay.
        if (file.firstPosition < 0) failSubscript();
        if (count > 0) to16(static_cast<long long>(file.firstPosition) + count - 1);
    }
    r.require(count, kEntrySize);
    if (count > 0) file.entries.reserve(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        RelayEntry entry;
        entry.mode = r.word();
        if (entry.mode != 2 && entry.mode != 4 && entry.mode != 8) entry.mode = 1;
        entry.x3 = r.word();
        entry.x2 = r.word();
        entry.x1 = r.word();
        file.entries.push_back(entry);
    }
    // A negative count leaves no entries; the message cannot carry it.
    if (count < 0) fail(kErrOverflow, QStringLiteral("Overflow"));
    return file;
}

QByteArray BuildRelayConfigurationFrame(const RelayFile& file) {
    FrameBuilder frame(kRelayConfigMessage);
    frame.byte(kRelayTable).num14(static_cast<int>(file.entries.size())).num14(file.firstPosition);
    for (const RelayEntry& entry : file.entries) appendEntry(frame, entry);
    return frame.finish();
}

QByteArray BuildRelayAssociationFrame(int relay, int opto) {
    FrameBuilder frame(kRelayConfigMessage);
    frame.byte(kRelayTable).num14(1).num14(relay);
    frame.num14(kAssociationMode).num14(kNone).num14(kNone).num14(opto);
    return frame.finish();
}

}  // namespace tarvo
