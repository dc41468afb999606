// Alphas files: the display names of the inputs, outputs, optos or relays.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>

namespace tarvo {

struct AlphasEntry {
    QByteArray name;    // L bytes as stored
    int16_t index = 0;  // position in the file, from 0
    uint8_t flag = 0;   // inputs and outputs only; 1 marks the name with "{"
};

struct AlphasFile {
    int16_t nameLength = 0;            // L
    int16_t count = 0;                 // N
    int version = 0;                   // editing-tool layout, inputs and outputs only (1 .. 8)
    std::vector<AlphasEntry> entries;  // file order
};

// The layout version of an input or output alphas file of `fileLength` bytes, or 0 when the
// length matches none of them.
int AlphasVersion(long long fileLength, int count, int nameLength);

// Reads an alphas file for `kind` (10, 20, 30 or 40). Empty when an input or output file has a
// length that matches no layout; a file that cannot be read is a failure.
std::optional<AlphasFile> ReadAlphasFile(const QByteArray& data, int kind);

// The 0xFC message: the names sorted, flagged names marked with "{" and moved to the end.
QByteArray BuildAlphasFrame(const AlphasFile& file, int kind);

}  // namespace tarvo
