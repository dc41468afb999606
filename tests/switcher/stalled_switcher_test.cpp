// A switcher that stops reading, or reads slowly, while it goes on sending. A run whose frame
// finds the switcher holding a backlog waits its turn suspended; everything else (other runs,
// what the switcher sends, its pings) goes on meanwhile. Only a switcher that takes no byte for
// two seconds loses the frames waiting for it, and says so in the error log.
#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTcpSocket>

#include "base/wait.h"
#include "support/test_support.h"
#include "switcher/codec.h"
#include "switcher/commands.h"
#include "switcher/framing.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::Peer;
using test::StartOnLoop;
using test::waitUntil;

// The error-log line of a switcher not reading, as location and message.
struct ErrorLine {
    QString location;
    QString message;
    bool operator==(const ErrorLine&) const = default;
};
void PrintTo(const ErrorLine& l, std::ostream* os) {
    *os << '[' << l.location.toStdString() << "] " << l.message.toStdString();
}
ErrorLine notReading(int link, long long bytes) {
    return {kErrorSendingToSwitcher, WriteTimeoutText(link, bytes)};
}

// A frame whose payload tells which run sent it and which of its frames it is, padded to
// `size` bytes so that it spans more than one write piece when large.
QByteArray numberedFrame(int run, int seq, int size) {
    FrameBuilder b(0xFC);
    b.byte(run).num14(seq);
    b.bytes(QByteArray(size - 6, static_cast<char>((run * 16 + seq) % 128)));
    return b.finish();
}

// The frames of type 0xFC in what a switcher received, each from its type byte to its end byte.
std::vector<QByteArray> framesOf(const QByteArray& rx) {
    std::vector<QByteArray> out;
    for (qsizetype at = rx.indexOf(static_cast<char>(0xFC)); at >= 0; at = rx.indexOf(static_cast<char>(0xFC), at + 1)) {
        const qsizetype end = rx.indexOf(static_cast<char>(0xFF), at);
        if (end < 0) break;
        out.push_back(rx.mid(at, end - at + 1));
    }
    return out;
}

// Sends `frames` one after the other from a single run, as an event with several actions does.
Task<> sendAll(Switcher& sw, std::vector<QByteArray> frames) {
    for (const QByteArray& f : frames) co_await SendToSwitcher(sw, f);
}

// The switcher-not-reading lines of the error log.
std::vector<ErrorLine> notReadingLines(const test::Folder& folder) {
    std::vector<ErrorLine> out;
    for (const QString& l : folder.errorLines())
        if (l.contains(QStringLiteral(" not reading - "))) out.push_back({l.left(36).trimmed(), l.mid(36)});
    return out;
}

// Writes until the engine's own backlog on `link` is over the limit: the next frame has to
// wait. The clock does not move meanwhile, so the switcher last took bytes just now.
void fillBacklog(SwitcherLink& link) {
    const QByteArray chunk(1 << 20, 0x01);
    for (int n = 0; n < 200 && link.socket()->bytesToWrite() <= kWriteBacklogLimit; ++n) {
        ASSERT_EQ(link.writeNow(chunk), WriteResult::Written);
        QCoreApplication::processEvents();
    }
    ASSERT_GT(link.socket()->bytesToWrite(), kWriteBacklogLimit);
}

AutomationEvent take(int source, int dest) {
    AutomationEvent ev;
    ev.xcontrol = 1;
    ev.SourceChan = static_cast<int16_t>(source);
    ev.DestChan = static_cast<int16_t>(dest);
    return ev;
}

class StalledSwitcher : public ::testing::Test {
  protected:
    StalledSwitcher() : h(test::WeekMoment(0, 9, 0)) {
        sw().OptoState.assign(2049, 0);
        sw().RelayState.assign(2049, 0);
        h.master().wantedAddress = QStringLiteral("127.0.0.1");
        h.master().wantedPort = master.port();
        master.stopReading = true;
    }
    Switcher& sw() { return h.e().switcher; }
    std::vector<ErrorLine> dropLines() const { return notReadingLines(h.folder); }
    void upMaster() {
        ConnectSwitcher(sw());
        ASSERT_TRUE(waitUntil([&] { return h.master().Connected; }));
        ASSERT_TRUE(master.waitForClient());
    }
    void fillMaster() {
        ASSERT_NO_FATAL_FAILURE(upMaster());
        ASSERT_NO_FATAL_FAILURE(fillBacklog(h.master()));
        ASSERT_TRUE(dropLines().empty());
    }
    test::Harness h;
    Peer master;
};

