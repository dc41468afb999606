// Relay, module and console configuration: files in, frames out, byte for byte.
#include <gtest/gtest.h>

#include "logs/failure.h"
#include "uploads/console_file.h"
#include "uploads/file_bytes.h"
#include "uploads/module_file.h"
#include "uploads/relay_file.h"

namespace tarvo::test {
namespace {

TEST(RelayConfiguration, PlainFileEntriesReversedOnTheWire) {
    FileBytes f;
    f.words({900, 2, 3, 7, 8, 9, 4, 1, 2, 3});
    EXPECT_EQ(BuildRelayConfigurationFrame(ReadRelayFile(f.data)),
              Bytes({0xF9, 0x28, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x09, 0x00, 0x08, 0x00,
                     0x07, 0x00, 0x04, 0x00, 0x03, 0x00, 0x02, 0x00, 0x01, 0x00, 0x4D, 0xFF}));
}

TEST(RelayConfiguration, MarkedFileStartsAtItsFirstPosition) {
    FileBytes f;
    f.words({900, 16383, 0, 1, 5, 8, 1, 2, 3});
    EXPECT_EQ(BuildRelayConfigurationFrame(ReadRelayFile(f.data)),
              Framed(0xF9, Bytes({40}) + N14({1, 5, 8, 3, 2, 1})));
    FileBytes fromZero;
    fromZero.words({900, 16383, 0, 1, 0, 2, 1, 2, 3});
    EXPECT_EQ(BuildRelayConfigurationFrame(ReadRelayFile(fromZero.data)),
              Framed(0xF9, Bytes({40}) + N14({1, 0, 2, 3, 2, 1})));
}

TEST(RelayConfiguration, BrokenFilesFail) {
    FileBytes before;
    before.words({900, 16383, 0, 1, -1, 8, 1, 2, 3});
    EXPECT_THROW(ReadRelayFile(before.data), TarvoError);
    FileBytes shortFile;
    shortFile.words({900, 2, 1, 1, 1, 1});
    EXPECT_THROW(ReadRelayFile(shortFile.data), TarvoError);
    FileBytes negative;
    negative.words({900, -2});
    EXPECT_THROW(ReadRelayFile(negative.data), TarvoError);
    FileBytes wide;
    wide.words({900, 1, 1, 16384, 0, 0});
    EXPECT_THROW(BuildRelayConfigurationFrame(ReadRelayFile(wide.data)), TarvoError);
}

TEST(RelayConfiguration, AssociationIsOneEntryAtTheRelay) {
    EXPECT_EQ(BuildRelayAssociationFrame(0, 0),
              Bytes({0xF9, 0x28, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x7F, 0x7F, 0x7F, 0x00,
                     0x00, 0x27, 0xFF}));
    EXPECT_EQ(BuildRelayAssociationFrame(4, 11),
              Framed(0xF9, Bytes({40}) + N14({1, 4, 2, 16383, 16383, 11})));
    EXPECT_THROW(BuildRelayAssociationFrame(-1, 0), TarvoError);
}

TEST(ModuleConfiguration, PlainFileSendsOnlyTheAAndBSettings) {
    FileBytes f;
    f.words({100, 1, 2, 3, 4, 1, 7}).byte(1).words({10, 11, 12, 13, 20, 21, 22, 23});
    const auto frames = BuildModuleFrames(ReadModuleFile(f.data), 3, 4);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], Framed(0xE2, Bytes({0, 1, 3, 1, 4}) + N14({1, 2, 3, 4}) +
                                          Bytes({1, 0, 1}) + N14({10, 11, 12, 13})));
    EXPECT_EQ(frames[1], Framed(0xD0, Bytes({1, 0, 1, 3, 0x7F, 0x7F, 1, 4, 1, 0}) + N14({7}) +
                                          Bytes({1}) + N14({23}) + Bytes({0, 0, 0, 0}) +
                                          N14({0, 0, 0, 0, 20, 21, 22, 0, 0, 0, 0}) +
                                          Bytes({0, 8}) + N14({0, 0, 0, 0, 0, 0, 0, 0})));
}

TEST(ModuleConfiguration, LatestLayoutSendsEverySetting) {
    FileBytes f;
    f.words({100, 1, 2, 3, 4, 16383, 8, 1, 7}).byte(0x55).byte(1);
    f.words({1, 2, 3, 4, 5, 6, 7, 8});          // A, B
    f.words({9, 10, 11, 12});                   // D1, then D2 .. D4
    f.words({13, 14, 15, 16, 17, 18, 19, 20});  // E1, E2, then E3 .. E8
    f.word(21).long32(300000).words({22, 23});  // F1, G, F2, F3
    f.byte(0x66).byte(0x77);                    // not sent
    f.words({40, 24});                          // K (no pairs in this layout), L
    const auto frames = BuildModuleFrames(ReadModuleFile(f.data), 0, 0);
    EXPECT_EQ(frames[1], Framed(0xD0, Bytes({1, 0, 1, 0, 0x7F, 0x7F, 1, 0, 1, 0}) + N14({7}) +
                                          Bytes({1}) + N14({8}) + Bytes({96, 39, 18, 0}) +
                                          N14({9, 10, 11, 12, 5, 6, 7, 21, 22, 23, 24}) +
                                          Bytes({40, 8}) + N14({13, 14, 15, 16, 17, 18, 19, 20})));
}

