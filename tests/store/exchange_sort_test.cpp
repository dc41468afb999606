#include <random>

#include <gtest/gtest.h>

#include "store/exchange_sort.h"

namespace tarvo {
namespace {

// The passes exactly as the classic loader runs them.
std::vector<int> naivePass(std::vector<int> order, const std::vector<int>& key) {
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
        for (std::size_t j = i + 1; j < order.size(); ++j)
            if (key[order[j]] < key[order[i]]) std::swap(order[i], order[j]);
    return order;
}

std::vector<int> identity(std::size_t n) {
    std::vector<int> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<int>(i);
    return v;
}

TEST(ExchangeSort, TieOrderOfSmallCases) {
    // [2a, 2b, 1] leaves 2b before 2a; [2a, 1, 2b] keeps 2a first.
    std::vector<int> key{2, 2, 1};
    std::vector<int> order = identity(3);
    ExchangePass(order, 0, 3, [&](int a, int b) { return key[a] < key[b]; });
    EXPECT_EQ(order, (std::vector<int>{2, 1, 0}));
    key = {2, 1, 2};
    order = identity(3);
    ExchangePass(order, 0, 3, [&](int a, int b) { return key[a] < key[b]; });
    EXPECT_EQ(order, (std::vector<int>{1, 0, 2}));
}

TEST(ExchangeSort, MatchesTheClassicPassesOnRandomTables) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = 1 + rng() % 60;
        const int distinct = 1 + static_cast<int>(rng() % 8);
        std::vector<int> key(n);
        for (auto& k : key) k = static_cast<int>(rng() % distinct);
        std::vector<int> start = identity(n);
        std::shuffle(start.begin(), start.end(), rng);
        std::vector<int> fast = start;
        ExchangePass(fast, 0, n, [&](int a, int b) { return key[a] < key[b]; });
        ASSERT_EQ(fast, naivePass(start, key)) << "round " << round;
    }
}

TEST(ExchangeSort, GroupsAreSortedOnTheirOwn) {
    // Two passes: by day, then by time within equal days, as the loader does.
    std::mt19937 rng(99);
    for (int round = 0; round < 500; ++round) {
        const std::size_t n = 1 + rng() % 40;
        std::vector<int> day(n), time(n);
        for (std::size_t i = 0; i < n; ++i) {
            day[i] = static_cast<int>(rng() % 3);
            time[i] = static_cast<int>(rng() % 4);
        }
        std::vector<int> naive = identity(n);
        naive = naivePass(naive, day);
        for (std::size_t i = 0; i + 1 < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j)
                if (day[naive[i]] == day[naive[j]] && time[naive[i]] > time[naive[j]]) std::swap(naive[i], naive[j]);
        std::vector<int> fast = identity(n);
        ExchangePass(fast, 0, n, [&](int a, int b) { return day[a] < day[b]; });
        ExchangePassWithinGroups(
            fast, [&](int a, int b) { return day[a] == day[b]; }, [&](int a, int b) { return time[a] < time[b]; });
        ASSERT_EQ(fast, naive) << "round " << round;
    }
}

}  // namespace
}  // namespace tarvo