TEST_F(StalledSwitcher, AWaitingFrameHoldsUpOnlyItsOwnRun) {
    ASSERT_NO_FATAL_FAILURE(fillMaster());
    const QByteArray salvo = FrameBuilder(0xEA).byte(100).num14(3).finish();
    const auto frame = StartOnLoop(h.s().runs, SendToSwitcher(sw(), salvo));
    ASSERT_FALSE(frame->done);
    EXPECT_EQ(h.master().waitingWriters(), 1u);

    // What the switcher sends meanwhile is acted on at once, not after the wait.
    const QByteArray relayFiveOn = FrameBuilder(0xF7).byte(40).num14(1).num14(4).byte(1).finish();
    master.send(relayFiveOn);
    ASSERT_TRUE(waitUntil([&] { return sw().RelayState.at(4) == 1; }));
    EXPECT_TRUE(h.master().RxBuffer.isEmpty());

    // Other runs go on as well.
    bool otherRanOn = false;
    h.s().runs.start([](Clock& c, bool& flag) -> Task<> {
        co_await ProcessWait(c, 500);
        flag = true;
    }(h.clock, otherRanOn));
    h.advance(600);
    EXPECT_TRUE(otherRanOn);
    EXPECT_FALSE(frame->done);

    // Given up only once the switcher has taken nothing for the whole time.
    h.advance(kWriteTimeoutMs - 600);
    EXPECT_FALSE(frame->done);
    h.advance(1);
    ASSERT_TRUE(frame->done);
    EXPECT_EQ(*frame->value, SendResult::Dropped);
    EXPECT_EQ(dropLines(), std::vector<ErrorLine>{notReading(kMaster, salvo.size())});
    EXPECT_EQ(h.master().waitingWriters(), 0u);
    EXPECT_EQ(h.s().runs.count(), 0);
    EXPECT_TRUE(h.master().Connected);
}

TEST_F(StalledSwitcher, PingsArrivingWhileAFrameWaitsStartNoWaitsOfTheirOwn) {
    ASSERT_NO_FATAL_FAILURE(fillMaster());
    const QByteArray salvo = FrameBuilder(0xEA).byte(100).num14(1).finish();
    const auto frame = StartOnLoop(h.s().runs, SendToSwitcher(sw(), salvo));
    ASSERT_FALSE(frame->done);

    // Each ping asks for an answer, which only a reading switcher could take: the answer is
    // given up at once instead of queueing behind the frame (or waiting inside anything).
    constexpr int kPings = 100;
    for (int n = 0; n < kPings; ++n) {
        h.master().NoReplyCount = 7;
        master.send(QByteArray(1, static_cast<char>(kPing)));
        ASSERT_TRUE(waitUntil([&] { return h.master().NoReplyCount == 0; })) << n;
        EXPECT_EQ(h.master().waitingWriters(), 1u);
        EXPECT_EQ(h.s().runs.count(), 1);
    }
    EXPECT_TRUE(dropLines().empty());  // told in one line once the switcher reads again

    // It reads again before its time is up: the waiting frame is kept and goes out.
    h.advance(kWriteTimeoutMs - 500);
    ASSERT_FALSE(frame->done);
    master.resumeReading();
    ASSERT_TRUE(waitUntil([&] { return frame->done; }));
    EXPECT_EQ(*frame->value, SendResult::Sent);
    ASSERT_TRUE(waitUntil([&] {
        master.received += master.client->readAll();
        return master.received.endsWith(salvo);
    }));
    EXPECT_FALSE(master.received.contains(static_cast<char>(kPingAnswer)));
    EXPECT_EQ(dropLines(), std::vector<ErrorLine>{notReading(kMaster, kPings)});
    h.advance(2 * kWriteTimeoutMs);  // the stall check, still armed, finds nothing to drop
    EXPECT_EQ(dropLines().size(), 1u);
    EXPECT_TRUE(h.master().Connected);
}

