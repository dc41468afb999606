// The documents and files of the source tree as the tests read them: what a document shows is
// what the programs do, because the tests run it.
#pragma once

#include <vector>

#include <QFile>
#include <QString>
#include <QStringList>

namespace tarvo::test {

// A file of the source tree by its path from the top ("docs/examples/worked-rows.sql"); empty
// when it cannot be read.
inline QString SourceText(const QString& name) {
    QFile f(QStringLiteral(TARVO_SOURCE_DIR "/") + name);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// A fenced block of a Markdown document: its language ("sh", "text") and its lines.
struct DocBlock {
    QString language;
    QString text;  // every line with its end of line
};

// The fenced blocks that start at the beginning of a line, in the order of the document (those
// indented into a list item are left out).
inline std::vector<DocBlock> FencedBlocks(const QString& markdown) {
    std::vector<DocBlock> blocks;
    const QStringList lines = markdown.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!lines[i].startsWith(QLatin1String("```"))) continue;
        DocBlock b{lines[i].mid(3).trimmed(), QString()};
        for (++i; i < lines.size() && !lines[i].startsWith(QLatin1String("```")); ++i)
            b.text += lines[i] + QLatin1Char('\n');
        blocks.push_back(b);
    }
    return blocks;
}

}  // namespace tarvo::test
