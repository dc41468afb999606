// Files named by an operator are opened without blocking and checked once open: a FIFO or a
// device where a file was expected is refused at once, even one put in its place between a look
// at the path and the open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>
#include <QFile>

#include "logs/failure.h"
#include "logs/logs.h"
#include "store/automation_event.h"
#include "store/plain_file.h"
#include "support/test_support.h"
#include "uploads/system_change.h"
#include "uploads/uploads.h"

namespace tarvo::test {
namespace {

void writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

TEST(PlainFile, OnlyARegularFileIsReadAndNoMoreThanAsked) {
    Folder folder;
    writeFile(folder.file("lists.dat"), QByteArray("\xE8\x03rest", 6));
    ASSERT_EQ(::mkfifo(folder.file("pipe").toLocal8Bit().constData(), 0600), 0);
    const struct {
        QString path;
        qint64 limit;
        PlainFile::Status status;
        QByteArray bytes;
    } cases[] = {
        {folder.file("lists.dat"), 1 << 20, PlainFile::Read, QByteArray("\xE8\x03rest", 6)},
        {folder.file("lists.dat"), 2, PlainFile::Read, QByteArray("\xE8\x03", 2)},
        {folder.file("lists.dat"), 0, PlainFile::Read, QByteArray()},
        // Opened and refused without waiting for a writer.
        {folder.file("pipe"), 1 << 20, PlainFile::NotPlain, QByteArray()},
        {folder.path(), 1 << 20, PlainFile::NotPlain, QByteArray()},
        // A device never ends: it is not read at all.
        {QStringLiteral("/dev/zero"), 1 << 20, PlainFile::NotPlain, QByteArray()},
        {folder.file("missing"), 1 << 20, PlainFile::Missing, QByteArray()},
        // A file of the system says it is empty and is not: it is no file to send or load.
        {QStringLiteral("/proc/self/status"), 1 << 20, PlainFile::NotPlain, QByteArray()},
        {folder.file("empty"), 1 << 20, PlainFile::Read, QByteArray()},
        // Larger than the caller takes: refused by its size, before a byte is read.
        {folder.file("huge.cfg"), 2, PlainFile::TooLarge, QByteArray()},
    };
    writeFile(folder.file("empty"), QByteArray());
    QFile huge(folder.file("huge.cfg"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(3LL << 30));  // sparse
    huge.close();
    for (const auto& c : cases) {
        const PlainFile f = ReadPlainFile(c.path, c.limit, 1 << 20);
        EXPECT_EQ(f.status, c.status) << c.path.toStdString();
        EXPECT_EQ(f.bytes, c.bytes) << c.path.toStdString();
    }
    EXPECT_THROW(ReadConfigFile(folder.path(), "pipe"), TarvoError);
    EXPECT_EQ(ReadConfigFile(folder.path(), "lists.dat", 2), QByteArray("\xE8\x03", 2));

    // A configuration file of 3 GB: the upload's check and --check refuse it unread, by its size.
    AutomationEvent ev;
    ev.FileName = QStringLiteral("huge.cfg");
    ev.FileType = 8;
    const QString refusal = QStringLiteral("File of 3221225472 bytes refused: larger than the 8388608 bytes a configuration file may have");
    EXPECT_EQ(ConfigFileProblem(folder.path(), ev).value_or(QString()), QStringLiteral("huge.cfg: ") + refusal);
    ManualClock clock(WeekMoment(0, 9, 0));
    Logs logs(clock, folder.path());
    EXPECT_FALSE(CheckConfigFile(logs, folder.path(), ev));
    EXPECT_TRUE(folder.errorLines().value(0).endsWith(refusal)) << folder.errorLines().value(0).toStdString();
}

// A FIFO swapped in for the file again and again while the engine's reads go on: with a look at
// the path and then an open by path, one of the opens sooner or later lands on the FIFO and waits
// for a writer that never comes. A watchdog plays that writer, so such a test ends and says so.
TEST(PlainFile, AFifoSwappedInBetweenLookAndOpenNeverHoldsTheLoop) {
    Folder folder;
    const QString path = folder.file("lists.dat");
    const QByteArray content("\xE8\x03\x00\x00", 4);
    writeFile(path, content);
    constexpr int kFifos = 8;
    QByteArray fifos[kFifos];
    for (int k = 0; k < kFifos; ++k) {
        fifos[k] = folder.file(QStringLiteral("fifo%1").arg(k)).toLocal8Bit();
        ASSERT_EQ(::mkfifo(fifos[k].constData(), 0600), 0);
    }
    const QByteArray target = path.toLocal8Bit();
    const QByteArray plainTmp = folder.file("plain.tmp").toLocal8Bit();
    const QByteArray fifoTmp = folder.file("fifo.tmp").toLocal8Bit();

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (int k = 0; !stop; ++k) {
            const int fd = ::open(plainTmp.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                (void)!::write(fd, content.constData(), static_cast<size_t>(content.size()));
                ::close(fd);
                std::rename(plainTmp.constData(), target.constData());
            }
            // The FIFO keeps a name of its own, so the watchdog can still reach it once it has
            // been replaced at the path.
            if (::link(fifos[k % kFifos].constData(), fifoTmp.constData()) == 0)
                std::rename(fifoTmp.constData(), target.constData());
        }
    });
    using Clock = std::chrono::steady_clock;
    std::atomic<Clock::rep> lastProgress{Clock::now().time_since_epoch().count()};
    std::atomic<int> releases{0};
    std::thread watchdog([&] {
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const auto since =
                Clock::now() - Clock::time_point(Clock::duration(lastProgress.load()));
            if (since < std::chrono::milliseconds(500)) continue;
            for (const QByteArray& fifo : fifos) {
                // Succeeds only when a reader holds the FIFO open: the engine waiting in open().
                const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    ++releases;
                    ::close(fd);
                }
            }
        }
    });

    ManualClock clock(WeekMoment(0, 9, 0));
    Logs logs(clock, folder.path());
    AutomationEvent ev;
    ev.FileName = QStringLiteral("lists.dat");
    ev.FileType = 8;  // input display lists: type word 1000
    const auto end = Clock::now() + std::chrono::seconds(2);
    int reads = 0;
    int whole = 0;
    for (; reads < 3000 && Clock::now() < end; ++reads) {
        try {
            if (ReadConfigFile(folder.path(), ev.FileName) == content) ++whole;
        } catch (const TarvoError&) {
        }
        CheckConfigFile(logs, folder.path(), ev);
        lastProgress = Clock::now().time_since_epoch().count();
    }
    stop = true;
    swapper.join();
    watchdog.join();
    EXPECT_EQ(releases.load(), 0) << "a read waited on the FIFO";
    EXPECT_GT(whole, 0) << reads << " reads";
}

}  // namespace
}  // namespace tarvo::test
