// The real tarvo-engined stopped (kill -9 or SIGTERM) and started again later on a faked wall
// clock, against the simulator and peers of the test: what fell due while it was away runs late
// once or is written off as missed, with its upkeep; a run cut off is never repeated; a delayed
// entry outlives the restart; and a kill is told at the next start.
#include <gtest/gtest.h>

#include <optional>

#include <QRegularExpression>

#include "faked_engine.h"
#include "sim_process.h"

namespace tarvo::test {
namespace {

enum class Stop { Kill, Term };

inline const QString kTakeFrame = QStringLiteral("RX FE 04 08 04 00 0B 00 1B FF");  // 5 to 12
inline const QString kTakeLine = QStringLiteral("Send Take - In:0005-->Out:0012");

QString sentLine(const QString& title) { return QStringLiteral("Message Sent to 127.0.0.1 Title:") + title; }

int count(const std::vector<ActivityLine>& lines, const QString& text) {
    return static_cast<int>(Texts(lines).count(text));
}
int countStarting(const std::vector<ActivityLine>& lines, const QString& prefix) {
    int n = 0;
    for (const ActivityLine& l : lines) n += l.text.startsWith(prefix) ? 1 : 0;
    return n;
}
bool anyMentions(const std::vector<ActivityLine>& lines, const QString& title) {
    for (const ActivityLine& l : lines)
        if (l.text.contains(title)) return true;
    return false;
}

void stopEngine(FakedEngine& engine, Stop how) {
    if (how == Stop::Kill)
        engine.kill();
    else
        EXPECT_TRUE(engine.terminate()) << "SIGTERM did not end the engine in order";
}

// The second start's account of the first: "Previous Run Ended ..." right after its "Program
// Start" when the first was killed (its stamp a second the first run lived through), nowhere
// when it ended in order.
void expectToldOfTheStop(const std::vector<ActivityLine>& all, Stop how, const QDateTime& firstFrom,
                         const QDateTime& firstTo) {
    const auto starts = ByStart(all);
    ASSERT_GE(starts.size(), 2u);
    const std::vector<ActivityLine>& second = starts[1];
    if (how == Stop::Term) {
        EXPECT_EQ(starts[0].back().text, QStringLiteral("Program Exit"));
        EXPECT_EQ(countStarting(all, kPreviousRunPrefix), 0);
        return;
    }
    EXPECT_NE(starts[0].back().text, QStringLiteral("Program Exit"));
    EXPECT_EQ(countStarting(all, kPreviousRunPrefix), 1);
    ASSERT_GE(second.size(), 2u);
    ASSERT_TRUE(second[1].text.startsWith(kPreviousRunPrefix)) << second[1].text.toStdString();
    const QString stamp = second[1].text.mid(kPreviousRunPrefix.size());
    EXPECT_TRUE(StampWithin(stamp, firstFrom, firstTo.addSecs(1)))
        << stamp.toStdString() << " is not a second from " << ActivityStamp(firstFrom).toStdString()
        << " to " << ActivityStamp(firstTo).toStdString();
}

// Three rows at the second T (ordinary, one-time, skip; in that order by priority) and one a
// minute earlier; the first start, the first ever, comes between them (at T - 4) and ends 3 s
// before T.
TEST(EngineRestart, WhatFellDueWhileStoppedRunsLateOnceOrIsMissedWithItsUpkeep) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    struct Case {
        const char* name;
        Stop stop;
        qint64 awaySec;  // from the stop to the next start, on the faked clock
        bool switcherAway = false;  // at the next start: what is late waits out the hold for the link
    };
    const Case cases[] = {
        {"kill -9, back 5 s later", Stop::Kill, 5},
        {"kill -9, back 5 s later, the switcher away", Stop::Kill, 5, true},
        {"SIGTERM, back 5 s later", Stop::Term, 5},
        {"kill -9, back 4 min later", Stop::Kill, 240},
        {"SIGTERM, back 4 min later", Stop::Term, 240},
        {"kill -9, back 8 days later", Stop::Kill, 8 * 86400},
    };
    const QDateTime t = FakedMoment(QDate(2026, 12, 16), QTime(10, 0, 0));
    const QString before = QStringLiteral("Before the first start");
    const QString ordinary = QStringLiteral("Ordinary"), once = QStringLiteral("One-time"),
                  skip = QStringLiteral("Skip");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Folder folder;
        std::optional<SimProcess> sim;
        sim.emplace();
        ASSERT_NE(sim->port, 0);
        DatagramListener udp;
        ASSERT_TRUE(udp.ok);
        std::vector<Row> rows = {UdpRow(1, t.addSecs(-60), before, 1, udp.port()),
                                 UdpRow(2, t, ordinary, 1, udp.port()),
                                 UdpRow(3, t, once, 3, udp.port()),
                                 UdpRow(4, t, skip, 2, udp.port())};
        for (int i = 1; i < 4; ++i) rows[static_cast<std::size_t>(i)]["Priority"] = i;
        folder.createDatabase(rows);
        ASSERT_TRUE(UseLoopbackOnly(folder, sim->port));

