// A timed system change against the switcher simulator: the names of an input-alphas file
// arrive as one frame, sorted, with the flagged name marked and last.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "sim_process.h"
#include "support/test_support.h"
#include "uploads/file_bytes.h"

namespace tarvo {
namespace {

using test::FileBytes;
using test::Row;
using test::SimProcess;
using test::waitUntil;

TEST(SystemChangeEndToEnd, TimedInputAlphasUploadReachesTheSwitcher) {
    test::Harness h(test::WeekMoment(0, 8, 59, 58));
    SimProcess sim;
    ASSERT_NE(sim.port, 0);

    // Layout 2: names, an attribute byte each, the flag bytes, 256-byte descriptions.
    FileBytes file;
    file.words({200, 4, 0, 3}).text("Mic2", 4).text("mic1", 4).text("Tape", 4);
    file.fill(3).byte(0).byte(0).byte(1).fill(3 * 256);
    test::WriteFile(h.folder.file("inputs.alp"), file.data);

    Row r = test::TimedRow(1, 0, QStringLiteral("09:00:00"), QStringLiteral("Load names"));
    r["FileType"] = 1;
    r["FileName"] = QStringLiteral("inputs.alp");
    h.folder.createDatabase({r});
    h.folder.sql(
        QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sim.port));
    h.startUp();
    ASSERT_TRUE(waitUntil([&] { return h.e().switcher.master().Connected && h.e().switcher.master().MapReceived; }));

    while (h.clock.now() < test::WeekMoment(0, 9, 0, 1)) {
        h.tick();
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(sim.waitForLine(QStringLiteral(
        "RX FC 0A 04 03 00 00 00 6D 69 63 31 01 00 4D 69 63 32 00 00 7B 61 70 65 02 00 7A FF")));
    EXPECT_TRUE(h.folder.activityLines().contains(QStringLiteral("Input Alphas Changed")));
    EXPECT_EQ(h.view.historyTitles(), QStringList{QStringLiteral("Load names")});
}

}  // namespace
}  // namespace tarvo