TEST_F(StalledSwitcher, OnceAStallIsSeenLaterFramesAreDroppedAtOnceUntilItReadsAgain) {
    h.e().logs.errorRepeatWindowMs = 0;  // each drop its own line
    ASSERT_NO_FATAL_FAILURE(fillMaster());
    const QByteArray first = FrameBuilder(0xEA).byte(100).num14(1).finish();
    EXPECT_EQ(test::RunToEnd(h, SendToSwitcher(sw(), first)), SendResult::Dropped);
    ASSERT_EQ(dropLines().size(), 1u);

    // Each frame waiting its own two seconds would keep a run (and whatever it was to do next)
    // busy for ever behind a switcher that is not coming back.
    std::vector<QByteArray> later;
    for (int n = 0; n < 10; ++n) later.push_back(FrameBuilder(0xEA).byte(100).num14(10 + n).finish());
    const int32_t before = h.clock.tickCount();
    test::RunToEnd(h, sendAll(sw(), later));
    EXPECT_EQ(h.clock.tickCount(), before);
    for (int n = 0; n < 10; ++n)
        SendRaw(sw(), QByteArray(1, static_cast<char>(kPingAnswer)), kMaster);
    // Every frame is named with its own size; the raw answers are summed up later.
    std::vector<ErrorLine> expected(11, notReading(kMaster, first.size()));
    EXPECT_EQ(dropLines(), expected);

    // The switcher reads again: frames go out once more.
    master.resumeReading();
    ASSERT_TRUE(waitUntil([&] {
        master.received += master.client->readAll();
        return h.master().socket()->bytesToWrite() == 0;
    }));
    expected.push_back(notReading(kMaster, 10));
    EXPECT_EQ(dropLines(), expected);
    const QByteArray salvo = FrameBuilder(0xEA).byte(100).num14(7).finish();
    EXPECT_EQ(test::RunToEnd(h, SendToSwitcher(sw(), salvo)), SendResult::Sent);
    EXPECT_TRUE(waitUntil([&] {
        master.received += master.client->readAll();
        return master.received.endsWith(salvo);
    }));
    for (const QByteArray& f : later) EXPECT_FALSE(master.received.contains(f));
    EXPECT_EQ(dropLines(), expected);
}

TEST_F(StalledSwitcher, FramesWaitingForRoomGoOutWholeAndInTheOrderAsked) {
    ASSERT_NO_FATAL_FAILURE(fillMaster());
    // Three runs of twelve frames each, every frame larger than one write piece. All three ask
    // while the backlog is full, in the order A, B, C.
    constexpr int kRuns = 3;
    constexpr int kFrames = 12;
    constexpr int kSize = 20000;
    std::vector<std::shared_ptr<test::LoopOutcome<bool>>> runs;
    for (int r = 0; r < kRuns; ++r) {
        std::vector<QByteArray> frames;
        for (int n = 0; n < kFrames; ++n) frames.push_back(numberedFrame(r, n, kSize));
        runs.push_back(StartOnLoop(h.s().runs, sendAll(sw(), frames)));
    }
    EXPECT_EQ(h.master().waitingWriters(), static_cast<std::size_t>(kRuns));

    master.resumeReading();
    h.settle();
    ASSERT_TRUE(std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->done; }));
    ASSERT_TRUE(waitUntil([&] {
        master.received += master.client->readAll();
        return master.received.count(static_cast<char>(0xFF)) >= kRuns * kFrames;
    }));

    // Each run asked for its next frame after the others had asked for theirs: the frames go
    // out round by round, each whole.
    std::vector<QByteArray> expected;
    for (int n = 0; n < kFrames; ++n)
        for (int r = 0; r < kRuns; ++r) expected.push_back(numberedFrame(r, n, kSize));
    const std::vector<QByteArray> got = framesOf(master.received);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(got[i] == expected[i]) << "frame " << i;
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST_F(StalledSwitcher, ASwitcherThatReadsSlowlyKeepsItsFrames) {
    ASSERT_NO_FATAL_FAILURE(fillMaster());
    // Both ends' buffers pinned from now on: left to grow (up to 4 MB to send and 32 MB to
    // receive here) the kernel now and then took the whole backlog within a few reads.
    h.master().socket()->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 128 * 1024);
    master.client->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 128 * 1024);
    // However much of the backlog the kernel took, two megabytes more wait in front of the
    // frame: more than a stall time's worth at the pace below.
    h.master().socket()->write(QByteArray(2 * 1024 * 1024, 0x01));
    const QByteArray salvo = FrameBuilder(0xEA).byte(100).num14(9).finish();
    const auto frame = StartOnLoop(h.s().runs, SendToSwitcher(sw(), salvo));
    ASSERT_FALSE(frame->done);

    // 64 KB every 100 ms: a slow switcher, but one that never goes a stall time without taking
    // bytes (over loopback the kernel tells the sender of room only once the reader has freed
    // a few of its large segments: with 16 KB reads that took more than a stall time now and
    // then). The backlog takes it well over the stall time, so a stall judged by the clock
    // alone would have dropped the frame.
    master.readSlowly(64 * 1024);
    const int32_t start = h.clock.tickCount();
    for (int step = 0; step < 1200 && !frame->done; ++step) {
        h.advance(100);
        master.readSome();
    }
    ASSERT_TRUE(frame->done);
    EXPECT_EQ(*frame->value, SendResult::Sent);
    EXPECT_TRUE(dropLines().empty());
    EXPECT_GT(h.clock.tickCount() - start, kWriteTimeoutMs) << "elapsed";
    master.resumeReading();
    EXPECT_TRUE(waitUntil([&] {
        master.received += master.client->readAll();
        return master.received.endsWith(salvo);
    }));
}

