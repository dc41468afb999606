// The engine's picture of one switcher output: which sources feed it.
#pragma once

#include <array>
#include <cstdint>

namespace tarvo {

constexpr int kMaxSourcesPerOutput = 65;
constexpr int kMaxType10PerOutput = 32;

struct OutputMap {
    std::array<int16_t, kMaxSourcesPerOutput> Sources{};  // 0-based source numbers
    uint8_t OutputAttr = 0;
    uint8_t SourceCount = 0;
    std::array<int16_t, kMaxSourcesPerOutput> SourceParams{};
    std::array<int16_t, kMaxSourcesPerOutput> SourceDevices{};
    int16_t Type10Count = 0;
    // Indexed 1..32 as the switcher numbers them; element 0 is never used.
    std::array<int16_t, kMaxType10PerOutput + 1> Type10Sources{};
    std::array<int16_t, kMaxType10PerOutput + 1> Type10Params{};
    std::array<int16_t, kMaxType10PerOutput + 1> Type10Devices{};
};

// The entries of Sources in use: SourceCount counts the entries of channel type 10 as well,
// which are kept apart. Whatever lies beyond is not a source of the output (an unused place
// reads as source 1).
inline int OrdinarySourceCount(const OutputMap& m) {
    return m.SourceCount > m.Type10Count ? m.SourceCount - m.Type10Count : 0;
}

}  // namespace tarvo
