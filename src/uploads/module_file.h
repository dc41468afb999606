// Module-configuration files: the channel settings of the modules of one frame slot.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <QByteArray>

namespace tarvo {

struct ModuleChannel {
    // Fields the file's version does not hold stay 0.
    std::array<int16_t, 4> a{}, b{}, d{};
    std::array<int16_t, 8> e{};
    std::array<int16_t, 3> f{};
    int32_t g = 0;
    int16_t k = 0;  // count of word pairs
    int16_t l = 0;
};

struct Module {
    int16_t number = 0;                   // U
    std::vector<ModuleChannel> channels;  // C of them, 0 .. 255
};

struct ModuleFile {
    std::array<int16_t, 4> header{};  // H1 .. H4
    int16_t version = 0;              // V; 0 for the plain layout
    std::vector<Module> modules;      // at most 32
};

// Reads a module-configuration file; a file that cannot be read is a failure, as is one with
// more than 32 modules or more than 32 word pairs in a channel.
ModuleFile ReadModuleFile(const QByteArray& data);

// The two messages, 0xE2 then 0xD0, for the module slot at `frameNumber`, `slot`.
std::vector<QByteArray> BuildModuleFrames(const ModuleFile& file, int frameNumber, int slot);

}  // namespace tarvo
