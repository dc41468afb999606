#include "uploads/module_file.h"

#include "switcher/codec.h"
#include "uploads/byte_reader.h"

namespace tarvo {

namespace {

constexpr uint8_t kModuleFirstMessage = 0xE2;
constexpr uint8_t kModuleSecondMessage = 0xD0;
constexpr int kVersionedLayout = 16383;
constexpr int kMaxModules = 32;
constexpr int kMaxWordPairs = 32;

ModuleChannel readChannel(ByteReader& r, int v) {
    ModuleChannel ch;
    for (auto& x : ch.a) x = r.word();
    for (auto& x : ch.b) x = r.word();
    if (v > 1) ch.d[0] = r.word();
    if (v > 6)
        for (int i = 1; i < 4; ++i) ch.d[i] = r.word();
    if (v > 1) {
        ch.e[0] = r.word();
        ch.e[1] = r.word();
    }
    if (v > 4)
        for (int i = 2; i < 8; ++i) ch.e[i] = r.word();
    if (v > 1) {
        ch.f[0] = r.word();
        ch.g = r.long32();
    }
    if (v > 2) {
        ch.f[1] = r.word();
        ch.f[2] = r.word();
    }
    if (v > 3) r.skip(2);  // two settings stored as bytes, not sent
    if (v > 1) ch.k = r.word();
    if (v > 7) ch.l = r.word();
    if (v > 1 && v < 7) {
        if (ch.k > kMaxWordPairs) failSubscript();
        if (ch.k > 0) r.skip(4LL * ch.k);  // the word pairs, not sent
    }
    return ch;
}

}  // namespace

ModuleFile ReadModuleFile(const QByteArray& data) {
    ByteReader r(data);
    ModuleFile file;
    r.word();  // type word
    for (auto& h : file.header) h = r.word();
    int16_t count = r.word();
    if (count == kVersionedLayout) {
        file.version = r.word();
        count = r.word();
    }
    if (count > kMaxModules) failSubscript();
    for (int m = 0; m < count; ++m) {
        Module module;
        module.number = r.word();
        if (file.version > 5) r.skip(1);  // a setting stored as a byte, not sent
        const int channels = r.byte();
        module.channels.reserve(static_cast<size_t>(channels));
        for (int c = 0; c < channels; ++c) module.channels.push_back(readChannel(r, file.version));
        file.modules.push_back(std::move(module));
    }
    // A negative count leaves no modules; the messages cannot carry it.
    if (count < 0) fail(kErrOverflow, QStringLiteral("Overflow"));
    return file;
}

std::vector<QByteArray> BuildModuleFrames(const ModuleFile& file, int frameNumber, int slot) {
    const int moduleCount = static_cast<int>(file.modules.size());

    FrameBuilder first(kModuleFirstMessage);
    first.byte(0x00).byte(0x01).byte(frameNumber).byte(0x01).byte(slot);
    for (int16_t h : file.header) first.num14(h);
    first.byte(moduleCount).byte(0x00);
    for (const Module& module : file.modules) {
        first.byte(static_cast<int>(module.channels.size()));
        for (const ModuleChannel& ch : module.channels)
            for (int16_t x : ch.a) first.num14(x);
    }

    FrameBuilder second(kModuleSecondMessage);
    second.num14(1).byte(0x01).byte(frameNumber).num14(16383).byte(0x01).byte(slot);
    second.byte(moduleCount).byte(0x00);
    for (const Module& module : file.modules) {
        second.num14(module.number).byte(static_cast<int>(module.channels.size()));
        for (const ModuleChannel& ch : module.channels) {
            second.num14(ch.b[3]);
            second.mask28(ch.g);
            for (int16_t x : ch.d) second.num14(x);
            for (int i = 0; i < 3; ++i) second.num14(ch.b[i]);
            for (int16_t x : ch.f) second.num14(x);
            second.num14(ch.l);
            second.byte(ch.k & 127).byte(8);
            for (int16_t x : ch.e) second.num14(x);
        }
    }
    return {first.finish(), second.finish()};
}

}  // namespace tarvo
