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
    for (const QByteArray& a : arrivals) {
        buffer += a;
        for (bool more = true; more;) {
            RxStep s = NextRxStep(buffer);
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
    EXPECT_EQ(consume({streams[2]}).units.front(), bytes({0x81, 0x64, 0x90, 0x64, 0xFF}));
    EXPECT_EQ(consume({streams[3]}).units.size(), 2u);
    const Outcome mixed = consume({streams[4]});
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
        e().OptoState.assign(2049, 0);
        e().RelayState.assign(2049, 0);
    }
    Engine& e() { return h.e(); }
    void feed(int link, const QByteArray& b) {
        e().RxBuffer.at(static_cast<std::size_t>(link)) += test::LeaveStreamSeed(b);
    }
    test::Harness h;
};

TEST_F(Receive, GarbageIsLoggedAndThePingAnsweredInOneCall) {
    e().NoReplyCount = {150, 150};
    feed(kMaster, bytes({0x61, 0x62, 0xF5}));
    ProcessReceiveBuffer(e(), kMaster);
    EXPECT_TRUE(e().RxBuffer[0].isEmpty());
    EXPECT_EQ(e().NoReplyCount[0], 0);
    EXPECT_EQ(errorMessages(h.folder), QStringList{QStringLiteral("Invalid Data 2 bytes")});

    // A buffer without a type byte is emptied with the whole length in the line.
    feed(kSlave, QByteArray(7, 0x10));
    ProcessReceiveBuffer(e(), kSlave);
    EXPECT_TRUE(e().RxBuffer[1].isEmpty());
    EXPECT_EQ(errorMessages(h.folder).last(), QStringLiteral("Invalid Data 7 bytes"));
}

TEST_F(Receive, CutShortFrameIsLoggedByItsType) {
    // Without an end byte nothing can be told yet.
    feed(kMaster, bytes({0xF6, 0x01, 0x02, 0xFE, 0x03}));
    ProcessReceiveBuffer(e(), kMaster);
    EXPECT_EQ(e().RxBuffer[0].size(), 5);
    // With it, the map is dropped and the frame that cut it short is taken in the same call.
    feed(kMaster, bytes({0xFF, 0xF3}));
    ProcessReceiveBuffer(e(), kMaster);
    EXPECT_EQ(errorMessages(h.folder), QStringList{QStringLiteral("Incomplete Message F6")});
    EXPECT_EQ(e().RxBuffer[0], bytes({0xF3}));
}

TEST_F(Receive, ControlBytesMoveTheMasterState) {
    e().NoReplyCount = {100, 100};
    feed(kMaster, bytes({0xF4}));
    ProcessReceiveBuffer(e(), kMaster);
    EXPECT_TRUE(e().SwitcherOnline);
    EXPECT_EQ(e().NoReplyCount[0], 0);
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherConnected);
    EXPECT_EQ(h.view.icons.back(), LinkIcon::Connected);

    e().SwitcherMap.assign(40, OutputMap{});
    e().MapReceived[0] = true;
    e().NoReplyCount[0] = 9;
    feed(kMaster, bytes({0xF1}));
    ProcessReceiveBuffer(e(), kMaster);
    EXPECT_FALSE(e().SwitcherOnline);
    EXPECT_FALSE(e().MapReceived[0]);
    EXPECT_EQ(e().SwitcherMap.size(), 1u);
    EXPECT_EQ(e().NoReplyCount[0], 0);
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherNotConnected);
    EXPECT_EQ(h.view.icons.back(), LinkIcon::NotConnected);

    e().NoReplyCount[0] = 9;
    feed(kMaster, bytes({0xF3}));
    ProcessReceiveBuffer(e(), kMaster);
    EXPECT_EQ(e().NoReplyCount[0], 0);
    EXPECT_TRUE(errorMessages(h.folder).isEmpty());
}

TEST_F(Receive, SlaveControlBytesLeaveCaptionAndMasterAlone) {
    e().SwitcherOnline = true;
    e().SwitcherMap.assign(10, OutputMap{});
    const std::size_t captions = h.view.captions.size();
    e().SlaveSwitcherMap.assign(10, OutputMap{});
    feed(kSlave, bytes({0xF4}));
    ProcessReceiveBuffer(e(), kSlave);
    EXPECT_TRUE(e().SlaveSwitcherOnline);
    feed(kSlave, bytes({0xF1}));
    ProcessReceiveBuffer(e(), kSlave);
    EXPECT_FALSE(e().SlaveSwitcherOnline);
    EXPECT_EQ(e().SlaveSwitcherMap.size(), 1u);
    EXPECT_EQ(h.view.captions.size(), captions);
    EXPECT_TRUE(e().SwitcherOnline);
    EXPECT_EQ(e().SwitcherMap.size(), 10u);
}

TEST_F(Receive, OneUnitPerCallButADrainTakesAll) {
    const QByteArray on =
        FrameBuilder(0xF7).byte(30).num14(1).num14(4).byte(1).finish();  // opto 5 on
    const QByteArray on2 =
        FrameBuilder(0xF7).byte(30).num14(1).num14(5).byte(1).finish();  // opto 6 on
    feed(kMaster, on + on2 + bytes({0xF6, 0x00}));
    ProcessReceiveBuffer(e(), kMaster);
    EXPECT_EQ(e().OptoState[4], 1);
    EXPECT_EQ(e().OptoState[5], 0);
    DrainReceiveBuffer(e(), kMaster);
    EXPECT_EQ(e().OptoState[5], 1);
    EXPECT_EQ(e().RxBuffer[0], bytes({0xF6, 0x00}));  // the incomplete map waits
}

TEST_F(Receive, UnknownTypeIsDroppedWithoutTrace) {
    feed(kMaster, bytes({0xD9, 0x01, 0x01, 0xFF, 0xF3}));
    ProcessReceiveBuffer(e(), kMaster);
    EXPECT_EQ(e().RxBuffer[0], bytes({0xF3}));
    EXPECT_TRUE(errorMessages(h.folder).isEmpty());
}

TEST_F(Receive, AFrameWithoutEndCannotFillTheMemory) {
    QByteArray endless(1, static_cast<char>(0xF6));
    endless += QByteArray(kMaxPendingFrame, 0x01);
    feed(kMaster, endless);
    ProcessReceiveBuffer(e(), kMaster);
    EXPECT_TRUE(e().RxBuffer[0].isEmpty());
    EXPECT_EQ(errorMessages(h.folder), QStringList{InvalidDataText(kMaxPendingFrame + 1)});
}

}  // namespace
}  // namespace tarvo
