#include "uploads/salvos_file.h"

#include <numeric>

#include "store/exchange_sort.h"
#include "switcher/codec.h"
#include "uploads/byte_reader.h"
#include "uploads/config_common.h"

namespace tarvo {

namespace {

constexpr uint8_t kSalvoNamesMessage = 0xFC;
constexpr uint8_t kSalvoEventsMessage = 0xEB;
constexpr int kSalvoNameLength = 8;
constexpr long long kRecordSize = 36;

// Salvo numbers are 1-based in the file and 0-based in the messages; 0 stays 0. The value is
// held in 16 bits, so a number above 32768 cannot be held.
int16_t zeroBased(int32_t v) {
    return v > 0 ? to16(static_cast<long long>(v) - 1) : int16_t{0};
}

int modeCode(int mode) {
    if (mode == 1) return 3;
    if (mode == 2) return 7;
    return 0;
}

}  // namespace

std::optional<SalvosFile> ReadSalvosFile(const QByteArray& data) {
    ByteReader r(data);
    SalvosFile file;
    r.word();  // type word
    file.count = r.word();
    if (r.word() != 1) return std::nullopt;
    r.require(file.count, kRecordSize);
    if (file.count > 0) file.records.reserve(static_cast<size_t>(file.count) + 1);
    for (int j = 1; j <= file.count; ++j) {
        SalvoRecord rec;
        rec.number = r.word();
        rec.name = r.bytes(kSalvoNameLength);
        rec.k = r.word();
        if (rec.k > 255) rec.k = 0;
        rec.p1 = zeroBased(r.long32());
        rec.p2 = zeroBased(r.long32());
        rec.p3 = zeroBased(r.long32());
        rec.p4 = zeroBased(r.long32());
        rec.q = r.word();
        rec.level1 = r.word();
        if (rec.level1 > 4) rec.level1 = 0;
        rec.level2 = r.word();
        if (rec.level2 > 3) rec.level2 = 0;
        rec.mode = r.word();
        if (rec.mode > 2) rec.mode = 0;
        if (rec.number > file.maxSalvo) file.maxSalvo = rec.number;
        file.records.push_back(std::move(rec));
    }
    return file;
}

void SortSalvosByName(SalvosFile& file) {
    auto& records = file.records;
    std::vector<size_t> order(records.size());
    std::iota(order.begin(), order.end(), size_t{0});
    ExchangePass(order, 1, order.size(), [&](size_t a, size_t b) {
        return NameLess(at(records, static_cast<long long>(a)).name,
                        at(records, static_cast<long long>(b)).name);
    });
    std::vector<SalvoRecord> sorted;
    sorted.reserve(records.size());
    for (size_t k : order) sorted.push_back(at(records, static_cast<long long>(k)));
    records = std::move(sorted);
}

int LevelBit(int level) {
    return (level >= 1 && level <= 8) ? 1 << (level - 1) : 0;
}

QByteArray BuildSalvoNamesFrame(const SalvosFile& file) {
    // One entry per run of equal names. The count in front is the number of entries that follow,
    // so a file in which two salvos share a name still gives a message the switcher can read.
    FrameBuilder names(kSalvoNamesMessage);
    int entries = 0;
    for (size_t j = 1; j < file.records.size(); ++j) {
        const SalvoRecord& rec = file.records[j];
        if (rec.name == file.records[j - 1].name) continue;
        AppendName(names, rec.name);
        names.num14(rec.number - 1);
        ++entries;
    }
    FrameBuilder frame(kSalvoNamesMessage);
    frame.byte(kSalvoKind).byte(kSalvoNameLength).num14(entries).num14(0);
    frame.bytes(names.partial().mid(1));
    return frame.finish();
}

std::optional<QByteArray> BuildSalvoEventsFrame(const SalvosFile& file) {
    FrameBuilder frame(kSalvoEventsMessage);
    frame.byte(kSalvoKind).num14(file.maxSalvo).num14(file.count);
    // The steps of each salvo in position order.
    std::vector<std::vector<size_t>> steps(static_cast<size_t>(file.maxSalvo) + 1);
    for (size_t j = 1; j < file.records.size(); ++j) {
        const int s = file.records[j].number;
        if (s >= 1 && s <= file.maxSalvo) steps[static_cast<size_t>(s)].push_back(j);
    }
    for (int s = 1; s <= file.maxSalvo; ++s) {
        const auto& positions = at(steps, s);
        if (positions.empty()) return std::nullopt;
        frame.num14(at(file.records, static_cast<long long>(positions.back())).k);
        frame.num14(static_cast<int>(positions.size()));
        for (size_t j : positions) {
            const SalvoRecord& rec = at(file.records, static_cast<long long>(j));
            frame.byte(LevelBit(rec.level1) & 127)
                .byte(LevelBit(rec.level2) & 127)
                .byte(modeCode(rec.mode));
            frame.num14(rec.p1).num14(rec.p2).num14(rec.p4).num14(rec.p3).num14(rec.q);
        }
    }
    return frame.finish();
}

}  // namespace tarvo
