// Console-configuration files: 35 settings per console.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>

namespace tarvo {

constexpr int kConsoleFields = 35;
using ConsoleEntry = std::array<int, kConsoleFields>;  // E0 .. E34

struct ConsoleFile {
    int16_t count = 0;  // N
    // Positions 0 .. N: the file's N entries and one empty entry after them.
    std::vector<ConsoleEntry> entries;
};

// Reads a console-configuration file. Empty when the type word is not 218; a file that cannot
// be read is a failure.
std::optional<ConsoleFile> ReadConsoleFile(const QByteArray& data);

// The 0xDA message with the entry of `console` (0-based; 0 .. N).
QByteArray BuildConsoleFrame(const ConsoleFile& file, int console);

}  // namespace tarvo
