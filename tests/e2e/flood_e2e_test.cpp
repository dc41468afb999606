// The real tarvo-engined against a switcher that floods the link with bytes that are no message
// (or nothing but sign-of-life bytes between them): its memory stays bounded, its tick goes on
// (its pings keep coming), a few lines say what was dropped, and when the switcher then closes
// the link with its buffer full, SIGTERM still ends the engine at once, "Program Exit" last.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTime>

#include "faked_engine.h"
#include "sim_process.h"
#include "switcher/links.h"
#include "support/test_support.h"

namespace tarvo::test {
namespace {

// The most the engine's resident memory ever was, in kB (from /proc).
long long peakResidentKb(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// The longest stretch in ms from the simulator's first "FLOOD start" to its last "FLOOD done"
// without a ping from the engine (its stamped lines "hh:mm:ss.zzz ...").
int longestPingGap(const QStringList& lines) {
    qsizetype end = lines.size() - 1;
    while (end >= 0 && !lines[end].contains(QLatin1String("FLOOD done"))) --end;
    int longest = -1;
    QTime last;
    for (qsizetype i = 0; i <= end; ++i) {
        const QString& l = lines[i];
        const QTime at = QTime::fromString(l.left(12), QStringLiteral("hh:mm:ss.zzz"));
        if (!last.isValid()) {
            if (l.contains(QLatin1String("FLOOD start"))) last = at;
        } else if (l.mid(13) == QLatin1String("RX F5") || i == end) {
            longest = std::max(longest, last.msecsTo(at));
            last = at;
        }
    }
    return longest;
}

TEST(Flood, TheEngineStaysBoundedKeepsItsTickAndStopsAtOnce) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    for (const char* pattern : {"01 F3", "80"}) {
        SCOPED_TRACE(pattern);
        const std::string tag = pattern[0] == '8' ? "_80" : "_01F3";  // the figures, in the test's output
        Folder folder;
        folder.createDatabase({});
        SimProcess sim;
        ASSERT_TRUE(UseLoopbackOnly(folder, sim.port));
        FakedEngine engine(folder.path());
        ASSERT_TRUE(engine.start(FakedMoment(QDate(2026, 12, 16), QTime(10, 0, 0))));
        ASSERT_TRUE(engine.waitUntilConnected());

        // Floods of 2.5 s until the engine has surely been sent more than its receive buffer
        // holds: it takes in a socket's worth each turn of its loop, so a slow (sanitized, or
        // busy) engine is sent less in one flood.
        constexpr qint64 kAtLeast = 3 * kMaxReceiveBuffer;
        qint64 sent = 0;
        int rounds = 0;
        while (sent < kAtLeast && rounds < 8) {
            sim.command(QStringLiteral("flood 2500 ") + QLatin1String(pattern));
            ASSERT_TRUE(sim.waitForLine(QStringLiteral("FLOOD done"), ++rounds));
            sent += sim.lines.filter(QStringLiteral("FLOOD done")).last().section(QLatin1Char(' '), 3, 3).toLongLong();
        }
        ASSERT_GE(sent, kAtLeast) << "the engine read too little to fill its buffer";
        ::testing::Test::RecordProperty("sent_mb" + tag, static_cast<int>(sent >> 20));
        const int gap = longestPingGap(sim.lines);
        EXPECT_GE(gap, 0);
        EXPECT_LT(gap, 2000) << "the engine's tick stopped during the flood";
        const long long peak = peakResidentKb(engine.pid());
        EXPECT_GT(peak, 0);
        ::testing::Test::RecordProperty("peak_kb" + tag, static_cast<int>(peak));
        ::testing::Test::RecordProperty("ping_gap_ms" + tag, gap);
        if (test::kResidentMemoryMeasurable) {
            EXPECT_LT(peak, 100 * 1024) << "the receive buffer grew with the flood";
        }

        // The switcher closes with the engine's buffer full: the engine consumes it a batch a
        // turn of its loop, so the stop signal is acted on at once.
        sim.command(QStringLiteral("close"));
        ASSERT_TRUE(sim.waitForLine(QStringLiteral("DISCONNECT")));
        QElapsedTimer stop;
        stop.start();
        EXPECT_TRUE(engine.terminate());
        EXPECT_LT(stop.elapsed(), 2000);
        ::testing::Test::RecordProperty("stop_ms" + tag, static_cast<int>(stop.elapsed()));
        const std::vector<ActivityLine> activity = ReadActivity(folder.path());
        ASSERT_FALSE(activity.empty());
        EXPECT_EQ(activity.back().text, QStringLiteral("Program Exit"));
        // A line for each of the first invalid pieces of a second, then one sum a second, and
        // one for what did not fit: never a line per byte.
        const QStringList errors = folder.errorLines();
        ::testing::Test::RecordProperty("error_lines" + tag, static_cast<int>(errors.size()));
        EXPECT_LT(errors.size(), 80 * rounds);
        // What did not fit is counted: some of it, and never more than was sent.
        const QStringList full = errors.filter(QStringLiteral("Switcher receive buffer full - "));
        qint64 dropped = 0;
        for (const QString& l : full)
            dropped += l.section(QStringLiteral("full - "), 1).section(QLatin1Char(' '), 0, 0).toLongLong();
        EXPECT_GT(dropped, 0) << errors.join('\n').toStdString();
        EXPECT_LE(dropped, sent - kMaxReceiveBuffer);
    }
}

}  // namespace
}  // namespace tarvo::test
