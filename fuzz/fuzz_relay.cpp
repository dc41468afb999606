// Relay-configuration files of both layouts.
#include "fuzz_support.h"
#include "uploads/relay_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file = fuzz::FileData(data, size);
    RelayFile relays;
    if (!fuzz::Attempt([&] { relays = ReadRelayFile(file); })) return 0;
    fuzz::Attempt([&] { fuzz::CheckFrame(BuildRelayConfigurationFrame(relays)); });
    return 0;
}
