// Salvo files: one record per step, the steps of a salvo sharing its number and name.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>

namespace tarvo {

struct SalvoRecord {
    int16_t number = 0;  // S, from 1
    QByteArray name;     // 8 bytes as stored
    int16_t k = 0;
    int16_t p1 = 0, p2 = 0, p3 = 0, p4 = 0;  // 0-based on reading
    int16_t q = 0;
    int16_t level1 = 0, level2 = 0, mode = 0;
};

struct SalvosFile {
    int16_t count = 0;     // N, the records in the file
    int16_t maxSalvo = 0;  // the largest salvo number, from 0
    // Positions 1 .. N; position 0 is an empty record (number 0, empty name).
    std::vector<SalvoRecord> records{1};
};

// Reads a salvos file, normalising each record. Empty when the layout mark is not 1.
std::optional<SalvosFile> ReadSalvosFile(const QByteArray& data);

// Puts positions 1 .. N in order of their upper-cased names, as the exchange passes do.
void SortSalvosByName(SalvosFile& file);

// 1, 2, 4 .. 128 for levels 1 .. 8; 0 for any other value.
int LevelBit(int level);

// The 0xFC message with the name and number of every salvo (the records sorted by name).
QByteArray BuildSalvoNamesFrame(const SalvosFile& file);

// The 0xEB message with the steps of salvos 1 .. maxSalvo. Empty when a salvo number in that
// range has no record.
std::optional<QByteArray> BuildSalvoEventsFrame(const SalvosFile& file);

}  // namespace tarvo
