// The engine under a misbehaving switcher for a minute (every run) or an hour or more (on
// demand): it must stay up, decide every timed event exactly once, give a reason for every
// refusal, keep its memory flat, and carry on normally once the switcher behaves again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include "soak_run.h"
#include "support/test_support.h"

namespace tarvo::soak {
namespace {

// SIGTERM to the end of the process. (The sanitizers' leak check at exit is not the engine's.)
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 kExitLimitMs = 3000;
#else
constexpr qint64 kExitLimitMs = 1000;
#endif

void judge(const SoakOptions& o, const SoakRecord& r, long rssGrowthLimitKb, int warmUpSec) {
    const QString summary = Summary(o, r);
    std::fputs(summary.toUtf8().constData(), stdout);
    QFile out(QStringLiteral(TARVO_BINARY_DIR "/soak/") + o.name + QStringLiteral("/summary.txt"));
    if (out.open(QIODevice::WriteOnly)) out.write(summary.toUtf8());
    // Every memory sample, to lay beside the engine's and the simulator's logs.
    QFile rss(QStringLiteral(TARVO_BINARY_DIR "/soak/") + o.name + QStringLiteral("/rss.txt"));
    if (rss.open(QIODevice::WriteOnly))
        for (const auto& [second, kb] : r.rss) rss.write(QByteArray::number(second) + ' ' + QByteArray::number(kb) + '\n');

    ASSERT_FALSE(r.engine.empty()) << "the engine did not start";
    // Never dies; leaves in order.
    EXPECT_FALSE(r.diedDuringRun) << r.death.toStdString();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.lastTallyLine, QStringLiteral("Program Exit"));

    // Every timed occurrence decided exactly once across the kills: run, queued and run later,
    // refused or missed (each with its history line), or cut off by a kill ("interrupted").
    const QMap<QString, int> history = HistoryCounts(r.engine);
    const QMap<QString, int> cut = InterruptedTitles(r.activity);
    QMap<QString, QDateTime> decidedAt;  // the last history line of each title
    for (const Line& l : r.engine)
        if (l.text.startsWith(QStringLiteral("history"))) decidedAt[BaseTitle(l.text.section(QStringLiteral(" | "), 2))] = l.at;
    for (const TimedRow& t : r.table.timed) {
        const std::string what = t.title.toStdString() + " due " + t.due.toString(Qt::ISODate).toStdString();
        EXPECT_LE(history.value(t.title), 1) << what;
        EXPECT_LE(cut.value(t.title), 1) << what;
        EXPECT_GE(history.value(t.title) + cut.value(t.title), 1) << "not accounted for: " << what;
        const bool missed = r.activity.contains(t.title + QStringLiteral(" not executed - Missed"));
        if (missed) {
            EXPECT_TRUE(CouldBeMissed(o, r, t)) << "missed though the engine was back in time: " << what;
        }
        if (missed || t.active == 0 || !decidedAt.contains(t.title)) continue;
        EXPECT_LE(t.due.secsTo(decidedAt.value(t.title)), 180 + 6 + t.delay) << "decided more than three minutes late: " << what;
    }
    // Every refusal has its reason; every active event refused has a refusal line.
    const QMap<QString, int> reasons = RefusalReasons(r.activity);
    for (auto it = reasons.begin(); it != reasons.end(); ++it)
        EXPECT_TRUE(KnownReason(it.key()))
            << "refusal without a known reason: " << it.key().toStdString();
    const QMap<QString, int> refused = RefusedTitles(r.activity);
    // The clock's runs are never refused for room.
    for (const TimedRow& t : r.table.timed)
        EXPECT_EQ(r.activity.count(t.title + QStringLiteral(" not executed - Too Many Runs")), 0)
            << "a timed event refused for room: " << t.title.toStdString();
    for (const Line& l : r.engine) {
        if (!l.text.startsWith(QStringLiteral("history")) ||
            !l.text.endsWith(QStringLiteral(" - Not Executed")))
            continue;
        const QString title = BaseTitle(l.text.section(QStringLiteral(" | "), 2));
        const auto row = std::find_if(r.table.timed.begin(), r.table.timed.end(),
                                      [&](const TimedRow& t) { return t.title == title; });
        if (row == r.table.timed.end() || row->active == 2) continue;  // a skip gives no reason
        EXPECT_GE(refused.value(title), 1) << "refused without a reason: " << title.toStdString();
    }

    // Memory stays flat after the warm-up. Under AddressSanitizer freed memory waits in its
    // quarantine, so resident memory grows whatever the engine does; there LeakSanitizer judges
    // instead, at the engine's exit (a leak would make the exit code above non-zero).
    if (test::kResidentMemoryMeasurable) {
        long base = -1, top = -1;
        for (const auto& [second, kb] : r.rss) {
            if (second < warmUpSec) continue;
            if (base < 0) base = kb;
            top = std::max(top, kb);
        }
        ASSERT_GE(base, 0) << "no memory samples after the warm-up";
        EXPECT_LT(top - base, rssGrowthLimitKb)
            << "VmRSS grew from " << base << " kB to " << top << " kB";
    }

