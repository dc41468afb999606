// Inhibits files sent whole and row by row.
#include "fuzz_support.h"
#include "uploads/inhibits_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file = fuzz::FileData(data, size);
    std::optional<InhibitsFile> inhibits;
    if (!fuzz::Attempt([&] { inhibits = ReadInhibitsFile(file); }) || !inhibits) return 0;
    for (int channel : {0, 16383, 1, 2, 3, -1, 32767, -32768, 16384}) {
        fuzz::Attempt([&] { fuzz::CheckFrame(BuildInhibitsFrame(*inhibits, channel)); });
    }
    return 0;
}
