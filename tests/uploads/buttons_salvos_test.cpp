// Buttons and salvos: files in, frames out, byte for byte.
#include <random>

#include <gtest/gtest.h>

#include "logs/failure.h"
#include "uploads/buttons_file.h"
#include "uploads/file_bytes.h"
#include "uploads/salvos_file.h"

namespace tarvo::test {
namespace {

struct Button {
    int a, b, c, d;
};

void twoTemplateBody(FileBytes& f, const char* name, const std::vector<Button>& buttons) {
    f.text(name, 20).text("", 255);
    for (const Button& x : buttons) f.text("B0001", 9).words({x.a, x.b, x.c, x.d});
}

TEST(Buttons, TwoTemplatesGoAsTheEventsNumberAndAs1023) {
    FileBytes f;
    f.words({500, 0, 2, 2});
    twoTemplateBody(f, "Studio", {{1, 2, 0, 16383}, {3, 4, 5, 1}});
    twoTemplateBody(f, "Spare", {{7, 8, 2, 0}, {9, 10, 16383, 3}});
    const ButtonsFile file = ReadButtonsFile(f.data);
    ASSERT_TRUE(file.twoTemplates());
    const auto frames = BuildButtonTemplateFrames(file, 3);
    ASSERT_EQ(frames.size(), 2u);
    // C and D: 0 and 16383 are "none" (16383), any other number goes 0-based.
    EXPECT_EQ(frames[0], Framed(0xFD, Bytes({0x7F, 0x01}) + N14({1, 2, 2}) +
                                          N14({1, 2, 16383, 16383, 3, 4, 4, 0})));
    EXPECT_EQ(frames[1], Framed(0xFD, Bytes({0x7F, 0x01}) + N14({1, 1023, 2}) +
                                          N14({7, 8, 1, 16383, 9, 10, 16383, 2})));
    // Template 0 has no number on the wire: nothing is built.
    EXPECT_THROW(BuildButtonTemplateFrames(file, 0), TarvoError);
}

TEST(Buttons, TwoTemplatesOfManyButtonsStayApart) {
    FileBytes f;
    f.words({500, 0, 1, 65});
    twoTemplateBody(f, "First", std::vector<Button>(65, {1, 0, 0, 0}));
    twoTemplateBody(f, "Second", std::vector<Button>(65, {2, 0, 0, 0}));
    const auto frames = BuildButtonTemplateFrames(ReadButtonsFile(f.data), 1);
    const int lastButton = 9 + 8 * 64;
    EXPECT_EQ(frames[0][lastButton], 1);
    EXPECT_EQ(frames[1][lastButton], 2);
}

QByteArray blockFile(int nt) {
    FileBytes f;
    f.words({500, 1, nt, 2, 0, 1});
    for (int t = 0; t < nt; ++t) f.text("Template", 20);
    f.words({111, 222});
    for (int t = 0; t < nt; ++t) f.text("B0001", 9).words({t, 100 + t, 0, t + 1});
    return f.data;
}

QByteArray blockBody(int first, int count) {
    QByteArray b;
    for (int t = first; t < first + count; ++t) b += N14({t, 100 + t, 16383, t});
    return b;
}

TEST(Buttons, ManyTemplatesGoInBlocksOfThirtyTwoWithTheirOwnButtons) {
    const ButtonsFile file = ReadButtonsFile(blockFile(40));
    ASSERT_FALSE(file.twoTemplates());
    const auto frames = BuildButtonBlockFrames(file);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], Framed(0xFD, Bytes({0}) + N14({32, 0, 1}) + blockBody(0, 32)));
    // The last block says how many templates it carries.
    EXPECT_EQ(frames[1], Framed(0xFD, Bytes({0}) + N14({8, 32, 1}) + blockBody(32, 8)));

    EXPECT_EQ(BuildButtonBlockFrames(ReadButtonsFile(blockFile(3))).size(), 1u);
    EXPECT_EQ(BuildButtonBlockFrames(ReadButtonsFile(blockFile(33))).size(), 2u);
    EXPECT_EQ(BuildButtonBlockFrames(ReadButtonsFile(blockFile(64))).size(), 2u);
}

TEST(Buttons, TruncatedFilesFail) {
    QByteArray data = blockFile(4);
    data.chop(1);
    EXPECT_THROW(ReadButtonsFile(data), TarvoError);
    EXPECT_THROW(ReadButtonsFile(Bytes({0xF4, 0x01, 0, 0})), TarvoError);
    // A button number the wire cannot carry.
    FileBytes f;
    f.words({500, 0, 2, 1});
    twoTemplateBody(f, "A", {{16384, 0, 0, 0}});
    twoTemplateBody(f, "B", {{0, 0, 0, 0}});
    EXPECT_THROW(BuildButtonTemplateFrames(ReadButtonsFile(f.data), 1), TarvoError);
}

struct Salvo {
    int number;
    const char* name;
    int k;
    long long p1, p2, p3, p4;
    int q, level1, level2, mode;
};

QByteArray salvoFile(const std::vector<Salvo>& records, int mark = 1) {
    FileBytes f;
    f.words({600, static_cast<int>(records.size()), mark});
    for (const Salvo& s : records) {
        f.word(s.number).text(s.name, 8).word(s.k);
        f.long32(s.p1).long32(s.p2).long32(s.p3).long32(s.p4);
        f.words({s.q, s.level1, s.level2, s.mode});
    }
    return f.data;
}

