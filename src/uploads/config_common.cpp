#include "uploads/config_common.h"

#include <algorithm>

namespace tarvo {

int RequiredTypeWord(int fileType) {
    switch (fileType) {
        case kFileInputAlphas:
            return kInputAlphasTypeWord;
        case kFileOutputAlphas:
            return kOutputAlphasTypeWord;
        case kFileOptoAlphas:
            return kOptoAlphasTypeWord;
        case kFileRelayAlphas:
            return kRelayAlphasTypeWord;
        case kFileInhibits:
            return kInhibitsTypeWord;
        case kFileSalvos:
            return kSalvosTypeWord;
        case kFileButtons:
            return kButtonsTypeWord;
        case kFileInputDisplayLists:
        case kFileOutputDisplayLists:
            return kDisplayListsTypeWord;
        case kFileRelayConfig:
            return kRelayConfigTypeWord;
        case kFileModuleConfig:
            return kModuleTypeWord;
        case kFileConsoleConfig:
            return kConsoleTypeWord;
        default:
            return fileType;
    }
}

void AppendName(FrameBuilder& frame, const QByteArray& name) {
    for (char c : name)
        if (c != '\0') frame.byte(static_cast<uint8_t>(c));
}

namespace {
uint8_t upper(char c) {
    const auto b = static_cast<uint8_t>(c);
    return (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - ('a' - 'A')) : b;
}
}  // namespace

bool NameLess(const QByteArray& a, const QByteArray& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return upper(x) < upper(y); });
}

}  // namespace tarvo
