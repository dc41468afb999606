// Alphas, inhibits and display lists: files in, frames out, byte for byte.
#include <random>

#include <gtest/gtest.h>

#include "logs/failure.h"
#include "uploads/alphas_file.h"
#include "uploads/display_lists_file.h"
#include "uploads/file_bytes.h"
#include "uploads/inhibits_file.h"

namespace tarvo::test {
namespace {

int failureNumber(const std::function<void()>& f) {
    try {
        f();
    } catch (const TarvoError& x) {
        return x.number();
    }
    return 0;
}

// An input or output alphas file of layout 2: names, one attribute byte each, the flag bytes,
// then the descriptions.
QByteArray layout2Alphas(int typeWord, int l,
                         const std::vector<std::pair<const char*, int>>& entries) {
    const int n = static_cast<int>(entries.size());
    FileBytes f;
    f.words({typeWord, l, 0, n});
    for (const auto& [name, flag] : entries) f.text(name, l);
    f.fill(n);
    for (const auto& [name, flag] : entries) f.byte(flag);
    f.fill(256 * n);
    return f.data;
}

TEST(Alphas, SortedCaseBlindWithTheirFileIndices) {
    FileBytes f;
    f.words({350, 5, 0, 3}).text("beta", 5).text("Alpha", 5).text("gamma", 5);
    const auto file = ReadAlphasFile(f.data, 30);
    ASSERT_TRUE(file);
    const QByteArray expected = Bytes({0xFC, 30, 5, 3, 0, 0, 0}) + "Alpha" + Bytes({1, 0}) +
                                "beta " + Bytes({0, 0}) + "gamma" + Bytes({2, 0, 0x4E, 0xFF});
    EXPECT_EQ(BuildAlphasFrame(*file, 30), expected);
}

TEST(Alphas, VersionFollowsTheFileLength) {
    // N = 4, L = 6: the names end at 32, two name sets at 56.
    const std::vector<std::pair<int, int>> lengths = {{1062, 1}, {1064, 2}, {1068, 3}, {1100, 4},
                                                      {1180, 5}, {1140, 5}, {1156, 6}, {1172, 7},
                                                      {1188, 8}, {1063, 0}, {0, 0}};
    for (const auto& [length, version] : lengths)
        EXPECT_EQ(AlphasVersion(length, 4, 6), version) << length;
    // Half of an odd count is never a whole number of bytes: no length is the first layout.
    EXPECT_EQ(AlphasVersion(8 + 18 + 772, 3, 6), 0);
    EXPECT_EQ(AlphasVersion(8 + 18 + 773, 3, 6), 0);
    // N = 2, L = 8.
    EXPECT_EQ(AlphasVersion(540, 2, 8), 2);
    EXPECT_EQ(AlphasVersion(539, 2, 8), 1);
}

TEST(Alphas, FlagBytesAreReadWhereTheVersionPutsThem) {
    // Layout 1 (539 bytes): flags from 8 + 16 + 1; layout 2 (540 bytes): from 8 + 16 + 2.
    FileBytes v1;
    v1.words({200, 8, 0, 2}).text("One", 8).text("Two", 8).fill(515);
    v1.data[25] = 1;
    auto file = ReadAlphasFile(v1.data, 10);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->version, 1);
    EXPECT_EQ(file->entries[0].flag, 1);
    EXPECT_EQ(file->entries[1].flag, 0);

    FileBytes v2;
    v2.words({200, 8, 0, 2}).text("One", 8).text("Two", 8).fill(516);
    v2.data[25] = 1;  // an attribute byte in this layout
    v2.data[27] = 1;
    file = ReadAlphasFile(v2.data, 10);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->version, 2);
    EXPECT_EQ(file->entries[0].flag, 0);
    EXPECT_EQ(file->entries[1].flag, 1);

    // Layouts with two name sets still find the flags after one set of names.
    FileBytes v4;
    v4.words({300, 4, 0, 2}).text("Left", 4).text("Rght", 4).fill(8 + 261 * 2);
    v4.data[8 + 8 + 2] = 1;
    file = ReadAlphasFile(v4.data, 20);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->version, 4);
    EXPECT_EQ(file->entries[0].flag, 1);
}

