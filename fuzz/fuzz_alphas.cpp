// Alphas files read as each of the four kinds.
#include "fuzz_support.h"
#include "uploads/alphas_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file = fuzz::FileData(data, size);
    for (int kind : {10, 20, 30, 40}) {
        std::optional<AlphasFile> alphas;
        if (!fuzz::Attempt([&] { alphas = ReadAlphasFile(file, kind); }) || !alphas) continue;
        if (alphas->entries.size() != static_cast<size_t>(std::max<int>(alphas->count, 0))) std::abort();
        fuzz::Attempt([&] { fuzz::CheckFrame(BuildAlphasFrame(*alphas, kind)); });
    }
    return 0;
}