    // After the chaos the link comes back and the next timed take reaches the switcher.
    ASSERT_TRUE(r.linkBack.isValid()) << "the switcher was not connected again after the chaos";
    const auto next = std::find_if(
        r.table.timed.begin(), r.table.timed.end(),
        [&](const TimedRow& t) { return t.plainTake && t.due > r.linkBack.addSecs(1); });
    ASSERT_NE(next, r.table.timed.end()) << "no take left after the link came back";
    const QString frame =
        QStringLiteral("RX ") + QString::fromLatin1(next->takeFrame.toHex(' ').toUpper());
    bool arrived = false;
    for (int i = std::max(0, r.simLinesAtChaosOff); i < r.sim.size() && !arrived; ++i)
        arrived = r.sim[i].endsWith(frame);
    EXPECT_TRUE(arrived) << next->title.toStdString() << ": " << frame.toStdString();
    EXPECT_EQ(history.value(next->title), 1);
    EXPECT_EQ(std::count_if(r.engine.begin(), r.engine.end(),
                            [&](const Line& l) {
                                return l.text.startsWith(QStringLiteral("history: ")) &&
                                       l.text.endsWith(QStringLiteral(" | ") + next->title);
                            }),
              1)
        << next->title.toStdString() << " did not run plainly";

    // Runs that wait never nest: the runs in progress stay within the engine's bound, the stack
    // stays flat, and once the calm has lasted a while no run is left.
    ASSERT_FALSE(r.status.empty()) << "the engine gave no account of its runs";
    for (const RunStatus& st : r.status) {
        EXPECT_LE(st.mostAtOnce, 256) << "at second " << st.second;
        EXPECT_LT(st.deepestStack, 256 * 1024) << "at second " << st.second;
    }
    EXPECT_EQ(r.finalStatus.runs, 0) << "runs still in progress after the calm";
    EXPECT_GT(r.finalStatus.started, 0);
    EXPECT_EQ(r.finalStatus.ended, r.finalStatus.started);
    // No run outlasts what its waits allow: a message's connect, write and pause are bounded by
    // the engine's own limits (a few seconds); an upload waits on the switcher only while the
    // switcher makes progress, at the slowest for the longest slow read of the chaos.
    const qint64 runLimitMs = o.slowReadMaxMs + 10000;
    for (const RunStatus& st : r.status) EXPECT_LE(st.longestMs, runLimitMs) << "at second " << st.second;
    // The actions that wait reached their peers, whatever the peers did.
    EXPECT_GT(r.tcpConnections, 0);
    EXPECT_GT(r.deafConnections, 0);
    EXPECT_GT(r.datagrams, 0);
    // The serial row runs on one relay's change, which a kill's pause can take away in a minute.
    const bool serialSent = !r.activity.filter(QStringLiteral("Message Sent to comm:")).isEmpty();
    if (serialSent || o.seconds >= 600) {
        EXPECT_TRUE(serialSent);
        EXPECT_GT(r.serialBytes, 0);
    }
    EXPECT_GT(r.slaveDrops, 0);
    // SIGTERM ends it at once, and nothing goes out afterwards.
    EXPECT_GE(r.exitMs, 0);
    EXPECT_LT(r.exitMs, kExitLimitMs);
    EXPECT_EQ(r.simLinesAfterExit, 0);
    EXPECT_FALSE(r.peerAfterExit);

    // The kills came, and each start after one came up again.
    if (o.killEverySec > 0) {
        EXPECT_GE(r.down.size(), 1u);
        for (const Downtime& d : r.down) EXPECT_TRUE(d.started.isValid());
    }
    // The loop keeps its pace whatever the database, the switcher or the console do: no gap
    // between two pings to the slave reaches 2 s, but for a kill or a drop of that link.
    EXPECT_FALSE(KeepAliveGaps(r, 0).empty()) << "no pings to the slave";
    for (const auto& [at, ms] : KeepAliveGaps(r, 2000))
        ADD_FAILURE() << "a keep-alive gap of " << ms << " ms from " << at.toString(QStringLiteral("hh:mm:ss.zzz")).toStdString()
                      << "; " << LoopThreadAcross(r, at, at.addMSecs(ms)).toStdString();
    // No edit lost: the editing tool's last committed title stands, and the console's last
    // saved one (or one it sent as a kill came); each save of the console is in the history once.
    EXPECT_GT(r.edits, 0);
    EXPECT_GT(r.lockHolds, 0);
    EXPECT_EQ(r.editorTitle, r.editorWanted);
    const ConsoleFigures& c = r.console;
    EXPECT_GT(c.editsSaved, 0);
    EXPECT_TRUE(r.webTitle == (c.lastSavedTitle.isEmpty() ? QStringLiteral("Web row") : c.lastSavedTitle) ||
                c.unanswered.contains(r.webTitle))
        << r.webTitle.toStdString() << ", last saved " << c.lastSavedTitle.toStdString();
    EXPECT_GE(r.consoleChanges, c.editsSaved);
    EXPECT_LE(r.consoleChanges, c.editsSaved + (c.editsSent - c.editsAnswered));
    EXPECT_TRUE(r.onceLeft.isEmpty()) << "one-time rows left: " << r.onceLeft.join(QStringLiteral(", ")).toStdString();
    // The console answered every request while the engine ran, and streamed every history line
    // of the last start (but those of its last second, which may still be on their way).
    EXPECT_TRUE(c.faults.isEmpty()) << c.faults.mid(0, 20).join(QLatin1Char('\n')).toStdString();
    EXPECT_GE(c.signIns, 1);
    EXPECT_GT(c.answered, 0);
    EXPECT_GT(c.healthy, 0);
    EXPECT_GT(c.metrics, 0);
    qint64 printed = 0;
    for (const Line& l : r.engine)
        printed += l.start == r.starts && l.text.startsWith(QStringLiteral("history")) && l.at < c.stoppedAt.addSecs(-1) ? 1 : 0;
    const auto streamed = c.streamedLines.find(r.starts);
    qint64 missing = 0;
    for (qint64 seq = 1; seq <= printed; ++seq)
        missing += streamed == c.streamedLines.end() || !streamed->second.count(seq) ? 1 : 0;
    EXPECT_EQ(missing, 0) << "history lines of the last start not streamed, of " << printed;

