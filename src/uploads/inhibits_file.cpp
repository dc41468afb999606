#include "uploads/inhibits_file.h"

#include "switcher/codec.h"
#include "uploads/byte_reader.h"

namespace tarvo {

namespace {

constexpr uint8_t kInhibitsMessage = 0xF8;
constexpr int kAllChannels = 16383;
// A run's length travels in 7 low bits and 6 high bits; the seventh high bit is the value.
constexpr int kLongestRun = 63 * 128 + 127;

void appendRuns(FrameBuilder& frame, const QByteArray& row) {
    struct Run {
        int length;
        int value;
    };
    std::vector<Run> runs;
    if (row.isEmpty()) runs.push_back({1, 0});
    for (qsizetype p = 0; p < row.size();) {
        qsizetype q = p;
        while (q < row.size() && row[q] == row[p]) ++q;
        runs.push_back({static_cast<int>(q - p), row[p] == '1' ? 1 : 0});
        p = q;
    }
    frame.num14(static_cast<int>(runs.size()));
    for (const Run& run : runs) {
        // A longer run would spill into the value bit and turn a stretch of 0s into 1s.
        if (run.length > kLongestRun) fail(kErrOverflow, QStringLiteral("Overflow"));
        const int low = run.length & 127;
        frame.byte(low).byte(run.value * 64 + (run.length - low) / 128);
    }
}

}  // namespace

std::optional<InhibitsFile> ReadInhibitsFile(const QByteArray& data) {
    ByteReader r(data);
    InhibitsFile file;
    r.word();  // type word
    file.rowLength = r.word();
    file.firstRow = r.word();
    file.lastRow = r.word();
    const long long count = to16(static_cast<long long>(file.lastRow) - file.firstRow + 1);
    if (count > 0) {
        if (file.rowLength < 0)
            fail(kErrInvalidCall, QStringLiteral("Invalid procedure call or argument"));
        r.require(count, file.rowLength);
        file.rows.reserve(static_cast<size_t>(count));
    }
    for (long long p = 0; p < count; ++p) {
        QByteArray row = r.bytes(file.rowLength);
        for (char c : row)
            if (c != '0' && c != '1') return std::nullopt;
        file.rows.push_back(std::move(row));
    }
    return file;
}

bool InhibitsSingleRow(int channel) {
    return channel != 0 && channel != kAllChannels;
}

QByteArray BuildInhibitsFrame(const InhibitsFile& file, int channel) {
    int start = 0, count = file.lastRow;
    if (InhibitsSingleRow(channel)) {
        start = to16(channel - 1);
        count = 1;
    }
    FrameBuilder frame(kInhibitsMessage);
    frame.byte(1).num14(count).num14(start);
    for (long long p = start; p < static_cast<long long>(start) + count; ++p)
        appendRuns(frame, at(file.rows, p));
    return frame.finish();
}

}  // namespace tarvo