TEST(Alphas, FlaggedNamesAreMarkedAndFollowTheOthers) {
    const QByteArray data = layout2Alphas(200, 8, {{"Mic 1", 1}, {"Zed", 0}, {"alpha", 0}});
    const auto file = ReadAlphasFile(data, 10);
    ASSERT_TRUE(file);
    const QByteArray payload = Bytes({10, 8, 3, 0, 0, 0}) + "alpha   " + N14({2}) + "Zed     " +
                               N14({1}) + "{ic 1   " + N14({0});
    EXPECT_EQ(BuildAlphasFrame(*file, 10), Framed(0xFC, payload));
}

TEST(Alphas, NamesStartingWithBraceGoLastInEveryKind) {
    // "|b" sorts after "{a", but names beginning with "{" are collected behind all others.
    FileBytes f;
    f.words({350, 2, 0, 3}).text("{a", 2).text("|b", 2).text("c", 2);
    const auto file = ReadAlphasFile(f.data, 30);
    ASSERT_TRUE(file);
    const QByteArray payload =
        Bytes({30, 2, 3, 0, 0, 0}) + "c " + N14({2}) + "|b" + N14({1}) + "{a" + N14({0});
    EXPECT_EQ(BuildAlphasFrame(*file, 30), Framed(0xFC, payload));
}

TEST(Alphas, InputLengthThatMatchesNoLayoutIsRefusedButRelaysAreNotChecked) {
    FileBytes f;
    f.words({200, 4, 0, 3}).text("A", 4).text("B", 4).text("C", 4).fill(100);
    EXPECT_FALSE(ReadAlphasFile(f.data, 10));
    EXPECT_FALSE(ReadAlphasFile(f.data, 20));
    const auto relays = ReadAlphasFile(f.data, 40);
    ASSERT_TRUE(relays);
    EXPECT_EQ(relays->entries.size(), 3u);
}

TEST(Alphas, ZeroBytesOfANameAreLeftOut) {
    FileBytes f;
    f.words({360, 4, 0, 1}).raw(Bytes({'a', 0, 'b', 0}));
    const auto file = ReadAlphasFile(f.data, 40);
    ASSERT_TRUE(file);
    EXPECT_EQ(BuildAlphasFrame(*file, 40),
              Framed(0xFC, Bytes({40, 4, 1, 0, 0, 0, 'a', 'b', 0, 0})));
}

// Tied names keep the order the exchange passes leave them in.
TEST(Alphas, TiedNamesKeepTheExchangePassOrder) {
    std::mt19937 rng(7);
    const char letters[] = {'a', 'A', 'b', 'B'};
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + static_cast<int>(rng() % 12);
        std::vector<QByteArray> names;
        FileBytes f;
        f.words({350, 2, 0, n});
        for (int i = 0; i < n; ++i) {
            QByteArray name;
            name.append(letters[rng() % 4]).append(letters[rng() % 4]);
            names.push_back(name);
            f.raw(name);
        }
        // The passes as operators' files have always been sorted.
        std::vector<int> expected(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) expected[i] = i;
        for (int i = 0; i < n - 1; ++i)
            for (int k = i + 1; k < n; ++k)
                if (names[expected[k]].toUpper() < names[expected[i]].toUpper())
                    std::swap(expected[i], expected[k]);

        const QByteArray frame = BuildAlphasFrame(*ReadAlphasFile(f.data, 30), 30);
        std::vector<int> got;
        for (int k = 0; k < n; ++k) got.push_back(static_cast<uint8_t>(frame[7 + 4 * k + 2]));
        ASSERT_EQ(got, expected) << round;
    }
}

TEST(Alphas, BrokenFilesFailInsteadOfReadingOrSendingGarbage) {
    FileBytes truncated;
    truncated.words({350, 4, 0, 3}).text("A", 4).text("B", 4);
    EXPECT_EQ(failureNumber([&] { ReadAlphasFile(truncated.data, 30); }), 62);
    // Name positions are 16-bit: the last name may start at byte 32767 and no later.
    FileBytes wide;
    wide.words({350, 32758, 0, 2});
    EXPECT_EQ(failureNumber([&] { ReadAlphasFile(wide.data, 30); }), 62);
    wide.data[2] = static_cast<char>(0xF7);  // L = 32759
    EXPECT_EQ(failureNumber([&] { ReadAlphasFile(wide.data, 30); }), kErrOverflow);
    // A byte the wire cannot carry, and a name length that does not fit its byte.
    FileBytes accent;
    accent.words({350, 1, 0, 1}).byte(0xE9);
    EXPECT_THROW(BuildAlphasFrame(*ReadAlphasFile(accent.data, 30), 30), TarvoError);
    // More names than the message can count fail before any is read: an eight-byte header
    // must not make the engine read and sort thousands of entries first.
    FileBytes crowded;
    crowded.words({350, 0, 0, 16384});
    EXPECT_EQ(failureNumber([&] { ReadAlphasFile(crowded.data, 30); }), kErrOverflow);
    FileBytes longNames;
    longNames.words({350, 128, 0, 0});
    EXPECT_THROW(BuildAlphasFrame(*ReadAlphasFile(longNames.data, 30), 30), TarvoError);
}

