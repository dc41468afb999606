#include <gtest/gtest.h>

#include "engine/main_loop.h"
#include "support/test_support.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/inbound.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::bytes;

// What the consumer made of a stream: every unit it cut off, every dropped frame's type, and
// the number of garbage bytes (the number of garbage lines depends on how the bytes arrive).
struct Outcome {
    std::vector<QByteArray> units;
    std::vector<int> incomplete;
    long long garbage = 0;
    QByteArray left;
    bool operator==(const Outcome&) const = default;
};

Outcome consume(const std::vector<QByteArray>& arrivals) {
    Outcome out;
    QByteArray buffer;
    qsizetype seen = 0;  // as a link carries it: a frame in pieces is looked through once
    for (const QByteArray& a : arrivals) {
        buffer += a;
        for (bool more = true; more;) {
            RxStep s = NextRxStep(buffer, &seen);
            switch (s.kind) {
                case RxStep::Garbage:
                    out.garbage += s.count;
                    break;
                case RxStep::Incomplete:
                    out.incomplete.push_back(s.type);
                    break;
                case RxStep::Control:
                    out.units.push_back(QByteArray(1, static_cast<char>(s.type)));
                    break;
                case RxStep::Frame:
                    out.units.push_back(s.frame);
                    break;
                case RxStep::Empty:
                case RxStep::Waiting:
                    more = false;
                    break;
            }
        }
    }
    out.left = buffer;
    return out;
}

TEST(Consumer, SameUnitsWhereverTheStreamIsSplit) {
    const QByteArray take = bytes({0xFE, 0x04, 0x00, 0x06, 0x00, 0x02, 0x00, 0x0C, 0xFF});
    const std::vector<QByteArray> streams = {
        bytes({0x61, 0x62, 0xF5}),
        bytes({0xF6, 0x01, 0x02, 0xFE, 0x03, 0xFF}),
        bytes({0xF6, 0x01, 0x02, 0xF5, 0xF5}),
        bytes({0x81, 0x64, 0x90, 0x64, 0xFF, 0xF4}),
        take + take,
        bytes({0x05, 0xF4, 0xF7, 0x1E, 0x01, 0x00, 0x04, 0x00, 0x01, 0x06, 0xFF, 0xF3, 0xF1, 0x7F,
               0xF2}) +
            take,
    };
    for (const QByteArray& stream : streams) {
        const Outcome whole = consume({stream});
        for (qsizetype cut = 1; cut < stream.size(); ++cut) {
            SCOPED_TRACE(QString::fromLatin1(stream.toHex(' ')).toStdString() + " cut at " +
                         std::to_string(cut));
            EXPECT_EQ(consume({stream.left(cut), stream.mid(cut)}), whole);
        }
        // Byte by byte as well.
        std::vector<QByteArray> single;
        for (char c : stream) single.push_back(QByteArray(1, c));
        EXPECT_EQ(consume(single), whole);
    }
    // The expected outcomes of the cases themselves.
    EXPECT_EQ(consume({streams[0]}).garbage, 2);
    EXPECT_EQ(consume({streams[1]}).incomplete, std::vector<int>{0xF6});
    EXPECT_EQ(consume({streams[1]}).units, std::vector<QByteArray>{bytes({0xFE, 0x03, 0xFF})});
    // Cut short by pings, with no end byte anywhere: both are answered.
    EXPECT_EQ(consume({streams[2]}),
              (Outcome{{bytes({0xF5}), bytes({0xF5})}, {0xF6}, 0, QByteArray()}));
    EXPECT_EQ(consume({streams[3]}).units.front(), bytes({0x81, 0x64, 0x90, 0x64, 0xFF}));
    EXPECT_EQ(consume({streams[4]}).units.size(), 2u);
    const Outcome mixed = consume({streams[5]});
    EXPECT_EQ(mixed.units.size(), 5u);  // F4, state, F3, F1, take
    EXPECT_EQ(mixed.garbage, 2);
    EXPECT_EQ(mixed.left, QByteArray());
}

TEST(Consumer, WritePiecesOf16384) {
    EXPECT_EQ(WritePieces(QByteArray(16384, 'x')).size(), 1u);
    const auto pieces = WritePieces(QByteArray(16385, 'x'));
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].size(), 16384);
    EXPECT_EQ(pieces[1].size(), 1);
}

// The message part of each error-log line (the location column is 36 characters wide).
QStringList errorMessages(const test::Folder& f) {
    QStringList out;
    for (const QString& l : f.errorLines()) out << l.mid(36);
    return out;
}

class Receive : public ::testing::Test {
  protected:
    Receive() : h(test::WeekMoment(0, 9, 0)) {
        sw().OptoState.assign(2049, 0);
        sw().RelayState.assign(2049, 0);
    }
    Switcher& sw() { return h.e().switcher; }
    void feed(int link, const QByteArray& b) { sw().link(link).RxBuffer += test::LeaveStreamSeed(b); }
    // One unit (with the garbage before it) off the link's buffer.
    bool consume(int link) { return ConsumeOneUnit(sw(), link); }
    test::Harness h;
};