TEST(Salvos, NamesAndStepsInNameOrder) {
    auto file = ReadSalvosFile(salvoFile({
        {2, "Beta", 5, 1, 2, 3, 4, 9, 3, 0, 2},
        {1, "alpha", 300, 0, 1, 10, 20, 0, 5, 1, 1},
        {1, "alpha", 7, 2, 0, 0, 0, 16383, 1, 4, 3},
    }));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->maxSalvo, 2);
    SortSalvosByName(*file);
    EXPECT_EQ(BuildSalvoNamesFrame(*file), Framed(0xFC, Bytes({50, 8}) + N14({2, 0}) + "alpha   " +
                                                            N14({0}) + "Beta    " + N14({1})));
    const auto steps = BuildSalvoEventsFrame(*file);
    ASSERT_TRUE(steps);
    // Salvo 1: K of its last step; values 0 and 1 both go as 0; P4 before P3; K above 255, level
    // 1 above 4, level 2 above 3 and mode above 2 read as 0. Salvo 2: levels 3 and 0 with mode 2
    // go as 04 00 07.
    EXPECT_EQ(*steps, Framed(0xEB, Bytes({50}) + N14({2, 3}) +  //
                                       N14({7, 2}) +            //
                                       Bytes({0, 1, 3}) + N14({0, 0, 19, 9, 0}) + Bytes({1, 0, 0}) +
                                       N14({1, 0, 0, 0, 16383}) +  //
                                       N14({5, 1}) +               //
                                       Bytes({4, 0, 7}) + N14({0, 1, 3, 2, 9})));
}

// The steps of a salvo share its name, so their order is the order the exchange passes leave
// tied names in.
TEST(Salvos, TiedNamesKeepTheExchangePassOrder) {
    std::mt19937 rng(11);
    const char* names[] = {"a", "A", "b", "B"};
    for (int round = 0; round < 100; ++round) {
        const int n = 1 + static_cast<int>(rng() % 10);
        std::vector<Salvo> records;
        for (int j = 0; j < n; ++j)
            records.push_back({1, names[rng() % 4], j, 0, 0, 0, 0, 0, 0, 0, 0});
        auto file = ReadSalvosFile(salvoFile(records));
        SortSalvosByName(*file);

        std::vector<int> expected(static_cast<size_t>(n));
        for (int j = 0; j < n; ++j) expected[j] = j;
        for (int i = 0; i < n - 1; ++i)
            for (int k = i + 1; k < n; ++k)
                if (QByteArray(records[expected[k]].name).toUpper() <
                    QByteArray(records[expected[i]].name).toUpper())
                    std::swap(expected[i], expected[k]);
        std::vector<int> got;
        for (int j = 1; j <= n; ++j) got.push_back(file->records[j].k);
        ASSERT_EQ(got, expected) << round;
    }
}

TEST(Salvos, LayoutMarkOtherThanOneIsRefused) {
    EXPECT_FALSE(ReadSalvosFile(salvoFile({{1, "A", 0, 0, 0, 0, 0, 0, 0, 0, 0}}, 2)));
    EXPECT_FALSE(ReadSalvosFile(salvoFile({}, 0)));
}

TEST(Salvos, MissingSalvoNumberGivesNoSteps) {
    auto file = ReadSalvosFile(salvoFile({
        {1, "A", 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {1, "A", 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {3, "C", 0, 0, 0, 0, 0, 0, 0, 0, 0},
    }));
    ASSERT_TRUE(file);
    SortSalvosByName(*file);
    EXPECT_FALSE(BuildSalvoEventsFrame(*file));
}

TEST(Salvos, SalvosSharingANameStillGiveAReadableNamesMessage) {
    auto file = ReadSalvosFile(salvoFile({
        {1, "Same", 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {2, "Same", 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {1, "Same", 0, 0, 0, 0, 0, 0, 0, 0, 0},
    }));
    SortSalvosByName(*file);
    // One entry follows, so the count says one.
    EXPECT_EQ(BuildSalvoNamesFrame(*file),
              Framed(0xFC, Bytes({50, 8}) + N14({1, 0}) + "Same    " + N14({0})));
}

TEST(Salvos, NumbersThatCannotBeHeldOrSentFail) {
    // 32769 - 1 does not fit 16 bits.
    EXPECT_THROW(ReadSalvosFile(salvoFile({{1, "A", 0, 32769, 0, 0, 0, 0, 0, 0, 0}})), TarvoError);
    auto file = ReadSalvosFile(salvoFile({{1, "A", 0, 0, 0, 0, 32768, 0, 0, 0, 0}}));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->records[1].p4, 32767);
    EXPECT_THROW(BuildSalvoEventsFrame(*file), TarvoError);
    // A truncated record.
    QByteArray data = salvoFile({{1, "A", 0, 0, 0, 0, 0, 0, 0, 0, 0}});
    data.chop(2);
    EXPECT_THROW(ReadSalvosFile(data), TarvoError);
}

}  // namespace
}  // namespace tarvo::test
