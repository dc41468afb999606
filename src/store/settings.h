#pragma once

#include <cstdint>

#include <QString>

namespace tarvo {

// The settings of the Server and Info tables. Before the first load every value is empty; a
// setting whose read fails keeps the value of the previous load.
struct EngineSettings {
    QString IPAddr;
    int32_t IPPort = 0;
    QString SlaveIPAddr;
    int32_t SlaveIPPort = 0;
    bool SlaveEnabled = false;
    QString TaskViewDB;
    bool StartMin = false;
    bool ArchiveTally = false;
    int32_t MaxTallyFile = 0;
    QString Future1;
};

}  // namespace tarvo
