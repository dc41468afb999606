// What the configuration-file readers and upload builders share: the type words that name a
// file's kind, and the handling of the fixed-length names the files carry.
#pragma once

#include <cstdint>

#include <QByteArray>

#include "switcher/codec.h"

namespace tarvo {

// The first 16-bit word of every configuration file names its kind.
enum TypeWord : int16_t {
    kModuleTypeWord = 100,
    kInputAlphasTypeWord = 200,
    kConsoleTypeWord = 218,
    kOutputAlphasTypeWord = 300,
    kOptoAlphasTypeWord = 350,
    kRelayAlphasTypeWord = 360,
    kInhibitsTypeWord = 400,
    kButtonsTypeWord = 500,
    kSalvosTypeWord = 600,
    kRelayConfigTypeWord = 900,
    kDisplayListsTypeWord = 1000,
};

// The event's FileType values (1 .. 12) that load a file; 0 loads nothing.
enum FileKind : int16_t {
    kFileInputAlphas = 1,
    kFileOutputAlphas = 2,
    kFileOptoAlphas = 3,
    kFileRelayAlphas = 4,
    kFileInhibits = 5,
    kFileSalvos = 6,
    kFileButtons = 7,
    kFileInputDisplayLists = 8,
    kFileOutputDisplayLists = 9,
    kFileRelayConfig = 10,
    kFileModuleConfig = 11,
    kFileConsoleConfig = 12,
};

// The kind numbers the switcher receives inside the name and display-list messages.
enum ListKind : int {
    kInputKind = 10,
    kOutputKind = 20,
    kOptoKind = 30,
    kRelayKind = 40,
    kSalvoKind = 50,
};

// The type word a file must start with to be loaded as `fileType`. A FileType outside 1 .. 12
// loads nothing; its file is compared with the FileType value itself.
int RequiredTypeWord(int fileType);

// Appends a stored name to a frame: its bytes as stored, with every 0x00 left out. A byte with
// its top bit set cannot be carried and fails the frame.
void AppendName(FrameBuilder& frame, const QByteArray& name);

// Names sort by their upper-cased bytes, byte by byte by code; a shorter name that is the start
// of a longer one comes first.
bool NameLess(const QByteArray& a, const QByteArray& b);

}  // namespace tarvo
