// Module-configuration files of every layout version.
#include "fuzz_support.h"
#include "uploads/module_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file = fuzz::FileData(data, size);
    ModuleFile modules;
    if (!fuzz::Attempt([&] { modules = ReadModuleFile(file); })) return 0;
    if (modules.modules.size() > 32) std::abort();
    for (const auto& place : {std::pair{0, 0}, std::pair{5, 12}, std::pair{255, 128}}) {
        std::vector<QByteArray> frames;
        if (fuzz::Attempt([&] { frames = BuildModuleFrames(modules, place.first, place.second); })) {
            if (frames.size() != 2) std::abort();
            for (const QByteArray& f : frames) fuzz::CheckFrame(f);
        }
    }
    return 0;
}
