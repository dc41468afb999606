#include <gtest/gtest.h>

#include "logs/failure.h"
#include "switcher/codec.h"

namespace tarvo {
namespace {

QByteArray bytes(std::initializer_list<int> v) {
    QByteArray b;
    for (int x : v) b.append(static_cast<char>(x));
    return b;
}

TEST(Codec, ChecksumSkipsTypeByteAndTrailingBytes) {
    EXPECT_EQ(CheckSum(bytes({0xFE, 0x04, 0x08, 0x00, 0x00, 0x01, 0x00}), 0), 13);
    // A received frame: checksum and end byte are skipped with n = 2.
    EXPECT_EQ(CheckSum(bytes({0x81, 0x64, 0x64, 0xFF}), 2), 0x64);
    EXPECT_TRUE(FrameChecksumOk(bytes({0x81, 0x64, 0x64, 0xFF})));
    EXPECT_FALSE(FrameChecksumOk(bytes({0x81, 0x64, 0x63, 0xFF})));
    // Sums wrap modulo 128.
    EXPECT_EQ(CheckSum(bytes({0xF0, 0x7F, 0x7F, 0x03}), 0), (0x7F + 0x7F + 0x03) % 128);
}

TEST(Codec, FourteenBitNumbersAndMasks) {
    EXPECT_EQ(FrameBuilder(0xFE).num14(0x404).partial(), bytes({0xFE, 0x04, 0x08}));
    EXPECT_EQ(FrameBuilder(0xFE).num14(16383).partial(), bytes({0xFE, 0x7F, 0x7F}));
    EXPECT_EQ(Decode7BitPair(0x7F, 0x7F), 16383);
    EXPECT_EQ(FrameBuilder(0xF2).mask28(0x30080).partial(), bytes({0xF2, 0x00, 0x01, 0x0C, 0x00}));
    // Numbers the wire cannot carry fail instead of putting a top-bit byte on the wire.
    EXPECT_THROW(FrameBuilder(0xEA).num14(-1), TarvoError);
    EXPECT_THROW(FrameBuilder(0xEA).num14(16384), TarvoError);
    EXPECT_THROW(FrameBuilder(0xEA).byte(128), TarvoError);
}

TEST(Codec, FinishAppendsChecksumAndEnd) {
    // A take of source 5 to output 12.
    EXPECT_EQ(FrameBuilder(0xFE).num14(0x404).num14(4).num14(11).finish(),
              bytes({0xFE, 0x04, 0x08, 0x04, 0x00, 0x0B, 0x00, 0x1B, 0xFF}));
}

TEST(Codec, ReadsAreRangeChecked) {
    const QByteArray f = bytes({0xFE, 0x01});
    EXPECT_EQ(ReadByte(f, 1), 1);
    EXPECT_THROW(ReadByte(f, 2), TarvoError);
    EXPECT_THROW(Read14(f, 1), TarvoError);
    EXPECT_EQ(FindEOM(bytes({0x01, 0xFF, 0xFF})), 2);
    EXPECT_EQ(FindEOM(bytes({0x01})), 0);
}

TEST(Codec, ConsumerDropsGarbageThenAnswersPing) {
    QByteArray buf = bytes({0x61, 0x62, 0xF5});
    RxStep s = NextRxStep(buf);
    EXPECT_EQ(s.kind, RxStep::Garbage);
    EXPECT_EQ(s.count, 2);
    s = NextRxStep(buf);
    EXPECT_EQ(s.kind, RxStep::Control);
    EXPECT_EQ(s.type, 0xF5);
    EXPECT_TRUE(buf.isEmpty());
    EXPECT_EQ(NextRxStep(buf).kind, RxStep::Empty);
}

TEST(Codec, ConsumerDropsFrameCutShortByNewType) {
    QByteArray buf = bytes({0xF6, 0x01, 0x02, 0xFE, 0x03, 0xFF});
    RxStep s = NextRxStep(buf);
    EXPECT_EQ(s.kind, RxStep::Incomplete);
    EXPECT_EQ(s.type, 0xF6);
    EXPECT_EQ(buf, bytes({0xFE, 0x03, 0xFF}));
    s = NextRxStep(buf);
    EXPECT_EQ(s.kind, RxStep::Frame);
    EXPECT_EQ(s.frame, bytes({0xFE, 0x03, 0xFF}));

    // The new type byte is enough; the end byte need not have come.
    const struct {
        QByteArray in, left;
    } noEnd[] = {
        {bytes({0xF6, 0x01, 0x02, 0xF5}), bytes({0xF5})},
        {bytes({0xF7, 0x1E, 0xFE, 0x04}), bytes({0xFE, 0x04})},
        {bytes({0xFE, 0xF6}), bytes({0xF6})},
    };
    for (const auto& c : noEnd) {
        QByteArray b = c.in;
        s = NextRxStep(b);
        EXPECT_EQ(s.kind, RxStep::Incomplete) << c.in.toHex().constData();
        EXPECT_EQ(s.type, static_cast<uint8_t>(c.in[0]));
        EXPECT_EQ(b, c.left);
    }

    // A long run of them and an end byte after the last: each dropped in turn, the last one a
    // frame; without the end byte the last one waits.
    QByteArray run;
    for (int k = 0; k < 3000; ++k) run += bytes({0xF6, 0x01, 0x02});
    for (const bool ended : {true, false}) {
        QByteArray b = run + (ended ? bytes({0xFF}) : QByteArray());
        int incomplete = 0;
        for (s = NextRxStep(b); s.kind == RxStep::Incomplete; s = NextRxStep(b)) ++incomplete;
        EXPECT_EQ(incomplete, 2999);
        EXPECT_EQ(s.kind, ended ? RxStep::Frame : RxStep::Waiting);
        EXPECT_EQ(ended ? s.frame : b, bytes({0xF6, 0x01, 0x02}) + (ended ? bytes({0xFF}) : QByteArray()));
    }
}

TEST(Codec, ConsumerTakesIdentityRequestWholeAndWaitsForEnd) {
    QByteArray buf = bytes({0x81, 0x64, 0x90, 0x64, 0xFF, 0xF4});
    RxStep s = NextRxStep(buf);
    ASSERT_EQ(s.kind, RxStep::Frame);
    EXPECT_EQ(s.frame.size(), 5);
    EXPECT_EQ(NextRxStep(buf).kind, RxStep::Control);

    // Without its end byte, the identity request keeps its top-bit payload bytes and waits.
    QByteArray ident = bytes({0x81, 0x64, 0x90});
    EXPECT_EQ(NextRxStep(ident).kind, RxStep::Waiting);
    EXPECT_EQ(ident.size(), 3);

    QByteArray partial = bytes({0xFE, 0x04});
    EXPECT_EQ(NextRxStep(partial).kind, RxStep::Waiting);
    EXPECT_EQ(partial.size(), 2);
    // No type byte at all: the whole buffer is garbage.
    QByteArray junk = bytes({0x01, 0x02, 0x03});
    s = NextRxStep(junk);
    EXPECT_EQ(s.kind, RxStep::Garbage);
    EXPECT_EQ(s.count, 3);
    EXPECT_TRUE(junk.isEmpty());
}

}  // namespace
}  // namespace tarvo
