#include "uploads/buttons_file.h"

#include <algorithm>

#include "switcher/codec.h"
#include "uploads/byte_reader.h"

namespace tarvo {

namespace {

constexpr uint8_t kButtonsMessage = 0xFD;
constexpr int kNone = 16383;
constexpr int kSecondTemplateNumber = 1023;
constexpr int kTemplatesPerBlock = 32;
constexpr long long kRecordSize = 17;
constexpr long long kTemplateNameSize = 20;
constexpr long long kTemplateTextSize = 255;

// C and D name a 1-based target with 0 for none; the switcher wants 0-based with 16383 for none.
int16_t targetOnWire(int16_t v) {
    if (v == 0 || v == kNone) return kNone;
    return to16(static_cast<long long>(v) - 1);
}

std::vector<ButtonRecord> readRecords(ByteReader& r, int count) {
    std::vector<ButtonRecord> records;
    if (count <= 0) return records;
    r.require(count, kRecordSize);
    records.reserve(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        ButtonRecord rec;
        rec.code = r.bytes(9);
        rec.a = r.word();
        rec.b = r.word();
        rec.c = targetOnWire(r.word());
        rec.d = targetOnWire(r.word());
        records.push_back(std::move(rec));
    }
    return records;
}

void appendButtons(FrameBuilder& frame, const std::vector<ButtonRecord>& records) {
    for (const ButtonRecord& rec : records)
        frame.num14(rec.a).num14(rec.b).num14(rec.c).num14(rec.d);
}

}  // namespace

ButtonsFile ReadButtonsFile(const QByteArray& data) {
    ByteReader r(data);
    ButtonsFile file;
    r.word();                            // type word
    const int16_t firstWord = r.word();  // the first template's number in the block layout
    (void)firstWord;
    file.templateCount = r.word();
    if (file.twoTemplates()) {
        file.buttonsPerTemplate = r.word();
        for (int t = 0; t < 2; ++t) {
            r.skip(kTemplateNameSize);
            r.skip(kTemplateTextSize);
            file.templates.push_back(readRecords(r, file.buttonsPerTemplate));
        }
        return file;
    }
    const int16_t wordCount = r.word();  // NB
    r.word();
    file.buttonsPerTemplate = r.word();
    r.require(file.templateCount, kTemplateNameSize);
    r.skip(file.templateCount * kTemplateNameSize);
    if (wordCount > 0) r.skip(2LL * wordCount);
    const long long perTemplate = std::max<long long>(file.buttonsPerTemplate, 0);
    r.require(file.templateCount * perTemplate, kRecordSize);
    file.templates.reserve(static_cast<size_t>(file.templateCount));
    for (int t = 0; t < file.templateCount; ++t)
        file.templates.push_back(readRecords(r, file.buttonsPerTemplate));
    return file;
}

std::vector<QByteArray> BuildButtonTemplateFrames(const ButtonsFile& file, int templateNumber) {
    std::vector<QByteArray> frames;
    const int numbers[2] = {to16(static_cast<long long>(templateNumber) - 1),
                            kSecondTemplateNumber};
    for (int t = 0; t < 2; ++t) {
        FrameBuilder frame(kButtonsMessage);
        frame.byte(0x7F).byte(0x01).num14(1).num14(numbers[t]).num14(file.buttonsPerTemplate);
        appendButtons(frame, at(file.templates, t));
        frames.push_back(frame.finish());
    }
    return frames;
}

std::vector<QByteArray> BuildButtonBlockFrames(const ButtonsFile& file) {
    std::vector<QByteArray> frames;
    const int nt = file.templateCount;
    const int step = std::min(nt, kTemplatesPerBlock);
    for (int first = 0; first <= nt - 1; first += step) {
        // The last block may hold fewer templates than the step; it says how many it carries so
        // the switcher never reads buttons that are not there.
        const int inBlock = std::min(step, nt - first);
        FrameBuilder frame(kButtonsMessage);
        frame.byte(0x00).num14(inBlock).num14(first).num14(file.buttonsPerTemplate);
        for (int t = first; t < first + inBlock; ++t) appendButtons(frame, at(file.templates, t));
        frames.push_back(frame.finish());
    }
    return frames;
}

}  // namespace tarvo
