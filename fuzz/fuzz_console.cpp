// Console-configuration files, for consoles before, in and after the file's entries.
#include "fuzz_support.h"
#include "uploads/console_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file = fuzz::FileData(data, size);
    std::optional<ConsoleFile> consoles;
    if (!fuzz::Attempt([&] { consoles = ReadConsoleFile(file); }) || !consoles) return 0;
    const int n = consoles->count;
    for (int console : {-1, 0, 1, n - 1, n, n + 1}) {
        fuzz::Attempt([&] { fuzz::CheckFrame(BuildConsoleFrame(*consoles, console)); });
    }
    return 0;
}
