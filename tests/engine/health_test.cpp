// What the engine reports about its own health: the keep-alives and status a service manager
// receives on its notify socket, and the error-log lines about the system clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/main_loop.h"
#include "engine/service_notify.h"
#include "support/notify_socket.h"
#include "support/test_support.h"

namespace tarvo::test {
namespace {

Row morningTake() {
    Row r = TimedRow(1, 0, QStringLiteral("09:00:00"), QStringLiteral("Morning take"));
    r["xcontrol"] = 1;
    r["SourceChan"] = 5;
    r["DestChan"] = 12;
    return r;
}

// One tick as the main loop runs it: the clock moves on, the tick runs, the observer hears how
// it ended.
void tick(Harness& h, ServiceNotifier& n) {
    h.clock.advance(500);
    n.tickEnded(TimerTick(h.e()));
}

TEST(ServiceNotify, ReadyOnceAfterStartUpWithTheStatusLine) {
    Harness h(WeekMoment(0, 8, 0));
    h.folder.createDatabase({morningTake()});
    NotifySocket manager(true);
    ServiceNotifier n(h.e());
    ASSERT_TRUE(n.enabled());
    h.startUp();
    n.startUpDone();
    n.startUpDone();
    EXPECT_EQ(
        manager.take(),
        QStringList{"READY=1\nSTATUS=Switcher not connected; next Monday 09:00:00 Morning take"});
}

TEST(ServiceNotify, KeepAlivesOnlyFromTicksThatRanToTheirEnd) {
    // A keep-alive is due every quarter of the watchdog's period: with 2 s, at every tick that
    // runs to its end; with 4 s, at every second one; with no watchdog asked for, never.
    // A watchdog asked of another process (WATCHDOG_PID) is not this one's to feed.
    const struct {
        long watchdogUsec;
        const char* watchdogPid;  // "self" for this process
        int expectedAfterSixGoodTicks;
    } cases[] = {{2000000, nullptr, 6}, {4000000, nullptr, 3}, {0, nullptr, 0},
                 {2000000, "self", 6}, {2000000, "1", 0}, {2000000, "12x", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.watchdogUsec << " " << (c.watchdogPid ? c.watchdogPid : "-"));
        Harness h(WeekMoment(0, 8, 0));
        h.folder.createDatabase({morningTake()});
        NotifySocket manager(true, c.watchdogUsec);
        if (c.watchdogPid)
            ::setenv("WATCHDOG_PID",
                     std::strcmp(c.watchdogPid, "self") == 0 ? std::to_string(::getpid()).c_str() : c.watchdogPid, 1);
        ServiceNotifier n(h.e());
        ::unsetenv("WATCHDOG_PID");
        if (c.expectedAfterSixGoodTicks == 0 && c.watchdogUsec > 0) {
            h.startUp();
            n.startUpDone();
            manager.take();
            for (int i = 0; i < 6; ++i) tick(h, n);
            EXPECT_EQ(manager.take().count(QStringLiteral("WATCHDOG=1")), 0);
            continue;
        }
        h.startUp();
        n.startUpDone();
        manager.take();
        for (int i = 0; i < 6; ++i) tick(h, n);
        EXPECT_EQ(manager.take().count(QStringLiteral("WATCHDOG=1")), c.expectedAfterSixGoodTicks);

        // A tick cut short by a failure (its counter overflows) feeds no watchdog, however
        // long it goes on failing; once the ticks run to their end again, neither does the
        // service manager miss them.
        h.e().TimerTicks = 32767;
        for (int i = 0; i < 8; ++i) tick(h, n);
        EXPECT_EQ(manager.take().count(QStringLiteral("WATCHDOG=1")), 0);
        EXPECT_FALSE(
            h.folder.errorLines().filter(QStringLiteral("Error processing timer")).isEmpty());
        h.e().TimerTicks = 0;
        tick(h, n);
        EXPECT_EQ(manager.take().count(QStringLiteral("WATCHDOG=1")), c.watchdogUsec > 0 ? 1 : 0);
    }
}

// A service manager may name an abstract socket, written with a leading '@'.
TEST(ServiceNotify, AnAbstractSocketIsReached) {
    const std::string name = "tarvo-notify-" + std::to_string(::getpid());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    name.copy(addr.sun_path + 1, sizeof addr.sun_path - 2);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    ::setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
    Harness h(WeekMoment(0, 8, 0));
    h.folder.createDatabase({morningTake()});
    ServiceNotifier n(h.e());
    h.startUp();
    n.startUpDone();
    ::unsetenv("NOTIFY_SOCKET");
    char buffer[512];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    ::close(fd);
    ASSERT_GT(got, 0);
    EXPECT_TRUE(QByteArray(buffer, got).startsWith("READY=1\n"));
}

TEST(ServiceNotify, StatusIsSentWhenTheLinkOrTheNextEventChangesAndOnlyThen) {
    Harness h(WeekMoment(0, 8, 59, 50));
    Row evening = TimedRow(2, 0, QStringLiteral("18:00:00"), QStringLiteral("Evening news"));
    h.folder.createDatabase({morningTake(), evening});
    NotifySocket manager(true);
    ServiceNotifier n(h.e());
    h.startUp();
    n.startUpDone();
    manager.take();

    tick(h, n);
    EXPECT_EQ(manager.take(), QStringList{});
    h.master().Connected = true;
    tick(h, n);
    EXPECT_EQ(
        manager.take(),
        QStringList{"STATUS=Switcher connected, not answering; next Monday 09:00:00 Morning take"});
    h.master().Online = true;
    tick(h, n);
    tick(h, n);
    EXPECT_EQ(manager.take(),
              QStringList{"STATUS=Switcher online; next Monday 09:00:00 Morning take"});
    // The morning take runs; the next event moves on.
    while (h.clock.now() < WeekMoment(0, 9, 0, 3)) tick(h, n);
    EXPECT_EQ(manager.take().filter(QStringLiteral("STATUS=")),
              QStringList{"STATUS=Switcher online; next Monday 18:00:00 Evening news"});
}

// --- the system clock

TEST(ClockWatch, OneErrorLineWhenTheClockBecomesUnsynchronisedAndOneWhenItIsAgain) {
    using S = ClockSync;
    const QString lost = kClockUnsynchronisedText;
    const QString back = kClockSynchronisedText;
    // The kernel's answer at each look, a minute apart (the first at start), and the error
    // lines they leave.
    const struct {
        const char* name;
        std::vector<S> answers;
        QStringList lines;
    } cases[] = {
        {"always synchronised", {S::Synchronised, S::Synchronised, S::Synchronised}, {}},
        {"unsynchronised from the start",
         {S::Unsynchronised, S::Unsynchronised, S::Unsynchronised},
         {lost}},
        {"lost and found again",
         {S::Synchronised, S::Unsynchronised, S::Unsynchronised, S::Synchronised, S::Synchronised},
         {lost, back}},
        {"unknown answers change nothing",
         {S::Unknown, S::Synchronised, S::Unknown, S::Unsynchronised, S::Unknown, S::Unsynchronised,
          S::Synchronised},
         {lost, back}},
        {"flapping", {S::Unsynchronised, S::Synchronised, S::Unsynchronised}, {lost, back, lost}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(WeekMoment(0, 8, 0));
        auto answer = std::make_shared<S>(c.answers.front());
        auto reads = std::make_shared<int>(0);
        h.e().clockWatch.setSource(std::make_unique<SetClockSync>(answer, reads));
        h.e().clockWatch.start();
        for (std::size_t i = 1; i < c.answers.size(); ++i) {
            // Asked once a minute, not at every tick.
            h.advance(ClockWatch::kIntervalMs - 1000);
            EXPECT_EQ(*reads, static_cast<int>(i));
            *answer = c.answers[i];
            h.advance(1000);
            EXPECT_EQ(*reads, static_cast<int>(i + 1));
        }
        QStringList lines;
        for (const QString& l : h.folder.errorLines()) lines << l.trimmed();
        EXPECT_EQ(lines, c.lines);
    }
}

TEST(ClockWatch, AskedNoMoreAfterProgramExit) {
    Harness h(WeekMoment(0, 8, 0));
    h.folder.createDatabase();
    auto answer = std::make_shared<ClockSync>(ClockSync::Synchronised);
    auto reads = std::make_shared<int>(0);
    h.e().clockWatch.setSource(std::make_unique<SetClockSync>(answer, reads));
    h.startUp();
    h.e().clockWatch.start();
    ProgramExit(h.e(), nullptr);
    *answer = ClockSync::Unsynchronised;
    h.advance(3 * ClockWatch::kIntervalMs);
    EXPECT_EQ(*reads, 1);
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

}  // namespace
}  // namespace tarvo::test
