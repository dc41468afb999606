#include "uploads/console_file.h"

#include "switcher/codec.h"
#include "uploads/byte_reader.h"
#include "uploads/config_common.h"

namespace tarvo {

namespace {

constexpr uint8_t kConsoleMessage = 0xDA;
constexpr long long kEntrySize = 2LL * kConsoleFields;
constexpr int kFirstByteField = 30;  // W30 .. W34 hold byte values

// The order in which the switcher takes an entry's fields.
constexpr std::array<int, kConsoleFields> kWireOrder = {
    1,  0,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
    18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34};

}  // namespace

std::optional<ConsoleFile> ReadConsoleFile(const QByteArray& data) {
    ByteReader r(data);
    if (r.word() != kConsoleTypeWord) return std::nullopt;
    ConsoleFile file;
    file.count = r.word();
    // The entries are held at positions 0 .. N; a negative N leaves no room for any of them.
    if (file.count < 0) failSubscript();
    r.skip(6);
    r.require(file.count, kEntrySize);
    const auto n = static_cast<size_t>(file.count);
    file.entries.reserve(n + 1);
    for (size_t i = 0; i < n; ++i) {
        std::array<int, kConsoleFields> w{};
        for (int k = 0; k < kConsoleFields; ++k) {
            w[k] = r.word();
            if (k >= kFirstByteField) w[k] = toByte(w[k]);
        }
        ConsoleEntry entry = w;
        // Three settings take the value of a later word: the words at 5, 7 and 10 are read and
        // never sent.
        entry[5] = w[6];
        entry[7] = w[9];
        entry[10] = w[12];
        file.entries.push_back(entry);
    }
    file.entries.push_back(ConsoleEntry{});
    return file;
}

QByteArray BuildConsoleFrame(const ConsoleFile& file, int console) {
    const ConsoleEntry& entry = at(file.entries, console);
    FrameBuilder frame(kConsoleMessage);
    frame.byte(0x00).num14(1).num14(console).byte(30).byte(5);
    for (int k : kWireOrder) frame.num14(entry[static_cast<size_t>(k)]);
    return frame.finish();
}

}  // namespace tarvo