TEST_F(Receive, GarbageIsLoggedAndThePingAnsweredInOneCall) {
    h.master().NoReplyCount = 150;
    h.slave().NoReplyCount = 150;
    feed(kMaster, bytes({0x61, 0x62, 0xF5}));
    EXPECT_TRUE(consume(kMaster));
    EXPECT_TRUE(h.master().RxBuffer.isEmpty());
    EXPECT_EQ(h.master().NoReplyCount, 0);
    EXPECT_EQ(h.slave().NoReplyCount, 150);
    EXPECT_EQ(errorMessages(h.folder), QStringList{QStringLiteral("Invalid Data 2 bytes")});

    // A buffer without a type byte is emptied with the whole length in the line.
    feed(kSlave, QByteArray(7, 0x10));
    EXPECT_FALSE(consume(kSlave));
    EXPECT_TRUE(h.slave().RxBuffer.isEmpty());
    EXPECT_EQ(errorMessages(h.folder).last(), QStringLiteral("Invalid Data 7 bytes"));
}

TEST_F(Receive, CutShortFrameIsLoggedByItsType) {
    h.e().logs.errorRepeatWindowMs = 0;  // each frame its own line
    // A frame begun and not ended waits for its end byte.
    feed(kMaster, bytes({0xF6, 0x01, 0x02}));
    EXPECT_FALSE(consume(kMaster));
    EXPECT_EQ(h.master().RxBuffer.size(), 3);
    // A type byte behind it shows it was cut short, though no end byte has come: a switcher
    // that sends nothing but pings afterwards is still answered.
    h.master().NoReplyCount = 100;
    feed(kMaster, bytes({0xF5}));
    EXPECT_TRUE(consume(kMaster));
    EXPECT_EQ(h.master().NoReplyCount, 0);
    EXPECT_TRUE(h.master().RxBuffer.isEmpty());
    EXPECT_EQ(errorMessages(h.folder), QStringList{QStringLiteral("Incomplete Message F6")});

    // Cut short by a frame: the map is dropped at once and the frame waits for its own end.
    feed(kMaster, bytes({0xF6, 0x01, 0x02, 0xFE, 0x03}));
    EXPECT_FALSE(consume(kMaster));
    EXPECT_EQ(h.master().RxBuffer, bytes({0xFE, 0x03}));
    feed(kMaster, bytes({0xFF, 0xF3}));
    EXPECT_TRUE(consume(kMaster));
    EXPECT_EQ(errorMessages(h.folder), QStringList(2, QStringLiteral("Incomplete Message F6")));
    EXPECT_EQ(h.master().RxBuffer, bytes({0xF3}));

    // A frame left waiting when the link closes: what the next connection sends is looked at
    // from its first byte (the cut at its third byte is seen, though the waiting frame had been
    // looked through further than that).
    EXPECT_TRUE(consume(kMaster));  // the F3 left above
    feed(kMaster, bytes({0xF6, 0x01, 0x02, 0x03, 0x04, 0x05}));
    EXPECT_FALSE(consume(kMaster));
    EXPECT_EQ(h.master().RxSeen, 6);
    CloseSwitcherLink(sw());
    EXPECT_EQ(h.master().RxSeen, 0);
    feed(kMaster, bytes({0xF6, 0x01, 0xF5, 0x02, 0x03, 0x04, 0x05, 0xFF}));
    EXPECT_TRUE(consume(kMaster));
    EXPECT_EQ(errorMessages(h.folder), QStringList(3, QStringLiteral("Incomplete Message F6")));
}

TEST_F(Receive, ControlBytesMoveTheMasterState) {
    h.master().NoReplyCount = 100;
    feed(kMaster, bytes({0xF4}));
    consume(kMaster);
    EXPECT_TRUE(h.master().Online);
    EXPECT_EQ(h.master().NoReplyCount, 0);
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherConnected);
    EXPECT_EQ(h.view.icons.back(), LinkIcon::Connected);

    h.master().Map.assign(40, OutputMap{});
    h.master().MapReceived = true;
    h.master().NoReplyCount = 9;
    const uint64_t generation = h.master().generation;
    feed(kMaster, bytes({0xF1}));
    consume(kMaster);
    EXPECT_FALSE(h.master().Online);
    EXPECT_FALSE(h.master().MapReceived);
    EXPECT_EQ(h.master().Map.size(), 1u);
    EXPECT_EQ(h.master().NoReplyCount, 0);
    // What was begun against the switcher that went away can tell.
    EXPECT_NE(h.master().generation, generation);
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherNotConnected);
    EXPECT_EQ(h.view.icons.back(), LinkIcon::NotConnected);

    h.master().NoReplyCount = 9;
    feed(kMaster, bytes({0xF3}));
    consume(kMaster);
    EXPECT_EQ(h.master().NoReplyCount, 0);
    EXPECT_TRUE(errorMessages(h.folder).isEmpty());
}

