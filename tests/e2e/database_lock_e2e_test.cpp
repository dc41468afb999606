// The real tarvo-engined beside an editing tool that holds the whole database (BEGIN EXCLUSIVE)
// for a long while, in real time against the switcher simulator: the loop goes on turning (the
// keep-alives to the switcher and to the service manager keep their pace), a timed event is
// decided at its second, and what the lock held off is done once it is gone.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>

#include "e2e_fixture.h"
#include "store/sqlite.h"
#include "support/notify_socket.h"

namespace tarvo::test {
namespace {

struct Note {
    qint64 at;  // ms since the case began
    QString text;
};

// The largest gap between the moments in `ms`, in order.
qint64 largestGap(const std::vector<qint64>& ms) {
    qint64 gap = 0;
    for (std::size_t i = 1; i < ms.size(); ++i) gap = std::max(gap, ms[i] - ms[i - 1]);
    return gap;
}

// A simulator line "hh:mm:ss.zzz ..." as ms of the day.
qint64 stampOf(const QString& line) {
    return QTime::fromString(line.left(12), QStringLiteral("hh:mm:ss.zzz")).msecsSinceStartOfDay();
}

int linesContaining(const QStringList& lines, const QString& text) {
    return static_cast<int>(lines.filter(text).size());
}

TEST(DatabaseLockEndToEnd, TheLoopNeverWaitsForAnEditingToolThatHoldsTheFile) {
    struct Case {
        const char* name;
        bool lockedAtStart;  // the lock is taken before the engine starts
        int lockMs;
    };
    const Case cases[] = {
        {"across a one-time event", false, 30000},
        {"from before the start", true, 15000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QDateTime now = QDateTime::currentDateTime();
        if (now.time() > QTime(23, 50, 0)) GTEST_SKIP() << "too close to midnight for a timed event today";
        // The one-time take: a few seconds after the lock is taken (the engine is up by then), or
        // when the engine started under the lock, well after the case.
        const QTime at = now.time().addSecs(c.lockedAtStart ? 300 : 12);
        const QTime eventTime(at.hour(), at.minute(), at.second());
        const int day = now.date().dayOfWeek() - 1;

        SimProcess sim;
        ASSERT_NE(sim.port, 0);
        Folder folder;
        Row once = TimedRow(1, day, eventTime.toString(QStringLiteral("hh:mm:ss")), QStringLiteral("once"), 3);
        once["xcontrol"] = 1;
        once["SourceChan"] = 5;
        once["DestChan"] = 12;
        folder.createDatabase({once, TimedRow(2, day, QStringLiteral("23:59:59"), QStringLiteral("later"))});
        folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sim.port));
        const QString db = folder.file(kDatabaseFileName);

        QElapsedTimer clock;
        clock.start();
        NotifySocket manager(false);
        std::vector<Note> notes;
        auto collect = [&] {
            for (const QString& d : manager.take()) notes.push_back({clock.elapsed(), d});
        };
        auto waitFor = [&](const std::function<bool()>& condition, int ms) {
            return waitUntil([&] {
                collect();
                return condition();
            }, ms);
        };
        auto statusSeen = [&](const std::function<bool(const QString&)>& holds) {
            for (const Note& n : notes)
                if (n.text.contains(QLatin1String("STATUS=")) && holds(n.text)) return true;
            return false;
        };

        std::unique_ptr<Database> editor;
        qint64 lockedAt = 0;
        QTime lockedWall;
        auto lock = [&] {
            editor = std::make_unique<Database>(db);
            editor->exec(QStringLiteral("BEGIN EXCLUSIVE"));
            lockedAt = clock.elapsed();
            lockedWall = QTime::currentTime();
        };
        if (c.lockedAtStart) lock();

        QProcess engine;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), manager.path());
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("2000000"));  // every 500 ms
        engine.setProcessEnvironment(env);
        engine.start(QStringLiteral(TARVO_BINARY_DIR "/bin/tarvo-engined"), {folder.path()});
        ASSERT_TRUE(engine.waitForStarted(10000));
        ASSERT_TRUE(waitFor([&] { return statusSeen([](const QString&) { return true; }); }, 15000));
        if (c.lockedAtStart) {
            EXPECT_TRUE(statusSeen([](const QString& s) {
                return s.contains(QLatin1String("database locked")) && s.contains(QLatin1String("no events"));
            })) << notes.front().text.toStdString();
        } else {
            // Up and pinging before the tool takes the file.
            ASSERT_TRUE(waitFor([&] { return sim.count(QStringLiteral("RX F5")) >= 2; }, 15000));
            lock();
            ASSERT_GT(lockedWall.msecsTo(eventTime), 2000) << "the engine took too long to start";
        }

        // The tool holds the file.
        waitFor([] { return false; }, static_cast<int>(lockedAt + c.lockMs - clock.elapsed()));
        if (!c.lockedAtStart) {
            // The delete after the take waited for the lock.
            Statement count(*editor, QStringLiteral("SELECT COUNT(*) FROM Automation WHERE Number = 1"));
            ASSERT_TRUE(count.next());
            EXPECT_EQ(ToInteger(count.value(0), 0, 10), 1);
        }
        EXPECT_TRUE(statusSeen([](const QString& s) { return s.contains(QLatin1String("database locked")); }));
        if (c.lockedAtStart) {
            EXPECT_EQ(sim.count(QStringLiteral(" CONNECT ")), 0);  // no address yet
        }
        const QTime releasedWall = QTime::currentTime();
        editor->exec(QStringLiteral("ROLLBACK"));
        editor.reset();
        const qint64 releasedAt = clock.elapsed();

        if (c.lockedAtStart) {
            // The load is tried again at every check: loaded, and the link up, soon after.
            const bool up = waitFor([&] {
                return statusSeen([](const QString& s) {
                    return s.contains(QLatin1String("Switcher online")) && s.contains(QLatin1String("; next "));
                });
            }, 10000);
            EXPECT_TRUE(up);
            if (up) {
                for (const Note& n : notes) {
                    if (!n.text.contains(QLatin1String("Switcher online"))) continue;
                    EXPECT_LE(n.at - releasedAt, 10000);
                    break;
                }
            }
            EXPECT_EQ(sim.count(QStringLiteral(" CONNECT ")), 1);
        } else {
            // The delete is written once the lock is gone.
            EXPECT_TRUE(waitUntil(
                [&] { return folder.query(QStringLiteral("SELECT COUNT(*) FROM Automation WHERE Number = 1")).toInt() == 0; },
                10000));
        }
        waitFor([&] {
            return !notes.empty() && notes.back().text.contains(QLatin1String("STATUS=")) &&
                   !notes.back().text.contains(QLatin1String("locked"));
        }, 5000);
        waitFor([] { return false; }, 1000);

        engine.terminate();
        ASSERT_TRUE(engine.waitForFinished(10000));
        EXPECT_EQ(engine.exitCode(), 0);
        const QString out = QString::fromUtf8(engine.readAllStandardOutput());

        // The keep-alives to the service manager kept their pace while the file was held.
        std::vector<qint64> keptAlive;
        for (const Note& n : notes)
            if (n.text.contains(QLatin1String("WATCHDOG=1")) && n.at >= lockedAt && n.at <= releasedAt + 2000)
                keptAlive.push_back(n.at);
        EXPECT_GE(keptAlive.size(), static_cast<std::size_t>(c.lockMs / 1000));
        EXPECT_LE(largestGap(keptAlive), 2000);

        if (!c.lockedAtStart) {
            // So did the pings to the switcher.
            std::vector<qint64> pings;
            for (const QString& l : sim.lines) {
                if (!l.endsWith(QLatin1String(" RX F5"))) continue;
                const qint64 at = stampOf(l);
                if (at >= lockedWall.msecsSinceStartOfDay() && at <= releasedWall.msecsSinceStartOfDay()) pings.push_back(at);
            }
            EXPECT_GE(pings.size(), static_cast<std::size_t>(c.lockMs / 1000));
            EXPECT_LE(largestGap(pings), 2000);
            // The take went out at its second, and the event was decided then.
            const QStringList takes = sim.lines.filter(kTakeFrame);
            ASSERT_EQ(takes.size(), 1) << sim.lines.join('\n').toStdString();
            const qint64 late = stampOf(takes[0]) - eventTime.msecsSinceStartOfDay();
            EXPECT_GE(late, 0);
            EXPECT_LT(late, 1000);
            EXPECT_TRUE(out.contains(QStringLiteral(" | ") + eventTime.toString(QStringLiteral("hh:mm:ss")) +
                                     QStringLiteral(" | once\n")))
                << out.toStdString();
        }

        // One line when the lock was first met, one when it ended.
        const QStringList errors = folder.errorLines();
        EXPECT_EQ(linesContaining(errors, QStringLiteral("database is locked")), 1) << errors.join('\n').toStdString();
        EXPECT_EQ(linesContaining(errors, QStringLiteral("Database no longer locked")), 1)
            << errors.join('\n').toStdString();
    }
}

}  // namespace
}  // namespace tarvo::test