TEST(ModuleConfiguration, WordPairsAreSkippedUpToThirtyTwo) {
    auto file = [](int pairs) {
        FileBytes f;
        f.words({100, 0, 0, 0, 0, 16383, 3, 2});
        f.word(1).byte(1).words({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).long32(0);
        f.words({0, 0, pairs});
        for (int k = 0; k < pairs; ++k) f.words({-1, -1});
        f.word(2).byte(0);  // the second module, without channels
        return f.data;
    };
    const ModuleFile two = ReadModuleFile(file(2));
    ASSERT_EQ(two.modules.size(), 2u);
    EXPECT_EQ(two.modules[1].number, 2);
    EXPECT_EQ(ReadModuleFile(file(32)).modules[1].number, 2);
    EXPECT_THROW(ReadModuleFile(file(33)), TarvoError);
}

TEST(ModuleConfiguration, ValuesThatCannotBeCarriedFail) {
    FileBytes tooMany;
    tooMany.words({100, 0, 0, 0, 0, 33});
    EXPECT_THROW(ReadModuleFile(tooMany.data), TarvoError);
    FileBytes plain;
    plain.words({100, 0, 0, 0, 0, 0});
    EXPECT_THROW(BuildModuleFrames(ReadModuleFile(plain.data), 128, 0), TarvoError);
    FileBytes negativeG;
    negativeG.words({100, 0, 0, 0, 0, 16383, 2, 1, 1}).byte(1);
    negativeG.words({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).long32(-1).word(0);
    EXPECT_THROW(BuildModuleFrames(ReadModuleFile(negativeG.data), 0, 0), TarvoError);
    FileBytes truncated;
    truncated.words({100, 0, 0, 0, 0, 1, 7}).byte(1).words({1, 2, 3});
    EXPECT_THROW(ReadModuleFile(truncated.data), TarvoError);
}

QByteArray consoleFile(int n, int lastByteValue = 234) {
    FileBytes f;
    f.words({218, n, 0, 0, 0});
    for (int e = 0; e < n; ++e) {
        for (int k = 0; k < 30; ++k) f.word(100 + k);
        for (int k = 30; k < 34; ++k) f.word(200 + k);
        f.word(lastByteValue);
    }
    return f.data;
}

TEST(ConsoleConfiguration, EntryInTheSwitchersOrder) {
    const auto file = ReadConsoleFile(consoleFile(1));
    ASSERT_TRUE(file);
    QByteArray values = N14({101, 100, 102, 103, 104, 106, 106, 109, 108, 109, 112, 111, 112});
    for (int k = 13; k < 30; ++k) values += N14({100 + k});
    values += N14({230, 231, 232, 233, 234});
    EXPECT_EQ(BuildConsoleFrame(*file, 0),
              Framed(0xDA, Bytes({0}) + N14({1, 0}) + Bytes({30, 5}) + values));
    // The console after the last entry goes out empty; beyond it, and before 0, nothing does.
    EXPECT_EQ(BuildConsoleFrame(*file, 1),
              Framed(0xDA, Bytes({0}) + N14({1, 1}) + Bytes({30, 5}) + QByteArray(70, '\0')));
    EXPECT_THROW(BuildConsoleFrame(*file, 2), TarvoError);
    EXPECT_THROW(BuildConsoleFrame(*file, -1), TarvoError);
}

TEST(ConsoleConfiguration, WrongTypeWordIsRefusedAndBrokenFilesFail) {
    QByteArray other = consoleFile(1);
    other[0] = static_cast<char>(219);
    EXPECT_FALSE(ReadConsoleFile(other));
    EXPECT_THROW(ReadConsoleFile(consoleFile(1, 256)), TarvoError);
    EXPECT_THROW(ReadConsoleFile(consoleFile(1, -1)), TarvoError);
    QByteArray truncated = consoleFile(2);
    truncated.chop(1);
    EXPECT_THROW(ReadConsoleFile(truncated), TarvoError);
    FileBytes negative;
    negative.words({218, -1, 0, 0, 0});
    EXPECT_THROW(ReadConsoleFile(negative.data), TarvoError);
}

}  // namespace
}  // namespace tarvo::test
