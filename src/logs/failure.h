// Failures inside a procedure are thrown as TarvoError and caught at the procedure's boundary,
// where ReportError writes them to the error log under that procedure's location text.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <QString>

namespace tarvo {

// Error numbers follow the classic runtime's numbering so that operators who know the old
// engine's error log read the same numbers for the same kinds of trouble.
enum ErrorNumber : int {
    kErrInvalidCall = 5,
    kErrOverflow = 6,
    kErrOutOfMemory = 7,
    kErrSubscript = 9,
    kErrTypeMismatch = 13,
    kErrFileNotFound = 53,
    kErrFileIo = 57,
    kErrDiskFull = 61,
    kErrPermission = 70,
    kErrPathNotFound = 76,
    kErrDatabase = 3000,  // SQLite result codes are added to this
    kErrNoSuchTable = 3078,
    kErrNoSuchField = 3265,
    kErrSocket = 10000,  // socket errors are added to this
    kErrBadData = 20000,
};

class TarvoError : public std::runtime_error {
public:
    TarvoError(int number, const QString& description)
        : std::runtime_error(description.toStdString()), number_(number), description_(description) {}
    int number() const { return number_; }
    const QString& description() const { return description_; }

private:
    int number_;
    QString description_;
};

[[noreturn]] inline void fail(int number, const QString& description) {
    throw TarvoError(number, description);
}

// The engine's integers are 16-bit signed unless said otherwise; an overflow is a failure.
inline int16_t to16(long long v) {
    if (v < std::numeric_limits<int16_t>::min() || v > std::numeric_limits<int16_t>::max())
        fail(kErrOverflow, QStringLiteral("Overflow"));
    return static_cast<int16_t>(v);
}

inline int32_t to32(long long v) {
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        fail(kErrOverflow, QStringLiteral("Overflow"));
    return static_cast<int32_t>(v);
}

inline uint8_t toByte(long long v) {
    if (v < 0 || v > 255) fail(kErrOverflow, QStringLiteral("Overflow"));
    return static_cast<uint8_t>(v);
}

[[noreturn]] inline void failSubscript() {
    fail(kErrSubscript, QStringLiteral("Subscript out of range"));
}

// Checked element access: every index into a table, map or buffer goes through here.
template <typename Container>
auto& at(Container& c, long long index) {
    if (index < 0 || index >= static_cast<long long>(c.size())) failSubscript();
    return c[static_cast<typename Container::size_type>(index)];
}

}  // namespace tarvo