QByteArray inhibits(int w, int r1, int r2, std::initializer_list<const char*> rows) {
    FileBytes f;
    f.words({400, w, r1, r2});
    for (const char* row : rows) f.text(row, w);
    return f.data;
}

TEST(Inhibits, RowsAreSentRunLengthEncoded) {
    const auto file = ReadInhibitsFile(inhibits(7, 1, 1, {"0001111"}));
    ASSERT_TRUE(file);
    EXPECT_EQ(BuildInhibitsFrame(*file, 0),
              Bytes({0xF8, 1, 1, 0, 0, 0, 2, 0, 3, 0x00, 4, 0x40, 0x4B, 0xFF}));
}

TEST(Inhibits, AllRowsOrTheOneOfTheChannel) {
    const auto file = ReadInhibitsFile(inhibits(3, 1, 2, {"000", "110"}));
    ASSERT_TRUE(file);
    const QByteArray both = Framed(0xF8, Bytes({1}) + N14({2, 0}) + N14({1}) + Bytes({3, 0}) +
                                             N14({2}) + Bytes({2, 64, 1, 0}));
    EXPECT_EQ(BuildInhibitsFrame(*file, 0), both);
    EXPECT_EQ(BuildInhibitsFrame(*file, 16383), both);
    EXPECT_EQ(BuildInhibitsFrame(*file, 2),
              Framed(0xF8, Bytes({1}) + N14({1, 1}) + N14({2}) + Bytes({2, 64, 1, 0})));
    EXPECT_FALSE(InhibitsSingleRow(0));
    EXPECT_FALSE(InhibitsSingleRow(16383));
    EXPECT_TRUE(InhibitsSingleRow(2));
    // A channel beyond the last row, or rows numbered from 2 while all are asked for.
    EXPECT_THROW(BuildInhibitsFrame(*file, 3), TarvoError);
    EXPECT_THROW(BuildInhibitsFrame(*ReadInhibitsFile(inhibits(3, 2, 3, {"000", "111"})), 0),
                 TarvoError);
}

TEST(Inhibits, EmptyRowsAndLongRuns) {
    auto file = ReadInhibitsFile(inhibits(0, 1, 1, {""}));
    EXPECT_EQ(BuildInhibitsFrame(*file, 0), Framed(0xF8, Bytes({1, 1, 0, 0, 0, 1, 0, 1, 0})));

    file = ReadInhibitsFile(inhibits(200, 1, 1, {QByteArray(200, '1').constData()}));
    EXPECT_EQ(BuildInhibitsFrame(*file, 0), Framed(0xF8, Bytes({1, 1, 0, 0, 0, 1, 0, 72, 65})));

    file = ReadInhibitsFile(inhibits(8191, 1, 1, {QByteArray(8191, '0').constData()}));
    EXPECT_EQ(BuildInhibitsFrame(*file, 0), Framed(0xF8, Bytes({1, 1, 0, 0, 0, 1, 0, 127, 63})));
    // One more would carry into the value bit and arrive as a run of 1s.
    file = ReadInhibitsFile(inhibits(8192, 1, 1, {QByteArray(8192, '0').constData()}));
    EXPECT_THROW(BuildInhibitsFrame(*file, 0), TarvoError);
}

TEST(Inhibits, RowWithAnotherCharacterIsRefused) {
    EXPECT_FALSE(ReadInhibitsFile(inhibits(4, 1, 2, {"0101", "01 1"})));
    EXPECT_FALSE(ReadInhibitsFile(inhibits(4, 1, 1, {"0121"})));
    EXPECT_THROW(ReadInhibitsFile(inhibits(4, 1, 2, {"0101"})), TarvoError);  // truncated
}

