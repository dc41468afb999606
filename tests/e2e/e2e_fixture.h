// The engine on the manual clock against the switcher simulator over loopback.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "engine/main_loop.h"
#include "sim_process.h"
#include "support/test_support.h"

namespace tarvo {

using test::Row;
using test::SimProcess;
using test::waitUntil;

inline const QString kTakeFrame = QStringLiteral("RX FE 04 08 04 00 0B 00 1B FF");
inline const QString kInfoRequest = QStringLiteral("RX F2 00 01 0C 00 00 00 00 00 00 00 0D FF");

inline Row takeAtNine() {
    Row r = test::TimedRow(1, 0, QStringLiteral("09:00:00"), QStringLiteral("Morning take"));
    r["xcontrol"] = 1;
    r["SourceChan"] = 5;
    r["DestChan"] = 12;
    return r;
}

class EndToEnd : public ::testing::Test {
  protected:
    EndToEnd() : h(test::WeekMoment(0, 8, 59, 50)) {}
    Engine& e() { return h.e(); }

    void startEngine(const std::vector<Row>& rows, quint16 port, quint16 slavePort = 0) {
        h.folder.createDatabase(rows);
        h.folder.sql(
            QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(port));
        if (slavePort != 0)
            h.folder.sql(
                QStringLiteral("UPDATE Server SET SlaveIPAddr = '127.0.0.1', SlaveIPPort = '%1'")
                    .arg(slavePort));
        h.startUp();
    }
    bool masterReady() {
        return waitUntil(
            [&] { return e().switcher.master().Connected && e().switcher.master().Online && e().switcher.master().MapReceived; });
    }
    // Ticks with the loop turning in between, as the running program does.
    void liveTicks(int n) {
        for (int k = 0; k < n; ++k) {
            h.tick();
            QCoreApplication::processEvents();
        }
    }
    void ticksUntil(const QDateTime& t) {
        while (h.clock.now() < t) liveTicks(1);
    }

    test::Harness h;
};

// How the simulator meets a new connection: with its greeting (0xF4 at once), or in silence
// until it is spoken to, as the protocol allows. The link's tests run against both.
enum class SimGreeting { Greets, Quiet };
inline const auto kBothGreetings = ::testing::Values(SimGreeting::Greets, SimGreeting::Quiet);
inline std::string GreetingName(const ::testing::TestParamInfo<SimGreeting>& info) {
    return info.param == SimGreeting::Quiet ? "Quiet" : "Greets";
}

class LinkEndToEnd : public EndToEnd, public ::testing::WithParamInterface<SimGreeting> {
  protected:
    // The simulator's arguments for this run's greeting.
    QStringList simArgs(QStringList args = {}) const {
        if (GetParam() == SimGreeting::Quiet) args << QStringLiteral("--quiet");
        return args;
    }
};

}  // namespace tarvo
