// Configuration files built byte by byte in the tests, and frames written out by hand.
#pragma once

#include <cstdint>
#include <initializer_list>

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QString>

namespace tarvo::test {

// The fuzz target that reads files of a type word, for seeding its corpus.
inline const char* FuzzTargetOf(int typeWord) {
    switch (typeWord) {
        case 200:
        case 300:
        case 350:
        case 360:
            return "alphas";
        case 400:
            return "inhibits";
        case 1000:
            return "display_lists";
        case 500:
            return "buttons";
        case 600:
            return "salvos";
        case 900:
            return "relay";
        case 100:
            return "module";
        case 218:
            return "console";
        default:
            return nullptr;
    }
}

// Writes the little-endian words and fixed-length texts of a configuration file.
// With TARVO_FUZZ_SEEDS set to a folder, every file built is also left there, in the subfolder
// of the fuzz target for its type word: the tests' files seed the fuzz corpora.
class FileBytes {
  public:
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes() {
        const QString seeds = qEnvironmentVariable("TARVO_FUZZ_SEEDS");
        if (seeds.isEmpty() || data.size() < 2) return;
        const int typeWord = static_cast<uint8_t>(data[0]) | (static_cast<uint8_t>(data[1]) << 8);
        const char* target = FuzzTargetOf(typeWord);
        if (target == nullptr) return;
        const QString folder = seeds + QLatin1Char('/') + QLatin1String(target);
        QDir().mkpath(folder);
        const QString name =
            QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex());
        QFile f(folder + QLatin1Char('/') + name);
        if (f.open(QIODevice::WriteOnly)) f.write(data);
    }

    FileBytes& word(int v) {
        const auto u = static_cast<uint16_t>(v);
        data.append(static_cast<char>(u & 0xFF)).append(static_cast<char>(u >> 8));
        return *this;
    }
    FileBytes& words(std::initializer_list<int> vs) {
        for (int v : vs) word(v);
        return *this;
    }
    FileBytes& long32(long long v) {
        const auto u = static_cast<uint32_t>(v);
        for (int k = 0; k < 4; ++k) data.append(static_cast<char>((u >> (8 * k)) & 0xFF));
        return *this;
    }
    FileBytes& byte(int v) {
        data.append(static_cast<char>(v));
        return *this;
    }
    // `s` padded with blanks (or cut) to `length` bytes.
    FileBytes& text(const char* s, int length) {
        QByteArray t(s);
        t = t.leftJustified(length, ' ', true);
        data.append(t);
        return *this;
    }
    FileBytes& raw(const QByteArray& b) {
        data.append(b);
        return *this;
    }
    FileBytes& fill(int n, char c = '\0') {
        data.append(QByteArray(n, c));
        return *this;
    }
    int size() const { return static_cast<int>(data.size()); }
    QByteArray data;
};

inline QByteArray Bytes(std::initializer_list<int> v) {
    QByteArray b;
    for (int x : v) b.append(static_cast<char>(x));
    return b;
}

// A frame from its type byte and payload: the payload's sum modulo 128, then 0xFF.
inline QByteArray Framed(int type, const QByteArray& payload) {
    int sum = 0;
    for (char c : payload) sum += static_cast<uint8_t>(c);
    QByteArray f;
    f.append(static_cast<char>(type)).append(payload);
    f.append(static_cast<char>(sum % 128)).append(static_cast<char>(0xFF));
    return f;
}

// 14-bit numbers as the payload carries them.
inline QByteArray N14(std::initializer_list<int> vs) {
    QByteArray b;
    for (int v : vs) b.append(static_cast<char>(v & 127)).append(static_cast<char>(v >> 7));
    return b;
}

inline void WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write");
    f.write(data);
}

}  // namespace tarvo::test
