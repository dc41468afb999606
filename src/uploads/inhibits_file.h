// Inhibits files: one row of "0"/"1" characters per output.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>

namespace tarvo {

struct InhibitsFile {
    int16_t rowLength = 0;         // W
    int16_t firstRow = 0;          // R1
    int16_t lastRow = 0;           // R2
    std::vector<QByteArray> rows;  // row r at position r - R1
};

// Reads an inhibits file. Empty when a row holds a character other than "0" or "1".
std::optional<InhibitsFile> ReadInhibitsFile(const QByteArray& data);

// True when `channel` (the event's FileChannel1) asks for one row rather than all of them.
bool InhibitsSingleRow(int channel);

// The 0xF8 message for every row (channel 0 or 16383) or for the row at position channel - 1.
QByteArray BuildInhibitsFrame(const InhibitsFile& file, int channel);

}  // namespace tarvo
