// Display-list files sent as input and as output lists.
#include "fuzz_support.h"
#include "uploads/display_lists_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file = fuzz::FileData(data, size);
    DisplayListsFile lists;
    if (!fuzz::Attempt([&] { lists = ReadDisplayListsFile(file); })) return 0;
    for (int kind : {10, 20, 30}) {
        fuzz::Attempt([&] { fuzz::CheckFrame(BuildDisplayListsFrame(lists, kind)); });
    }
    return 0;
}
