#include "uploads/display_lists_file.h"

#include <algorithm>

#include "switcher/codec.h"
#include "uploads/byte_reader.h"
#include "uploads/config_common.h"

namespace tarvo {

namespace {

constexpr uint8_t kDisplayListsMessage = 0xDF;

void readBlock(ByteReader& r, long long lists, int nameLength, int setLength,
               std::vector<DisplayList>& into) {
    if (lists <= 0) return;
    if (nameLength < 0 || setLength < 0)
        fail(kErrInvalidCall, QStringLiteral("Invalid procedure call or argument"));
    r.require(lists, static_cast<long long>(nameLength) + setLength);
    for (long long p = 0; p < lists; ++p) {
        DisplayList& list = at(into, p);
        list.name = r.bytes(nameLength);
        list.set = r.bytes(setLength);
    }
}

}  // namespace

DisplayListsFile ReadDisplayListsFile(const QByteArray& data) {
    ByteReader r(data);
    DisplayListsFile file;
    r.word();  // type word
    file.listCount = r.word();
    file.firstList = r.word();
    file.inputSetLength = r.word();
    file.outputSetLength = r.word();
    file.nameLength = r.word();
    // Lists D1 .. M - 1 are in the file, list d at position d - D1; the positions after them
    // stay empty. A negative D1 would put lists beyond position M - 1: that file is broken.
    const size_t positions = file.listCount > 0 ? static_cast<size_t>(file.listCount) : 0;
    file.inputs.resize(positions);
    file.outputs.resize(positions);
    const long long lists = static_cast<long long>(file.listCount) - file.firstList;
    if (lists > 0 && file.firstList < 0) failSubscript();
    // A first list at or beyond the count leaves the file no list to hold (beyond it, its
    // lists would lie before position 0). Loaded, such a header would clear every list on the
    // switcher from a file that holds none.
    if (lists <= 0 && file.listCount > 0) failSubscript();
    readBlock(r, lists, file.nameLength, file.inputSetLength, file.inputs);
    readBlock(r, lists, file.nameLength, file.outputSetLength, file.outputs);
    return file;
}

QByteArray BuildDisplayListsFrame(const DisplayListsFile& file, int kind) {
    if (kind != kInputKind && kind != kOutputKind)
        fail(kErrInvalidCall, QStringLiteral("Invalid procedure call or argument"));
    const int setLength = kind == kInputKind ? file.inputSetLength : file.outputSetLength;
    const auto& lists = kind == kInputKind ? file.inputs : file.outputs;

    FrameBuilder frame(kDisplayListsMessage);
    frame.byte(kind).num14(file.listCount).num14(0).num14(setLength).byte(file.nameLength & 127);
    const int groups = setLength / 8;
    // Each list's groups are put together first and go into the frame in one piece: a frame
    // can reach 16383 lists of 2047 groups.
    const QByteArray clear(2LL * std::max(groups, 0), '\0');
    QByteArray body;
    for (long long p = 0; p < file.listCount; ++p) {
        const DisplayList& list = at(lists, p);
        if (list.set.isEmpty()) {
            frame.bytes(clear);
        } else {
            if (list.set.size() < 8LL * groups) failSubscript();
            const char* set = list.set.constData();
            body.resize(0);
            for (int g = 0; g < groups; ++g) {
                // The first character of a group is bit 0; only "1" sets a bit.
                int s = 0;
                for (int j = 0; j < 8; ++j)
                    if (set[8 * g + j] == '1') s |= 1 << j;
                body.append(static_cast<char>(s & 127)).append(static_cast<char>(s >> 7));
            }
            frame.bytes(body);
        }
        AppendName(frame, list.name);
    }
    return frame.finish();
}

}  // namespace tarvo