TEST_F(Receive, SlaveControlBytesLeaveCaptionAndMasterAlone) {
    h.master().Online = true;
    h.master().Map.assign(10, OutputMap{});
    const std::size_t captions = h.view.captions.size();
    h.slave().Map.assign(10, OutputMap{});
    feed(kSlave, bytes({0xF4}));
    consume(kSlave);
    EXPECT_TRUE(h.slave().Online);
    feed(kSlave, bytes({0xF1}));
    consume(kSlave);
    EXPECT_FALSE(h.slave().Online);
    EXPECT_EQ(h.slave().Map.size(), 1u);
    EXPECT_EQ(h.view.captions.size(), captions);
    EXPECT_TRUE(h.master().Online);
    EXPECT_EQ(h.master().Map.size(), 10u);
}

TEST_F(Receive, OneUnitPerCallButADrainTakesAll) {
    const QByteArray on =
        FrameBuilder(0xF7).byte(30).num14(1).num14(4).byte(1).finish();  // opto 5 on
    const QByteArray on2 =
        FrameBuilder(0xF7).byte(30).num14(1).num14(5).byte(1).finish();  // opto 6 on
    feed(kMaster, on + on2 + bytes({0xF6, 0x00}));
    EXPECT_TRUE(consume(kMaster));
    EXPECT_EQ(sw().OptoState[4], 1);
    EXPECT_EQ(sw().OptoState[5], 0);
    DrainReceiveBuffer(sw(), kMaster);
    EXPECT_EQ(sw().OptoState[5], 1);
    EXPECT_EQ(h.master().RxBuffer, bytes({0xF6, 0x00}));  // the incomplete map waits
}

TEST_F(Receive, ALongBurstLeavesTheRestToALaterTurnOfTheLoop) {
    // One more unit than a drain takes in one go: the last waits for the loop's next turn, so
    // ticks and the other link are not held up by a switcher that floods.
    QByteArray burst;
    for (int n = 0; n < kDrainBatch; ++n) burst += bytes({0xF3});
    burst += FrameBuilder(0xF7).byte(30).num14(1).num14(8).byte(1).finish();  // opto 9 on
    feed(kMaster, burst);
    DrainReceiveBuffer(sw(), kMaster);
    EXPECT_EQ(sw().OptoState[8], 0);
    EXPECT_FALSE(h.master().RxBuffer.isEmpty());
    ASSERT_TRUE(test::waitUntil([&] { return sw().OptoState[8] == 1; }));
    EXPECT_TRUE(h.master().RxBuffer.isEmpty());
}

TEST_F(Receive, UnknownTypeIsDroppedWithoutTrace) {
    feed(kMaster, bytes({0xD9, 0x01, 0x01, 0xFF, 0xF3}));
    EXPECT_TRUE(consume(kMaster));
    EXPECT_EQ(h.master().RxBuffer, bytes({0xF3}));
    EXPECT_TRUE(errorMessages(h.folder).isEmpty());
}

TEST_F(Receive, AFrameWithoutEndCannotFillTheMemory) {
    QByteArray endless(1, static_cast<char>(0xF6));
    endless += QByteArray(kMaxPendingFrame, 0x01);
    feed(kMaster, endless);
    EXPECT_FALSE(consume(kMaster));
    EXPECT_TRUE(h.master().RxBuffer.isEmpty());
    EXPECT_EQ(errorMessages(h.folder), QStringList{InvalidDataText(kMaxPendingFrame + 1)});
}

TEST_F(Receive, AFloodCostsBoundedMemoryTimeAndLines) {
    // What does not fit the receive buffer is dropped and said in one line once it is drained;
    // the first invalid pieces of a second get a line each, the rest one line at its end.
    h.e().logs.errorRepeatWindowMs = 0;  // each line as the link writes it
    QByteArray flood;
    for (int n = 0; n < 100; ++n) flood += bytes({0x01, 0xF3});
    h.master().takeIn(flood);
    h.master().takeIn(QByteArray(kMaxReceiveBuffer - flood.size() - 1, 0x01));
    h.master().takeIn(bytes({0x01, 0xF5, 0xF5, 0xF5}));
    EXPECT_EQ(h.master().RxBuffer.size(), kMaxReceiveBuffer);
    while (!h.master().RxBuffer.isEmpty()) DrainReceiveBuffer(sw(), kMaster);
    QStringList expected(kInvalidLinesPerSecond, InvalidDataText(1));
    expected << ReceiveOverflowText(kMaster, 3);
    EXPECT_EQ(errorMessages(h.folder), expected);
    h.advance(1000);
    expected << InvalidDataText(100 - kInvalidLinesPerSecond + kMaxReceiveBuffer - flood.size());
    EXPECT_EQ(errorMessages(h.folder), expected);

    // Invalid pieces are dropped a bounded number at a time, though no unit comes between them.
    feed(kMaster, QByteArray(1000, static_cast<char>(0x80)));
    EXPECT_TRUE(consume(kMaster));
    EXPECT_EQ(h.master().RxBuffer.size(), 1000 - kInvalidStepsPerCall);
}

}  // namespace
}  // namespace tarvo
