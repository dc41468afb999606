// tarvo-switcher-sim: plays the switcher for the engine on a TCP port. Its options and control
// lines are listed by --help, from the table in apps/common/programs.cpp.
//
// Every unit received from the engine is printed as a line "hh:mm:ss.zzz RX <hex>", and every
// unit sent as "TX <hex>". "absent" makes the server report its switcher missing (0xF1, also as
// the answer to pings) until "present".
#include <unistd.h>
#include <cstdio>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include "programs.h"
#include "sim_switcher.h"

namespace {

bool readNumber(const tarvo::cli::Arguments& p, const QString& name, int low, int high, int& out) {
    if (!p.isSet(name)) return true;
    bool ok = false;
    const int v = p.value(name).toInt(&ok);
    if (!ok || v < low || v > high) {
        std::fprintf(stderr, "tarvo-switcher-sim: --%s must be %d to %d\n", qPrintable(name), low,
                     high);
        return false;
    }
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    tarvo::cli::Arguments parser;
    int exitCode = 0;
    if (!tarvo::cli::ParseOrLeave(tarvo::cli::SimulatorProgram(), argc, argv, parser, exitCode)) return exitCode;
    QCoreApplication app(argc, argv);

    tarvo::sim::SimSwitcher::Options o;
    int port = 1250;
    if (!readNumber(parser, QStringLiteral("port"), 0, 65535, port) ||
        !readNumber(parser, QStringLiteral("outputs"), 1, 16384, o.outputs) ||
        !readNumber(parser, QStringLiteral("sources"), 1, 16384, o.sources) ||
        !readNumber(parser, QStringLiteral("optos"), 1, 16384, o.optos) ||
        !readNumber(parser, QStringLiteral("relays"), 1, 16384, o.relays) ||
        !readNumber(parser, QStringLiteral("chaos-pace"), 1, 3600000, o.chaos.paceMs) ||
        !readNumber(parser, QStringLiteral("chaos-silence-max"), 1000, 3600000,
                    o.chaos.silenceMaxMs) ||
        !readNumber(parser, QStringLiteral("chaos-slow-read-max"), 1000, 3600000,
                    o.chaos.slowReadMaxMs) ||
        !readNumber(parser, QStringLiteral("chaos-flood"), 0, 10000000, o.chaos.floodUnits))
        return 2;
    if (parser.isSet(QStringLiteral("chaos"))) {
        bool ok = false;
        o.chaos.seed = parser.value(QStringLiteral("chaos")).toUInt(&ok);
        if (!ok) {
            std::fprintf(stderr, "tarvo-switcher-sim: --chaos needs a number\n");
            return 2;
        }
        o.chaosAtStart = true;
    }
    o.port = static_cast<quint16>(port);
    if (parser.isSet(QStringLiteral("listen")) &&
        !o.listen.setAddress(parser.value(QStringLiteral("listen")))) {
        std::fprintf(stderr, "tarvo-switcher-sim: --listen needs an IP address\n");
        return 2;
    }
    o.printPings = !parser.isSet(QStringLiteral("no-pings"));
    o.quiet = parser.isSet(QStringLiteral("quiet"));
    if (!readNumber(parser, QStringLiteral("map-pieces"), 1, 16384, o.mapPieces)) return 2;
    if (parser.isSet(QStringLiteral("take-reports"))) {
        const QString how = parser.value(QStringLiteral("take-reports"));
        using Reports = tarvo::sim::SimSwitcher::Options::TakeReports;
        if (how == QLatin1String("plain"))
            o.takeReports = Reports::Plain;
        else if (how == QLatin1String("as-sent"))
            o.takeReports = Reports::AsSent;
        else if (how == QLatin1String("none"))
            o.takeReports = Reports::None;
        else {
            std::fprintf(stderr, "tarvo-switcher-sim: --take-reports is plain, as-sent or none\n");
            return 2;
        }
    }

    tarvo::sim::SimSwitcher sim(o, stdout);
    QObject::connect(&sim, &tarvo::sim::SimSwitcher::quitRequested, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "tarvo-switcher-sim: cannot listen: %s\n", qPrintable(error));
        return 1;
    }

    auto answer = [](const QString& reply) {
        if (reply.isEmpty()) return;
        std::fprintf(stdout, "%s\n", qPrintable(reply));
        std::fflush(stdout);
    };

    // Control lines on standard input. At its end the simulator carries on: it may run in the
    // background of a script with nothing to read.
    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(chunk, static_cast<qsizetype>(n));
        qsizetype eol;
        while ((eol = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(eol)).trimmed();
            pending.remove(0, eol + 1);
            answer(sim.control(line));
        }
    });

    // The optional control port, on the loopback interface only.
    QTcpServer controlServer;
    if (parser.isSet(QStringLiteral("control-port"))) {
        int cport = 0;
        if (!readNumber(parser, QStringLiteral("control-port"), 0, 65535, cport)) return 2;
        if (!controlServer.listen(QHostAddress::LocalHost, static_cast<quint16>(cport))) {
            std::fprintf(stderr, "tarvo-switcher-sim: cannot listen for control: %s\n",
                         qPrintable(controlServer.errorString()));
            return 1;
        }
        std::fprintf(stdout, "CONTROL 127.0.0.1 %d\n", controlServer.serverPort());
        std::fflush(stdout);
        QObject::connect(&controlServer, &QTcpServer::newConnection, &app, [&] {
            while (QTcpSocket* c = controlServer.nextPendingConnection()) {
                QObject::connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
                QObject::connect(c, &QTcpSocket::readyRead, c, [c, &sim] {
                    while (c->canReadLine()) {
                        const QString reply =
                            sim.control(QString::fromUtf8(c->readLine()).trimmed());
                        if (!reply.isEmpty()) c->write((reply + QLatin1Char('\n')).toUtf8());
                    }
                });
            }
        });
    }

    return app.exec();
}
