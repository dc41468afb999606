#include "uploads/alphas_file.h"

#include <algorithm>
#include <numeric>

#include "store/exchange_sort.h"
#include "switcher/codec.h"
#include "uploads/byte_reader.h"
#include "uploads/config_common.h"

namespace tarvo {

namespace {

constexpr uint8_t kAlphasMessage = 0xFC;
constexpr long long kHeaderSize = 8;

bool hasFlags(int kind) {
    return kind == kInputKind || kind == kOutputKind;
}

// Offset of the flag block, counted from the end of the header.
long long flagBlockOffset(int version, long long n, long long l) {
    // The first layout put half a record per entry before the flags; its lengths only match for
    // an even count, so n / 2 is exact here.
    return version == 1 ? n * l + n / 2 : n * l + n;
}

}  // namespace

int AlphasVersion(long long fileLength, int count, int nameLength) {
    const long long n = count, l = nameLength;
    const long long names = kHeaderSize + n * l;
    const long long twoNames = kHeaderSize + 2 * n * l;
    // The first layout's length was computed in floating point: half of an odd count never
    // gives a whole number of bytes, so such files never match it.
    if (n % 2 == 0 && fileLength == names + (n / 2) * 515) return 1;
    if (fileLength == names + 258 * n) return 2;
    if (fileLength == names + 259 * n) return 3;
    if (fileLength == twoNames + 261 * n) return 4;
    if (fileLength == twoNames + 281 * n || fileLength == twoNames + 271 * n) return 5;
    if (fileLength == twoNames + 275 * n) return 6;
    if (fileLength == twoNames + 279 * n) return 7;
    if (fileLength == twoNames + 283 * n) return 8;
    return 0;
}

std::optional<AlphasFile> ReadAlphasFile(const QByteArray& data, int kind) {
    ByteReader r(data);
    AlphasFile file;
    r.word();  // type word, checked by the dispatch
    file.nameLength = r.word();
    r.word();
    file.count = r.word();
    const long long n = file.count, l = file.nameLength;

    if (hasFlags(kind)) {
        file.version = AlphasVersion(data.size(), file.count, file.nameLength);
        if (file.version == 0) return std::nullopt;
    }

    if (n > 0) {
        // The message carries the count in 14 bits; a larger one is known to fail before a
        // single name is read.
        if (n > kMax14Bit) fail(kErrOverflow, QStringLiteral("Overflow"));
        if (l < 0) fail(kErrInvalidCall, QStringLiteral("Invalid procedure call or argument"));
        // Name positions are 16-bit: the last name must start within the first 32767 bytes.
        to16((n - 1) * l + kHeaderSize + 1);
        r.require(n, l);
        file.entries.reserve(static_cast<size_t>(n));
    }
    for (long long i = 0; i < n; ++i) {
        AlphasEntry entry;
        r.seek(kHeaderSize + i * l);
        entry.name = r.bytes(l);
        entry.index = static_cast<int16_t>(i);
        if (hasFlags(kind)) {
            r.seek(kHeaderSize + flagBlockOffset(file.version, n, l) + i);
            entry.flag = r.byte();
        }
        file.entries.push_back(std::move(entry));
    }
    return file;
}

QByteArray BuildAlphasFrame(const AlphasFile& file, int kind) {
    const auto& entries = file.entries;
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t{0});
    ExchangePass(order, 0, order.size(), [&](size_t a, size_t b) {
        return NameLess(at(entries, a).name, at(entries, b).name);
    });

    FrameBuilder frame(kAlphasMessage);
    frame.byte(kind).byte(file.nameLength).num14(file.count).num14(0);

    // Names marked "{" are left out of their sorted place and follow all the others, in the
    // same sorted order among themselves.
    std::vector<std::pair<QByteArray, int>> plain, marked;
    for (size_t k : order) {
        const AlphasEntry& entry = at(entries, static_cast<long long>(k));
        QByteArray name = entry.name;
        if (hasFlags(kind) && entry.flag == 1 && !name.isEmpty()) name[0] = '{';
        auto& list = (!name.isEmpty() && name[0] == '{') ? marked : plain;
        list.emplace_back(std::move(name), entry.index);
    }
    for (const auto* list : {&plain, &marked}) {
        for (const auto& [name, index] : *list) {
            AppendName(frame, name);
            frame.num14(index);
        }
    }
    return frame.finish();
}

}  // namespace tarvo
