#include "uploads/byte_reader.h"

namespace tarvo {

void failPastEnd() {
    fail(kErrInputPastEnd, QStringLiteral("Input past end of file"));
}

const char* ByteReader::take(long long n) {
    if (n < 0) fail(kErrInvalidCall, QStringLiteral("Invalid procedure call or argument"));
    if (n > remaining()) failPastEnd();
    const char* p = data_.constData() + pos_;
    pos_ += n;
    return p;
}

int16_t ByteReader::word() {
    const auto* p = reinterpret_cast<const uint8_t*>(take(2));
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

int32_t ByteReader::long32() {
    const auto* p = reinterpret_cast<const uint8_t*>(take(4));
    const uint32_t v =
        uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    return static_cast<int32_t>(v);
}

uint8_t ByteReader::byte() {
    return static_cast<uint8_t>(*take(1));
}

QByteArray ByteReader::bytes(long long n) {
    const char* p = take(n);
    return QByteArray(p, static_cast<qsizetype>(n));
}

void ByteReader::skip(long long n) {
    take(n);
}

void ByteReader::seek(long long pos) {
    if (pos < 0 || pos > size()) failPastEnd();
    pos_ = pos;
}

void ByteReader::require(long long count, long long size) const {
    if (count <= 0) return;
    if (size < 0) fail(kErrInvalidCall, QStringLiteral("Invalid procedure call or argument"));
    // Counts come from 16-bit words and sizes from small records, so the product fits easily.
    if (count * size > remaining()) failPastEnd();
}

int16_t WordAt(const QByteArray& data, long long offset) {
    ByteReader r(data);
    r.seek(offset);
    return r.word();
}

}  // namespace tarvo
