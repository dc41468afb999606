// The real tarvo-engined across both changes of daylight saving in Europe/Helsinki, under a
// faked wall clock (libfaketime, sped up) while its tick counter stays real: each event runs once,
// the skipped hour right after the change, the repeated hour at its first pass only.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>

#include "support/test_support.h"
#include "switcher/loop_wait.h"

namespace tarvo::test {
namespace {

const QString kFakeTime = QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");

struct Case {
    const char* name;
    // Two real seconds or more before the first event: a sanitizer build on a busy machine takes
    // that long to start, and the engine decides nothing due before its start.
    QDateTime startUtc;
    int speed;        // wall seconds per real second
    int realSeconds;  // how long the engine runs
    QStringList rows;        // Sunday's events, as "hh:mm:ss title"
    QStringList decided;     // the titles in the order they must be decided, each once
};

QStringList historyTitles(const QString& out) {
    QStringList titles;
    for (const QString& line : out.split('\n'))
        if (line.startsWith(QLatin1String("history"))) titles << line.section(QStringLiteral(" | "), 2);
    return titles;
}

TEST(DaylightSavingEndToEnd, EachEventRunsOnceAcrossBothChanges) {
    if (!QFileInfo::exists(kFakeTime)) GTEST_SKIP() << "libfaketime is not installed";
    const Case cases[] = {
        {"spring forward", QDateTime(QDate(2027, 3, 28), QTime(0, 58, 0), Qt::UTC), 60, 8,
         {"02:59:58 Before", "03:00:00 Skipped on the hour", "03:30:00 Skipped half", "04:00:00 First after",
          "04:02:00 Later"},
         {"Before", "Skipped on the hour", "Skipped half", "First after", "Later"}},
        {"fall back", QDateTime(QDate(2027, 10, 31), QTime(0, 53, 0), Qt::UTC), 180, 30,
         {"03:59:00 First pass", "03:59:30 Also first", "04:05:00 After"},
         {"First pass", "Also first", "After"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Folder folder;
        std::vector<Row> rows;
        int n = 1;
        for (const QString& r : c.rows) rows.push_back(TimedRow(n++, 6, r.section(' ', 0, 0), r.section(' ', 1)));
        folder.createDatabase(rows);

        QProcess engine;
        engine.setProgram(QStringLiteral(TARVO_BINARY_DIR "/bin/tarvo-engined"));
        engine.setArguments({folder.path()});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TZ", "Europe/Helsinki");
        const qint64 offset = QDateTime::currentDateTimeUtc().secsTo(c.startUtc);
        env.insert("FAKETIME", QStringLiteral("+%1s x%2").arg(offset).arg(c.speed));
        env.insert("FAKETIME_DONT_FAKE_MONOTONIC", "1");
        env.insert("LD_PRELOAD", kFakeTime);
        // A sanitizer build wants its runtime first among the libraries; the preload comes first
        // here on purpose.
        const QString asan = env.value("ASAN_OPTIONS");
        env.insert("ASAN_OPTIONS", (asan.isEmpty() ? QString() : asan + ':') + "verify_asan_link_order=0");
        engine.setProcessEnvironment(env);
        engine.start();
        ASSERT_TRUE(engine.waitForStarted(10000));
        waitUntil([] { return false; }, c.realSeconds * 1000);
        engine.terminate();
        ASSERT_TRUE(engine.waitForFinished(10000));
        EXPECT_EQ(engine.exitCode(), 0);
        const QString out = QString::fromUtf8(engine.readAllStandardOutput());
        QStringList decided = historyTitles(out);
        for (QString& t : decided) t.remove(QStringLiteral(" - Not Executed"));
        EXPECT_EQ(decided, c.decided) << out.toStdString();
        EXPECT_EQ(folder.activityLines().last(), "Program Exit");
        EXPECT_FALSE(folder.activityLines().join('\n').contains("Missed"));
        EXPECT_FALSE(folder.activityLines().join('\n').contains("Clock set"));
    }
}

}  // namespace
}  // namespace tarvo::test
