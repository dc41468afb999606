// A contact that flaps thousands of times, reported by the real switcher simulator to the real
// engine, on a row with a delay of ten minutes: every "on" queues a delayed run, until the queue
// holds its most; each one after that is refused with one line. All along the engine answers
// within two seconds, its memory stays bounded, and SIGTERM ends it at once with "Program Exit"
// last; the engine record holds exactly the queue.
#include <gtest/gtest.h>

#include <QDate>
#include <QElapsedTimer>

#include "e2e/engine_process.h"
#include "e2e/sim_process.h"
#include "scheduler/scheduler.h"
#include "store/engine_record.h"
#include "store/sqlite.h"
#include "support/test_support.h"
#include "switcher/codec.h"
#include "switcher/inbound.h"

namespace tarvo::test {
namespace {

// 15 changes of opto 5 to on, each followed by one to off: a frame of fewer than 32 changes is
// reported change by change.
QString flapFrameHex() {
    FrameBuilder b(0xF7);
    b.byte(kOptoStateKind).num14(30);
    for (int k = 0; k < 30; ++k) b.num14(4).byte(k % 2 == 0 ? 1 : 0);
    return QString::fromLatin1(b.finish().toHex());
}

TEST(FlappingContact, ADelayedRowQueuesToTheBoundThenRefusesAndTheEngineAnswersThroughout) {
    SimProcess sim({QStringLiteral("--no-pings")});
    ASSERT_NE(sim.port, 0);
    Folder folder;
    const Row flap{{"Number", 1},   {"Type", 1},          {"Opto", 5},       {"Title", "Flap"},
                   {"Active", 1},   {"Time", "24:00:00"}, {"Delay", 600},    {"Day", QDate::currentDate().dayOfWeek() - 1},
                   {"xcontrol", 1}, {"SourceChan", 5},    {"DestChan", 12}};
    folder.createDatabase({flap});
    folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sim.port));
    EngineProcess engine(folder.path());
    ASSERT_TRUE(waitUntil([&] { return engine.has("caption: Tarvo Automation - Switcher Connected"); }));
    ASSERT_TRUE(sim.waitForLine(QStringLiteral("RX F2")));
    const long long memoryAtRest = engine.memoryKb();

    constexpr int kOnsPerFrame = 15;
    constexpr int kFramesPerLine = 40;
    constexpr int kOns = static_cast<int>(kMaxDelayedEvents) + 3000;
    const QString line = QStringLiteral("send ") + flapFrameHex().repeated(kFramesPerLine);
    const QString refused = QStringLiteral("Flap not executed - Delay Queue Full");
    int longestAnswerMs = 0;
    const auto answers = [&] {
        QElapsedTimer t;
        t.start();
        const bool answered = !engine.status(2000).isEmpty();
        longestAnswerMs = std::max(longestAnswerMs, static_cast<int>(t.elapsed()));
        return answered;
    };
    for (int ons = 0; ons < kOns; ons += kOnsPerFrame * kFramesPerLine) {
        sim.command(line);
        ASSERT_TRUE(answers()) << "no answer within 2 s after " << ons << " changes to on";
    }
    // Every change taken: the queue full, the rest refused. The engine answers meanwhile.
    const int sentOns = (kOns + kOnsPerFrame * kFramesPerLine - 1) / (kOnsPerFrame * kFramesPerLine) *
                        kOnsPerFrame * kFramesPerLine;
    qsizetype refusals = 0;
    QElapsedTimer patience;
    patience.start();
    while (refusals < sentOns - static_cast<qsizetype>(kMaxDelayedEvents) && patience.elapsed() < 240000) {
        ASSERT_TRUE(answers()) << "no answer within 2 s with " << refusals << " refused";
        waitUntil([] { return false; }, 500);
        refusals = folder.activityLines().count(refused);
    }
    EXPECT_EQ(refusals, sentOns - static_cast<qsizetype>(kMaxDelayedEvents));
    const long long grown = engine.memoryKb() - memoryAtRest;
    if (test::kResidentMemoryMeasurable) {
        EXPECT_LT(grown, 64 * 1024) << "kB more with the queue full";
    }
    std::printf("flapping contact: %d changes to on, %lld refused, %lld kB more, longest answer %d ms\n",
                sentOns, static_cast<long long>(refusals), grown, longestAnswerMs);

    QElapsedTimer exitTime;
    exitTime.start();
    engine.proc.terminate();
    ASSERT_TRUE(engine.proc.waitForFinished(5000));
    EXPECT_LT(exitTime.elapsed(), 2000);
    EXPECT_EQ(engine.proc.exitCode(), 0);
    EXPECT_EQ(folder.activityLines().value(folder.activityLines().size() - 1), QStringLiteral("Program Exit"));
    // What the queue held is what the record holds, for the next start to take up.
    Database record(folder.file(kEngineRecordFileName));
    Statement count(record, QStringLiteral("SELECT COUNT(*) FROM delayed"));
    ASSERT_TRUE(count.next());
    EXPECT_EQ(ToInteger(count.value(0), 0, INT64_MAX), static_cast<int64_t>(kMaxDelayedEvents));
}

}  // namespace
}  // namespace tarvo::test
