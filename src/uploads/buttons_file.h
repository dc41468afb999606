// Button-template files for the control panels. Files with fewer than three templates hold two
// templates with names and texts; files with three or more hold NT templates sent in blocks.
#pragma once

#include <cstdint>
#include <vector>

#include <QByteArray>

namespace tarvo {

struct ButtonRecord {
    QByteArray code;  // 9 characters, not sent
    int16_t a = 0, b = 0;
    // C and D as sent: 16383 for none, otherwise 0-based (the file holds them 1-based, 0 for
    // none).
    int16_t c = 0, d = 0;
};

struct ButtonsFile {
    int16_t templateCount = 0;       // NT
    int16_t buttonsPerTemplate = 0;  // NBT
    // NT below 3: exactly two templates follow, whatever NT says.
    bool twoTemplates() const { return templateCount < 3; }
    // Per template its NBT records, template by template.
    std::vector<std::vector<ButtonRecord>> templates;
};

// Reads a buttons file of either layout; a file that cannot be read is a failure.
ButtonsFile ReadButtonsFile(const QByteArray& data);

// The two 0xFD messages of a two-template file: the first template as number template - 1, the
// second as number 1023. A template of 0 cannot be numbered and is a failure.
std::vector<QByteArray> BuildButtonTemplateFrames(const ButtonsFile& file, int templateNumber);

// The 0xFD messages of a file of three or more templates, at most 32 templates each.
std::vector<QByteArray> BuildButtonBlockFrames(const ButtonsFile& file);

}  // namespace tarvo
