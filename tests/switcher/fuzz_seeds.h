// With TARVO_FUZZ_SEEDS set to a folder, the byte streams these tests feed the engine are also
// left in <folder>/receive-streams/, for fuzz_seeds to turn into the receive target's corpus.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QString>

namespace tarvo::test {

inline QByteArray LeaveStreamSeed(const QByteArray& stream) {
    const QString seeds = qEnvironmentVariable("TARVO_FUZZ_SEEDS");
    // A burst of megabytes tests the memory bound, not the parser: it makes no seed.
    if (seeds.isEmpty() || stream.isEmpty() || stream.size() > 65536) return stream;
    const QString folder = seeds + QStringLiteral("/receive-streams");
    QDir().mkpath(folder);
    QFile f(
        folder + QLatin1Char('/') +
        QString::fromLatin1(QCryptographicHash::hash(stream, QCryptographicHash::Sha1).toHex()));
    if (f.open(QIODevice::WriteOnly)) f.write(stream);
    return stream;
}

}  // namespace tarvo::test
