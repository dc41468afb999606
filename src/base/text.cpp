#include "base/text.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tarvo {

Text::Text(QStringView s) {
    if (s.isEmpty()) return;
    const std::size_t bytes = offsetof(Data, chars) + static_cast<std::size_t>(s.size()) * sizeof(char16_t);
    void* p = std::malloc(std::max(bytes, sizeof(Data)));
    if (!p) throw std::bad_alloc();
    d_ = new (p) Data{{1}, static_cast<int32_t>(s.size()), {}};
    std::memcpy(d_->chars, s.utf16(), static_cast<std::size_t>(s.size()) * sizeof(char16_t));
}

Text& Text::operator=(const Text& o) noexcept {
    Data* const d = o.d_;  // `o` may be this text itself
    o.hold();
    release();
    d_ = d;
    return *this;
}

Text& Text::operator=(Text&& o) noexcept {
    if (this != &o) {
        release();
        d_ = o.d_;
        o.d_ = nullptr;
    }
    return *this;
}

void Text::release() noexcept {
    if (d_ && d_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        d_->~Data();
        std::free(d_);
    }
    d_ = nullptr;
}

}  // namespace tarvo

namespace tarvo {

namespace {

bool isControl(char16_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

}  // namespace

QString VisibleControls(QStringView s) {
    if (std::none_of(s.begin(), s.end(), [](QChar c) { return isControl(c.unicode()); }))
        return s.toString();
    QString out;
    out.reserve(s.size() + 8);
    for (const QChar ch : s) {
        const char16_t c = ch.unicode();
        if (!isControl(c)) {
            out += ch;
            continue;
        }
        switch (c) {
            case u'\n': out += QLatin1String("\\n"); break;
            case u'\r': out += QLatin1String("\\r"); break;
            case u'\t': out += QLatin1String("\\t"); break;
            default:
                out += c <= 0xff ? QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'))
                                 : QStringLiteral("\\u%1").arg(c, 4, 16, QLatin1Char('0'));
        }
    }
    return out;
}

}  // namespace tarvo
