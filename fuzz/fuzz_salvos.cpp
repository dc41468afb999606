// Salvo files: sorted, then the names and the steps.
#include "fuzz_support.h"
#include "uploads/salvos_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file = fuzz::FileData(data, size);
    std::optional<SalvosFile> salvos;
    if (!fuzz::Attempt([&] { salvos = ReadSalvosFile(file); }) || !salvos) return 0;
    const size_t records = salvos->records.size();
    SortSalvosByName(*salvos);
    if (salvos->records.size() != records) std::abort();
    fuzz::Attempt([&] { fuzz::CheckFrame(BuildSalvoNamesFrame(*salvos)); });
    fuzz::Attempt([&] {
        if (auto steps = BuildSalvoEventsFrame(*salvos)) fuzz::CheckFrame(*steps);
    });
    return 0;
}
