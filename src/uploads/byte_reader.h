// Checked reading of configuration files. The files are written by a separate editing tool and
// may be truncated or corrupt, so every read is bounds-checked and every count taken from a file
// is checked against what the file holds before anything is reserved for it.
#pragma once

#include <cstdint>

#include <QByteArray>

#include "logs/failure.h"

namespace tarvo {

// The classic runtime's number for reading past the end of a file.
constexpr int kErrInputPastEnd = 62;

[[noreturn]] void failPastEnd();

class ByteReader {
  public:
    explicit ByteReader(const QByteArray& data) : data_(data) {}

    int16_t word();    // 16-bit signed, little-endian
    int32_t long32();  // 32-bit signed, little-endian
    uint8_t byte();
    // `n` bytes as stored; a negative length is a failure.
    QByteArray bytes(long long n);
    void skip(long long n);
    void seek(long long pos);
    // Fails unless `count` items of `size` bytes remain (a negative count needs nothing).
    void require(long long count, long long size) const;

    long long pos() const { return pos_; }
    long long size() const { return data_.size(); }
    long long remaining() const { return size() - pos_; }

  private:
    const char* take(long long n);
    const QByteArray& data_;
    long long pos_ = 0;
};

// Reads the 16-bit signed little-endian word at `offset` (0-based).
int16_t WordAt(const QByteArray& data, long long offset);

}  // namespace tarvo
