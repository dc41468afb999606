// Shared by the fuzz targets: the input as the readers see a file, and the checks every frame
// that a builder returns must pass. A frame that breaks them would corrupt the switcher link.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>

#include <QByteArray>

#include "logs/failure.h"

namespace tarvo::fuzz {

// The fuzzer's bytes without a copy, so that reading one byte past them is caught.
inline QByteArray FileData(const uint8_t* data, size_t size) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

// Type byte with its top bit, payload bytes without it, the checksum of the payload, 0xFF.
inline void CheckFrame(const QByteArray& frame) {
    if (frame.size() < 3) std::abort();
    if ((static_cast<uint8_t>(frame[0]) & 0x80) == 0) std::abort();
    if (static_cast<uint8_t>(frame[frame.size() - 1]) != 0xFF) std::abort();
    int sum = 0;
    for (qsizetype p = 1; p < frame.size() - 2; ++p) {
        const auto b = static_cast<uint8_t>(frame[p]);
        if (b > 127) std::abort();
        sum = (sum + b) % 128;
    }
    if (static_cast<uint8_t>(frame[frame.size() - 2]) != sum) std::abort();
}

// Runs one read or build; a reported failure is a correct outcome for a broken file.
inline bool Attempt(const std::function<void()>& step) {
    try {
        step();
        return true;
    } catch (const TarvoError&) {
        return false;
    }
}

}  // namespace tarvo::fuzz