// Which switcher stopped reading decides whether the command counts as sent: the activity log
// says a take was sent only when the master took it.
TEST(StalledSwitcherLinks, ATakeDroppedByTheMasterIsNotLoggedAsSent) {
    const struct {
        const char* name;
        bool masterReads;
        int stalledLink;
        bool logged;
    } cases[] = {
        {"master stalls", false, kMaster, false},
        {"slave stalls", true, kSlave, true},
    };
    const QByteArray frame = CrosspointCommand(take(5, 12))->frame;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::Harness hh(test::WeekMoment(0, 9, 0));
        Peer m, s;
        m.stopReading = !c.masterReads;
        Switcher& x = hh.e().switcher;
        x.SlaveEnabled = true;
        hh.master().wantedAddress = hh.slave().wantedAddress = QStringLiteral("127.0.0.1");
        hh.master().wantedPort = m.port();
        hh.slave().wantedPort = s.port();
        s.stopReading = c.masterReads;
        ConnectSwitcher(x);
        ConnectSlave(x);
        ASSERT_TRUE(waitUntil([&] { return hh.master().Connected && hh.slave().Connected; }));
        ASSERT_TRUE(m.waitForClient() && s.waitForClient());
        ASSERT_NO_FATAL_FAILURE(fillBacklog(x.link(c.stalledLink)));

        const int32_t before = hh.clock.tickCount();
        test::RunToEnd(hh, SendCrosspointChange(x, take(5, 12)));
        EXPECT_GT(hh.clock.tickCount() - before, kWriteTimeoutMs);
        EXPECT_EQ(hh.folder.activityLines().contains(QStringLiteral("Send Take - In:0005-->Out:0012")), c.logged);
        EXPECT_EQ(notReadingLines(hh.folder), std::vector<ErrorLine>{notReading(c.stalledLink, frame.size())});
        EXPECT_EQ(hh.folder.errorLines().size(), 1);
        // The switcher that reads gets the frame all the same.
        Peer& reader = c.masterReads ? m : s;
        EXPECT_TRUE(waitUntil([&] { return reader.received.contains(frame); }));
    }
}

TEST_F(StalledSwitcher, ALinkClosedUnderAWaitingFrameReleasesItsRunAtOnce) {
    ASSERT_NO_FATAL_FAILURE(fillMaster());
    const auto frame = StartOnLoop(h.s().runs, SendCrosspointChange(sw(), take(2, 3)));
    ASSERT_FALSE(frame->done);
    // An answer dropped meanwhile is still told when the link goes.
    SendRaw(sw(), QByteArray(1, static_cast<char>(kPingAnswer)), kMaster);

    CloseSwitcherLink(sw());
    // Without moving the clock: the run does not sit out the stall time of a link that is gone.
    ASSERT_TRUE(frame->done);
    EXPECT_EQ(h.master().waitingWriters(), 0u);
    // The take never went out: it is not logged as sent.
    EXPECT_EQ(*frame->value, SendResult::NotConnected);
    EXPECT_TRUE(h.folder.activityLines().isEmpty());
    EXPECT_EQ(dropLines(), std::vector<ErrorLine>{notReading(kMaster, 1)});
    h.advance(2 * kWriteTimeoutMs);
    EXPECT_EQ(dropLines().size(), 1u);

    // The link comes back and writes at once.
    master.stopReading = false;
    master.client = nullptr;
    ASSERT_NO_FATAL_FAILURE(upMaster());
    const QByteArray salvo = FrameBuilder(0xEA).byte(100).num14(5).finish();
    EXPECT_EQ(test::RunToEnd(h, SendToSwitcher(sw(), salvo)), SendResult::Sent);
    EXPECT_TRUE(master.waitForBytes(salvo));
}

TEST_F(StalledSwitcher, ARunEndedWhileItsFrameWaitsLeavesNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(fillMaster());
    {
        // Exit ends suspended runs this way.
        RunSet ending;
        ending.start([](Switcher& x, AutomationEvent ev) -> Task<> {
            co_await SendCrosspointChange(x, ev);
        }(sw(), take(2, 3)));
        ASSERT_EQ(ending.count(), 1);
        ASSERT_EQ(h.master().waitingWriters(), 1u);
        ending.stopAll();
        EXPECT_EQ(h.master().waitingWriters(), 0u);
    }
    // Past the stall time and with the switcher reading again, nothing of the ended run wakes:
    // it neither sends nor logs.
    h.advance(2 * kWriteTimeoutMs);
    master.resumeReading();
    ASSERT_TRUE(waitUntil([&] {
        master.received += master.client->readAll();
        return h.master().socket()->bytesToWrite() == 0;
    }));
    EXPECT_FALSE(master.received.contains(CrosspointCommand(take(2, 3))->frame));
    EXPECT_TRUE(h.folder.activityLines().isEmpty());
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

}  // namespace
}  // namespace tarvo