QByteArray displayLists(int m, int d1, int bi, int bo, int nl,
                        std::initializer_list<std::pair<const char*, const char*>> inputs,
                        std::initializer_list<std::pair<const char*, const char*>> outputs) {
    FileBytes f;
    f.words({1000, m, d1, bi, bo, nl});
    for (const auto& [name, set] : inputs) f.text(name, nl).text(set, bi);
    for (const auto& [name, set] : outputs) f.text(name, nl).text(set, bo);
    return f.data;
}

TEST(DisplayLists, SetsTravelInGroupsOfEightFirstCharacterLowest) {
    const auto file = ReadDisplayListsFile(
        displayLists(1, 0, 12, 8, 4, {{"In1", "100000011111"}}, {{"Out1", "01000000"}}));
    EXPECT_EQ(BuildDisplayListsFrame(file, 10),
              Framed(0xDF, Bytes({10}) + N14({1, 0, 12}) + Bytes({4, 0x01, 0x01}) + "In1 "));
    EXPECT_EQ(BuildDisplayListsFrame(file, 20),
              Framed(0xDF, Bytes({20}) + N14({1, 0, 8}) + Bytes({4, 0x02, 0x00}) + "Out1"));
    EXPECT_THROW(BuildDisplayListsFrame(file, 30), TarvoError);
}

TEST(DisplayLists, PositionsAfterTheFilesListsGoOutEmpty) {
    const auto file = ReadDisplayListsFile(displayLists(
        3, 1, 8, 8, 2, {{"A", "11111111"}, {"B", "00000001"}}, {{"C", "0"}, {"D", "1"}}));
    EXPECT_EQ(BuildDisplayListsFrame(file, 10),
              Framed(0xDF, Bytes({10}) + N14({3, 0, 8}) + Bytes({2}) + N14({255}) + "A " +
                               N14({128}) + "B " + N14({0})));
    // A name length above 127 goes out in its low seven bits; the name goes out whole.
    const auto longNames = ReadDisplayListsFile(
        displayLists(1, 0, 8, 8, 130, {{"A", "00000000"}}, {{"B", "00000000"}}));
    EXPECT_EQ(BuildDisplayListsFrame(longNames, 20),
              Framed(0xDF, Bytes({20}) + N14({1, 0, 8}) + Bytes({2}) + N14({0}) +
                               QByteArray("B").leftJustified(130, ' ')));
}

TEST(DisplayLists, BothBlocksMustBeThere) {
    QByteArray data = displayLists(1, 0, 8, 8, 2, {{"A", "11111111"}}, {{"B", "00000000"}});
    data.chop(1);
    EXPECT_THROW(ReadDisplayListsFile(data), TarvoError);
    // A first list at or beyond the count: the file holds no list, and its header would clear
    // every list on the switcher. An empty table (no positions) is still fine.
    const struct {
        int m, d1;
        bool refused;
    } firsts[] = {{12289, 12592, true}, {3, 4, true},  {3, 3, true}, {1, 1, true},
                  {3, 2, false},        {0, 1, false}, {0, 0, false}};
    for (const auto& c : firsts) {
        std::vector<std::pair<const char*, const char*>> lists;
        for (int d = c.d1; d < c.m; ++d) lists.push_back({"L", "00000000"});
        FileBytes f;
        f.words({1000, c.m, c.d1, 8, 8, 2});
        for (int block = 0; block < 2; ++block)
            for (const auto& [name, set] : lists) f.text(name, 2).text(set, 8);
        if (c.refused)
            EXPECT_THROW(ReadDisplayListsFile(f.data), TarvoError)
                << "M " << c.m << ", D1 " << c.d1;
        else
            EXPECT_NO_THROW(ReadDisplayListsFile(f.data)) << "M " << c.m << ", D1 " << c.d1;
    }
    EXPECT_EQ(BuildDisplayListsFrame(ReadDisplayListsFile(displayLists(0, 1, 8, 8, 2, {}, {})), 10),
              Framed(0xDF, Bytes({10}) + N14({0, 0, 8}) + Bytes({2})));
    // Lists numbered from below 0 would lie beyond the last position.
    EXPECT_THROW(ReadDisplayListsFile(displayLists(1, -1, 8, 8, 2, {{"A", "0"}, {"B", "0"}},
                                                   {{"C", "0"}, {"D", "0"}})),
                 TarvoError);
}

}  // namespace
}  // namespace tarvo::test