        FakedEngine engine(folder.path());
        const QDateTime firstStart = t.addSecs(-4);
        const QDateTime stopAt = t.addSecs(-3);
        ASSERT_TRUE(engine.start(firstStart));
        ASSERT_TRUE(engine.waitForLine(QStringLiteral("next: ")));
        ASSERT_LT(engine.fakedNow(), t.addMSecs(-500)) << "the engine took too long to start";
        ASSERT_TRUE(engine.waitUntilFaked(stopAt));
        stopEngine(engine, c.stop);
        const std::size_t firstLines = ReadActivity(folder.path()).size();
        if (c.switcherAway) sim.reset();  // its port closed: the engine's connects are refused

        const QDateTime back = stopAt.addSecs(c.awaySec);
        ASSERT_TRUE(engine.start(back));
        const auto settled = [&] {
            const QStringList texts = Texts(ReadActivity(folder.path()));
            if (c.switcherAway) return texts.contains(once + QStringLiteral(" not executed - Server not connected"));
            if (c.awaySec < 180) return texts.contains(sentLine(once));
            if (c.awaySec < 7 * 86400) return texts.contains(skip + kMissedSuffix);
            return !texts.filter(QStringLiteral(" Events not executed - Missed While Stopped")).isEmpty();
        };
        engine.waitUntilFaked(back.addSecs(c.switcherAway ? 20 : 5), settled);
        // Long enough for a second run of anything to show.
        engine.waitUntilFaked(engine.fakedNow().addMSecs(1000));
        // The next event is shown when it changes, not over and over while the start waits.
        EXPECT_LE(engine.out.filter(QRegularExpression(QStringLiteral("^next: "))).size(), 4)
            << engine.out.filter(QRegularExpression(QStringLiteral("^next: "))).size() << " next lines";
        EXPECT_TRUE(engine.terminate());

        const std::vector<ActivityLine> all = ReadActivity(folder.path());
        const std::vector<ActivityLine> first(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(firstLines, all.size())));
        // The first start ever decides nothing before its own second.
        EXPECT_FALSE(anyMentions(first, before) || anyMentions(first, ordinary) ||
                     anyMentions(first, once) || anyMentions(first, skip))
            << Texts(first).join('\n').toStdString();
        // Nor does a later start count it: it fell before anything was decided.
        EXPECT_FALSE(anyMentions(all, before)) << Texts(all).join('\n').toStdString();
        EXPECT_EQ(udp.count(before.toUtf8()), 0);
        EXPECT_EQ(udp.count(skip.toUtf8()), 0);
        EXPECT_EQ(count(all, sentLine(skip)), 0);
        EXPECT_EQ(countStarting(all, skip + QStringLiteral(" not executed - ")),
                  c.switcherAway || (c.awaySec >= 180 && c.awaySec < 7 * 86400) ? 1 : 0);

        if (c.switcherAway) {
            // The hold ends with the link still down: each is refused once for it.
            for (const QString& title : {ordinary, once, skip}) {
                EXPECT_EQ(udp.count(title.toUtf8()), 0) << title.toStdString();
                EXPECT_EQ(count(all, title + QStringLiteral(" not executed - Server not connected")), 1) << title.toStdString();
            }
        } else if (c.awaySec < 180) {
            // Late, once each, in their order.
            for (const QString& title : {ordinary, once}) {
                EXPECT_EQ(udp.count(title.toUtf8()), 1) << title.toStdString();
                EXPECT_EQ(count(all, sentLine(title)), 1) << title.toStdString();
                EXPECT_EQ(countStarting(all, title + QStringLiteral(" not executed - ")), 0) << title.toStdString();
            }
            // In their order (both runs start in the same turn of the loop, so the same millisecond
            // is allowed; the activity log keeps the order itself).
            EXPECT_LE(udp.arrival(ordinary.toUtf8()), udp.arrival(once.toUtf8()));
        } else {
            for (const QString& title : {ordinary, once}) {
                EXPECT_EQ(udp.count(title.toUtf8()), 0) << title.toStdString();
                EXPECT_EQ(count(all, sentLine(title)), 0) << title.toStdString();
                EXPECT_EQ(count(all, title + kMissedSuffix), c.awaySec < 7 * 86400 ? 1 : 0)
                    << title.toStdString();
            }
        }
        if (c.awaySec >= 7 * 86400) {
            // One line for them all: Before (the 23rd), Ordinary (16th, 23rd), One-time (16th),
            // Skip (16th, written off and re-armed; 23rd).
            EXPECT_EQ(count(all, QStringLiteral("6 Events not executed - Missed While Stopped")), 1)
                << Texts(all).join('\n').toStdString();
        }
        // The upkeep, whichever way they went.
        EXPECT_EQ(folder.query(QStringLiteral("SELECT COUNT(*) FROM Automation WHERE Number = 3")).toInt(), 0)
            << "the one-time row is still there";
        EXPECT_EQ(folder.query(QStringLiteral("SELECT Active FROM Automation WHERE Number = 4")).toInt(), 1)
            << "the skip row is not re-armed";
        EXPECT_EQ(folder.query(QStringLiteral("SELECT COUNT(*) FROM Automation WHERE Active = 1")).toInt(), 3);
        EXPECT_TRUE(Texts(all).filter(kNotRepeatedSuffix).isEmpty());
        expectToldOfTheStop(all, c.stop, firstStart, stopAt);
        EXPECT_EQ(all.back().text, QStringLiteral("Program Exit"));
    }
}

