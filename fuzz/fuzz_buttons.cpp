// Button files of both layouts, for several event templates.
#include "fuzz_support.h"
#include "uploads/buttons_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file = fuzz::FileData(data, size);
    ButtonsFile buttons;
    if (!fuzz::Attempt([&] { buttons = ReadButtonsFile(file); })) return 0;
    std::vector<QByteArray> frames;
    if (buttons.twoTemplates()) {
        for (int t : {0, 1, 128, -32768}) {
            if (fuzz::Attempt([&] { frames = BuildButtonTemplateFrames(buttons, t); })) {
                if (frames.size() != 2) std::abort();
                for (const QByteArray& f : frames) fuzz::CheckFrame(f);
            }
        }
    } else if (fuzz::Attempt([&] { frames = BuildButtonBlockFrames(buttons); })) {
        if (frames.size() != static_cast<size_t>((buttons.templateCount + 31) / 32)) std::abort();
        for (const QByteArray& f : frames) fuzz::CheckFrame(f);
    }
    return 0;
}
