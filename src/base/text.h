// An immutable text held by one pointer. A table of events keeps seven texts a row, most of them
// empty or the same from row to row; a QString costs three pointers, this costs one. Copies
// share the characters (a count of holders, as QString keeps); an empty text holds nothing.
// Where a QString is needed the text is copied into one.
#pragma once

#include <atomic>
#include <cstdint>

#include <QString>
#include <QStringView>

namespace tarvo {

class Text {
public:
    Text() noexcept = default;
    Text(QStringView s);  // NOLINT: a text is assigned from a QString wherever a field was one
    Text(const QString& s) : Text(QStringView(s)) {}  // NOLINT
    Text(const char* utf8) : Text(QString::fromUtf8(utf8)) {}  // NOLINT
    Text(const Text& o) noexcept : d_(o.d_) { hold(); }
    Text(Text&& o) noexcept : d_(o.d_) { o.d_ = nullptr; }
    Text& operator=(const Text& o) noexcept;
    Text& operator=(Text&& o) noexcept;
    ~Text() { release(); }

    bool isEmpty() const noexcept { return d_ == nullptr; }
    qsizetype size() const noexcept { return d_ ? d_->size : 0; }
    QStringView view() const noexcept { return d_ ? QStringView(d_->chars, d_->size) : QStringView(); }
    QString toString() const { return view().toString(); }
    operator QString() const { return toString(); }  // NOLINT

    friend bool operator==(const Text& a, const Text& b) noexcept { return a.d_ == b.d_ || a.view() == b.view(); }
    friend bool operator==(const Text& a, QStringView b) noexcept { return a.view() == b; }
    friend bool operator==(const Text& a, const QString& b) noexcept { return a.view() == QStringView(b); }
    friend bool operator==(const Text& a, QLatin1String b) noexcept { return a.view() == b; }
    friend bool operator==(const Text& a, const char16_t* b) noexcept { return a.view() == QStringView(b); }
    friend bool operator==(const Text& a, const char* utf8) { return a.view() == QString::fromUtf8(utf8); }
    friend QString operator+(const Text& a, const QString& b) { return a.toString() + b; }
    friend QString operator+(const Text& a, const char* utf8) { return a.toString() + QString::fromUtf8(utf8); }
    friend QString operator+(const QString& a, const Text& b) {
        QString s;
        s.reserve(a.size() + b.size());
        return s.append(a).append(b.view());
    }

private:
    struct Data {
        std::atomic<int32_t> holders;
        int32_t size;
        char16_t chars[1];
    };
    void hold() const noexcept {
        if (d_) d_->holders.fetch_add(1, std::memory_order_relaxed);
    }
    void release() noexcept;

    Data* d_ = nullptr;
};

}  // namespace tarvo

namespace tarvo {

// `s` with every control character written visibly: "\n", "\r", "\t", and "\xHH" (ESC is "\x1b")
// (or "\uHHHH" beyond Latin-1) for the other C0 and C1 controls, DEL and the line and
// paragraph separators. A text from the database or a peer written into a log or onto a
// terminal can then neither forge a line nor send the terminal an escape sequence. A backslash
// stays as it is: file names of the other platform are full of them.
QString VisibleControls(QStringView s);

}  // namespace tarvo