// A one-time row that takes 5 to 12 and then sends a TCP message: stopped in the second after
// the message's bytes reached the peer, while the engine waits its second after sending.
TEST(EngineRestart, AOneTimeRunCutOffIsNeverRepeatedAndItsRowIsGone) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    const QDateTime t = FakedMoment(QDate(2026, 12, 16), QTime(11, 0, 0));
    const QString title = QStringLiteral("Cue once");
    for (const Stop how : {Stop::Kill, Stop::Term}) {
        SCOPED_TRACE(how == Stop::Kill ? "kill -9" : "SIGTERM");
        Folder folder;
        SimProcess sim;
        ASSERT_NE(sim.port, 0);
        StreamListener tcp;
        ASSERT_TRUE(tcp.ok);
        Row row = TcpRow(1, t, title, 3, tcp.port());
        row["xcontrol"] = 1;
        row["SourceChan"] = 5;
        row["DestChan"] = 12;
        folder.createDatabase({row});
        ASSERT_TRUE(UseLoopbackOnly(folder, sim.port));

        FakedEngine engine(folder.path());
        ASSERT_TRUE(engine.start(t.addSecs(-4)));
        ASSERT_TRUE(engine.waitUntilConnected());
        ASSERT_LT(engine.fakedNow(), t.addMSecs(-500)) << "the engine took too long to start";
        engine.waitUntilFaked(t.addSecs(5), [&] { return tcp.count(title.toUtf8()) == 1; });
        ASSERT_EQ(tcp.count(title.toUtf8()), 1) << "the message never reached the peer";
        const qint64 arrived = tcp.connections.front().firstByteAt;
        const QDateTime stoppedAt = engine.fakedNow();
        stopEngine(engine, how);
        ASSERT_LT(SteadyMs() - arrived, 900) << "stopped too late to cut the run's wait short";
        const std::size_t firstLines = ReadActivity(folder.path()).size();

        ASSERT_TRUE(engine.start(stoppedAt.addSecs(5)));
        ASSERT_TRUE(engine.waitUntilConnected());
        engine.waitUntilFaked(engine.fakedNow().addMSecs(1500));  // a repeat would show by then
        EXPECT_TRUE(engine.terminate());

        const std::vector<ActivityLine> all = ReadActivity(folder.path());
        const std::vector<ActivityLine> first(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(firstLines, all.size())));
        EXPECT_EQ(sim.count(kTakeFrame), 1) << "the take went out again";
        EXPECT_EQ(tcp.connections.size(), 1u);
        EXPECT_EQ(count(all, kTakeLine), 1);
        EXPECT_EQ(countStarting(all, title + QStringLiteral(" not executed - ")), 0);
        EXPECT_EQ(folder.query(QStringLiteral("SELECT COUNT(*) FROM Automation")).toInt(), 0)
            << "the one-time row is still there";
        const QStringList firstTexts = Texts(first);
        if (how == Stop::Kill) {
            EXPECT_EQ(count(all, title + kNotRepeatedSuffix), 1) << Texts(all).join('\n').toStdString();
            EXPECT_EQ(count(first, title + kNotRepeatedSuffix), 0);
            EXPECT_LE(count(all, sentLine(title)), 1);
            expectToldOfTheStop(all, how, t.addSecs(-4), stoppedAt);
        } else {
            // The lines of what it had done, then "Program Exit", then nothing of the run.
            const qsizetype take = firstTexts.indexOf(kTakeLine);
            const qsizetype sent = firstTexts.indexOf(sentLine(title));
            EXPECT_GE(take, 0);
            EXPECT_GT(sent, take) << firstTexts.join('\n').toStdString();
            EXPECT_EQ(firstTexts.last(), QStringLiteral("Program Exit"));
            EXPECT_EQ(count(all, sentLine(title)), 1);
            EXPECT_EQ(count(all, title + kNotRepeatedSuffix), 0);
            expectToldOfTheStop(all, how, t.addSecs(-4), stoppedAt);
        }
        EXPECT_EQ(all.back().text, QStringLiteral("Program Exit"));
    }
}

