// Display-list files: named sets of inputs and of outputs, each set a row of "0"/"1".
#pragma once

#include <cstdint>
#include <vector>

#include <QByteArray>

namespace tarvo {

struct DisplayList {
    QByteArray name;  // empty for the positions the file does not fill
    QByteArray set;   // "0"/"1" characters; empty means all clear
};

struct DisplayListsFile {
    int16_t listCount = 0;             // M
    int16_t firstList = 0;             // D1
    int16_t inputSetLength = 0;        // BI
    int16_t outputSetLength = 0;       // BO
    int16_t nameLength = 0;            // NL
    std::vector<DisplayList> inputs;   // positions 0 .. M - 1
    std::vector<DisplayList> outputs;  // positions 0 .. M - 1
};

// Reads both blocks of a display-lists file; a file that cannot be read is a failure.
DisplayListsFile ReadDisplayListsFile(const QByteArray& data);

// The 0xDF message for the input lists (kind 10) or the output lists (kind 20).
QByteArray BuildDisplayListsFrame(const DisplayListsFile& file, int kind);

}  // namespace tarvo