    // The chaos did what it is for: every kind of misbehaviour came up.
    for (const char* kind : {"disconnect", "silence", "garbage", "cut", "maps", "takes", "states",
                             "dump", "slow-read", "bounce", "output-takes"})
        EXPECT_TRUE(std::any_of(r.sim.begin(), r.sim.end(),
                                [&](const QString& l) {
                                    return l.contains(QStringLiteral(" CHAOS ") + kind) &&
                                           !l.endsWith(QStringLiteral("(silent)"));
                                }))
            << "no chaos step of kind " << kind;
}

TEST(Soak, AMinuteAgainstAMisbehavingSwitcher) {
    SoakOptions o;
    o.name = QStringLiteral("short");
    o.seconds = 60;
    o.chaosSeconds = 38;
    o.seed = 15;  // every kind of step within the chaos, floods among them
    o.killEverySec = 14;  // one kill at least, and a start again within 6 s
    o.editEverySec = 6;
    const SoakRecord r = RunSoak(o);
    judge(o, r, 64 * 1024, 12);
}

// SIGTERM at a random moment of the chaos: the engine ends within a second, "Program Exit" is its
// last line, and nothing reaches the switcher or a peer afterwards.
TEST(Soak, ExitAtARandomMomentOfTheChaos) {
    SoakOptions o;
    o.name = QStringLiteral("exit");
    o.seconds = 30;
    o.chaosSeconds = 30;
    o.seed = 33;
    o.stopAtSec = 12 + static_cast<int>(QRandomGenerator::global()->bounded(12));
    std::printf("SIGTERM at second %d\n", o.stopAtSec);
    const SoakRecord r = RunSoak(o);
    ASSERT_FALSE(r.engine.empty()) << "the engine did not start";
    EXPECT_FALSE(r.diedDuringRun);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.lastTallyLine, QStringLiteral("Program Exit"));
    EXPECT_GE(r.exitMs, 0);
    EXPECT_LT(r.exitMs, kExitLimitMs);
    EXPECT_EQ(r.simLinesAfterExit, 0);
    EXPECT_FALSE(r.peerAfterExit);
    for (const RunStatus& st : r.status) EXPECT_LE(st.mostAtOnce, 256);
}

// An hour or more; run with `ctest -C soak -L soak-long` (TARVO_SOAK_SECONDS sets the length).
TEST(SoakLong, HoursAgainstAMisbehavingSwitcher) {
    const QByteArray seconds = qgetenv("TARVO_SOAK_SECONDS");
    if (seconds.isEmpty()) GTEST_SKIP() << "set TARVO_SOAK_SECONDS to run the long soak";
    SoakOptions o;
    o.seconds = std::max(600, seconds.toInt());
    o.chaosSeconds = o.seconds - 120;
    o.seed = qEnvironmentVariableIsSet("TARVO_SOAK_SEED")
                 ? static_cast<uint32_t>(qEnvironmentVariableIntValue("TARVO_SOAK_SEED"))
                 : 20261207u;
    // Pieces with different seeds may run side by side: each keeps its logs apart.
    o.name = QStringLiteral("long-%1").arg(o.seed);
    o.spacingSec = 3;
    o.paceMs = 2500;
    o.silenceMaxMs = 200000;  // now and then beyond the engine's patience with a silent switcher
    o.slowReadMaxMs = 30000;  // long enough for a flood to fill the engine's socket
    o.floodUnits = 1500000;
    o.editEverySec = 23;
    o.rssEverySec = 10;
    o.quietTailSec = 15;
    o.killEverySec = 600;
    o.pauseMaxSec = 200;
    o.lockMaxMs = 30000;
    o.consoleEverySec = 5;
    o.webEditEverySec = 37;
    const SoakRecord r = RunSoak(o);
    judge(o, r, 32 * 1024, 600);
}

}  // namespace
}  // namespace tarvo::soak