// A row with Delay 20, decided at D; the engine killed at D + 5 and started again 10 s or
// 4 min later: the entry runs once at D + 20, or is missed once (more than 3 min late).
TEST(EngineRestart, ADelayedEntryKeptAcrossARestartRunsOnceAtItsDueSecondOrIsMissed) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    const QDateTime d = FakedMoment(QDate(2026, 12, 16), QTime(12, 0, 0));
    const QString title = QStringLiteral("Delayed");
    for (const qint64 awaySec : {10, 240}) {
        SCOPED_TRACE(awaySec == 10 ? "back 10 s later" : "back 4 min later");
        Folder folder;
        SimProcess sim;
        ASSERT_NE(sim.port, 0);
        DatagramListener udp;
        ASSERT_TRUE(udp.ok);
        folder.createDatabase({UdpRow(1, d, title, 1, udp.port(), 20)});
        ASSERT_TRUE(UseLoopbackOnly(folder, sim.port));

        FakedEngine engine(folder.path());
        ASSERT_TRUE(engine.start(d.addSecs(-3)));
        ASSERT_TRUE(engine.waitUntilConnected());
        ASSERT_LT(engine.fakedNow(), d.addMSecs(-500)) << "the engine took too long to start";
        ASSERT_TRUE(engine.waitUntilFaked(d.addSecs(5)));
        engine.kill();
        ASSERT_EQ(udp.count(title.toUtf8()), 0);
        ASSERT_TRUE(Texts(ReadActivity(folder.path())).filter(title).isEmpty()) << "decided as something else";

        const QDateTime back = d.addSecs(5 + awaySec);
        ASSERT_TRUE(engine.start(back));
        const QDateTime due = d.addSecs(20);
        if (awaySec == 10)
            engine.waitUntilFaked(due.addSecs(6), [&] { return udp.count(title.toUtf8()) > 0; });
        else
            engine.waitUntilFaked(back.addSecs(5), [&] {
                return Texts(ReadActivity(folder.path())).contains(title + kMissedSuffix);
            });
        engine.waitUntilFaked(engine.fakedNow().addMSecs(1000));
        const qint64 arrived = udp.arrival(title.toUtf8());
        const QDateTime arrivedFaked = arrived < 0 ? QDateTime() : engine.fakedAt(arrived);
        EXPECT_TRUE(engine.terminate());

        const std::vector<ActivityLine> all = ReadActivity(folder.path());
        if (awaySec == 10) {
            EXPECT_EQ(udp.count(title.toUtf8()), 1);
            EXPECT_EQ(count(all, sentLine(title)), 1);
            EXPECT_EQ(countStarting(all, title + QStringLiteral(" not executed - ")), 0);
            if (arrived >= 0) {
                // At its due second: the tick that finds it due comes within half a second.
                EXPECT_GE(due.msecsTo(arrivedFaked), -50) << "early";
                EXPECT_LE(due.msecsTo(arrivedFaked), 1500) << "late";
            }
        } else {
            EXPECT_EQ(udp.count(title.toUtf8()), 0);
            EXPECT_EQ(count(all, sentLine(title)), 0);
            EXPECT_EQ(count(all, title + kMissedSuffix), 1) << Texts(all).join('\n').toStdString();
            // Shown in the history too (the window's and the console's), at its due second.
            EXPECT_EQ(engine.out.filter(QRegularExpression(QStringLiteral("^history.*\\| %1 \\| %2 - Not Executed$")
                                                               .arg(due.toTimeZone(FakedZone()).toString(QStringLiteral("hh:mm:ss")), title)))
                          .size(),
                      1)
                << engine.out.join('\n').toStdString();
        }
        EXPECT_TRUE(Texts(all).filter(kNotRepeatedSuffix).isEmpty());
        EXPECT_EQ(folder.query(QStringLiteral("SELECT COUNT(*) FROM Automation")).toInt(), 1);
        expectToldOfTheStop(all, Stop::Kill, d.addSecs(-3), d.addSecs(5));
    }
}

}  // namespace
}  // namespace tarvo::test
