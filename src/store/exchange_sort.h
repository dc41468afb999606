// The event tables are put in order by exchange passes: for i from the first to the last but one
// and, inside, j from i + 1 to the last, exchange entries i and j when entry j is less than
// entry i. The order such a pass leaves for entries with equal keys is the order in which tied
// events run, so it must be reproduced exactly, but the passes themselves cost O(n^2).
//
// ExchangePass gives the same result in about O(n log n):
//  - Looking only at the entries whose key is at most v, the pass behaves exactly as the pass on
//    that subsequence alone (an exchange never involves a larger key at a position where a key
//    of at most v would move). So the order of the class with key v can be worked out on the
//    subsequence of keys at most v, where it is the largest class.
//  - There, an entry of the largest class moves only when it is at the front, and then it moves
//    into the place of the first smaller entry after it. So the class behaves as a ring: walking
//    the subsequence, each member joins the ring at its end, and each smaller entry met after the
//    first member turns the ring by one (its first member goes to the end).
//  The smaller entries between members are counted with a Fenwick tree.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tarvo {

// Rearranges order[begin, end) as one exchange pass would. `less(a, b)` compares two elements
// of `order` (element ids).
template <typename T, typename Less>
void ExchangePass(std::vector<T>& order, std::size_t begin, std::size_t end, Less less) {
    if (end <= begin + 1) return;
    const std::size_t m = end - begin;

    // Positions grouped into classes of equal key, classes in ascending key order.
    std::vector<std::size_t> pos(m);
    for (std::size_t i = 0; i < m; ++i) pos[i] = i;
    std::stable_sort(pos.begin(), pos.end(), [&](std::size_t a, std::size_t b) {
        return less(order[begin + a], order[begin + b]);
    });

    std::vector<int> fenwick(m + 1, 0);
    auto add = [&](std::size_t p) {
        for (std::size_t i = p + 1; i <= m; i += i & (~i + 1)) ++fenwick[i];
    };
    auto prefix = [&](std::size_t count) {  // entries inserted at positions < count
        int s = 0;
        for (std::size_t i = count; i > 0; i -= i & (~i + 1)) s += fenwick[i];
        return s;
    };

    std::vector<T> result;
    result.reserve(m);
    std::vector<std::size_t> next, prev;
    std::size_t c0 = 0;
    while (c0 < m) {
        std::size_t c1 = c0 + 1;
        while (c1 < m && !less(order[begin + pos[c0]], order[begin + pos[c1]])) ++c1;
        const std::size_t a = c1 - c0;  // class members at pos[c0..c1), ascending positions
        if (a == 1) {
            result.push_back(order[begin + pos[c0]]);
        } else {
            next.assign(a, 0);
            prev.assign(a, 0);
            std::size_t head = 0;
            for (std::size_t j = 0; j < a; ++j) {
                if (j == 0) {
                    next[0] = prev[0] = 0;
                } else {
                    const std::size_t tail = prev[head];
                    next[tail] = j;
                    prev[j] = tail;
                    next[j] = head;
                    prev[head] = j;
                }
                const std::size_t from = pos[c0 + j] + 1;
                const std::size_t to = (j + 1 < a) ? pos[c0 + j + 1] : m;
                const std::size_t smaller = static_cast<std::size_t>(prefix(to) - prefix(from));
                const std::size_t size = j + 1;
                std::size_t turn = smaller % size;
                if (turn * 2 <= size) {
                    while (turn--) head = next[head];
                } else {
                    for (std::size_t back = size - turn; back > 0; --back) head = prev[head];
                }
            }
            std::size_t k = head;
            for (std::size_t n = 0; n < a; ++n, k = next[k]) result.push_back(order[begin + pos[c0 + k]]);
        }
        for (std::size_t j = c0; j < c1; ++j) add(pos[j]);
        c0 = c1;
    }
    std::copy(result.begin(), result.end(), order.begin() + static_cast<std::ptrdiff_t>(begin));
}

// Runs ExchangePass on every run of `order` whose elements are equal under `same`.
template <typename T, typename Same, typename Less>
void ExchangePassWithinGroups(std::vector<T>& order, Same same, Less less) {
    std::size_t b = 0;
    while (b < order.size()) {
        std::size_t e = b + 1;
        while (e < order.size() && same(order[b], order[e])) ++e;
        ExchangePass(order, b, e, less);
        b = e;
    }
}

}  // namespace tarvo
