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
