// The text form as --import reads it: any bytes give either rows or mistakes, never both, every
// mistake on a line of the text, and rows that write back as a text that reads as the same rows.
#include <cstdio>
#include <cstdlib>

#include "scheduler/text_form.h"

using namespace tarvo;

namespace {
void Require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const ImportRead read = ReadText(text);
    if (!read.mistakes.empty()) {
        Require(read.rows.empty(), "rows beside mistakes");
        const qsizetype lines = text.count(QLatin1Char('\n')) + 1;
        for (const TextMistake& m : read.mistakes) Require(m.line >= 0 && m.line <= lines + 1, "a mistake off the text");
        return 0;
    }
    const QString again = ExportText(read.rows);
    const ImportRead back = ReadText(again);
    Require(back.mistakes.empty(), "an export that does not read");
    Require(ExportText(back.rows) == again, "an export that reads as other rows");
    return 0;
}
