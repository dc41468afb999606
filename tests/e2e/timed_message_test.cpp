// A timed event with a UDP message and a source select, run by the timer tick from the database.
#include <gtest/gtest.h>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include "support/test_support.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::Harness;
using test::Row;
using test::TimedRow;
using test::WeekMoment;

TEST(TimedMessage, UdpMessageAndSourceSelectRunAtTheirTime) {
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    QList<QByteArray> datagrams;
    QObject::connect(&peer, &QUdpSocket::readyRead, [&] {
        while (peer.hasPendingDatagrams()) datagrams << peer.receiveDatagram().data();
    });

    Harness h(WeekMoment(0, 9, 59, 58));
    Row row = TimedRow(1, 0, QStringLiteral("10:00:00"), QStringLiteral("Top of hour"));
    row.insert(QStringLiteral("mcontrol"), 1);
    row.insert(QStringLiteral("mtype"), 4);
    row.insert(QStringLiteral("Message"), QStringLiteral("NEWS^M"));
    row.insert(QStringLiteral("MIPAddress"), QStringLiteral("127.0.0.1"));
    row.insert(QStringLiteral("MIPPort"), static_cast<int>(peer.localPort()));
    row.insert(QStringLiteral("sscontrol"), 1);
    row.insert(QStringLiteral("ssSource"), 10);
    row.insert(QStringLiteral("ssDeviceID"), 3);
    // The switcher half of this run belongs to the simulator; here a listener takes the frames and
    // the switcher is taken to have answered.
    test::Peer switcher;
    h.folder.createDatabase({row});
    h.folder.sql(
        QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(switcher.port()));
    h.startUp();
    h.tick();
    ASSERT_TRUE(test::waitUntil([&] { return h.e().switcher.master().Connected; }));
    h.e().switcher.master().Online = true;

    h.runUntil(WeekMoment(0, 10, 0, 2));

    const QDeadlineTimer deadline(5000);
    while (datagrams.isEmpty() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    EXPECT_EQ(datagrams, QList<QByteArray>{QByteArray("NEWS\r")});

    const QStringList lines = h.folder.activityLines();
    const qsizetype select =
        lines.indexOf(QStringLiteral("Sent Source Select: Device ID - 3, Source - 10"));
    const qsizetype sent =
        lines.indexOf(QStringLiteral("Message Sent to 127.0.0.1 Title:Top of hour"));
    EXPECT_GE(select, 0);
    EXPECT_GT(sent, select);
    EXPECT_EQ(h.view.historyTitles(), QStringList{QStringLiteral("Top of hour")});
}

}  // namespace
}  // namespace tarvo
