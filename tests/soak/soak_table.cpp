#include "soak_table.h"

#include <set>

#include "scheduler/time_arith.h"
#include "switcher/codec.h"

namespace tarvo::soak {

namespace {

using test::Row;

// The inputs and outputs the chaos changes one at a time carry the triggered rows. The actions
// of triggered rows work on numbers outside that range, so that no event triggers another in
// an endless round.
constexpr int kTriggerRange = 8;
constexpr int kEditorNumber = 30000;

QString timeText(const QDateTime& t) {
    return t.time().toString(QStringLiteral("hh:mm:ss"));
}

QByteArray takeFrame(int source, int dest) {
    return FrameBuilder(0xFE).num14(4 + 0x400).num14(source - 1).num14(dest - 1).finish();
}

Row triggered(int number, int day, int type, const QString& title) {
    Row r = test::TimedRow(number, day, QStringLiteral("24:00:00"), title);
    r["Type"] = type;
    return r;
}

// The output whose two rows trigger each other: one takes the source off when it comes, the
// other puts it back when it has gone. Each round starts runs that wait on a message, so the
// round goes on until the engine refuses one for too many runs.
constexpr int kRingOutput = 9;
constexpr int kRingSource = 5;

Row message(Row r, int transport, int kind, const QString& text, quint16 port) {
    r["mcontrol"] = kind;
    r["mtype"] = transport;
    r["Message"] = text;
    r["MIPAddress"] = "127.0.0.1";
    r["MIPPort"] = port;
    return r;
}

// A triggered row on input (or relay) `n`.
Row on(int number, int day, int type, int n, const char* title) {
    Row r = triggered(number, day, type, QLatin1String(title));
    r["Opto"] = n;
    return r;
}

void addWaitingRows(std::vector<Row>& rows, int day, int& number, const SoakTargets& t) {
    rows.push_back(message(on(++number, day, 1, 2, "Opto 2 on tcp"), 1, 1, "soak", t.readingPort));
    rows.push_back(message(on(++number, day, 2, 3, "Opto 3 off deaf"), 1, 1, "never read", t.deafPort));
    rows.push_back(message(on(++number, day, 1, 4, "Opto 4 on refused"), 1, 1, "x", t.refusingPort));
    Row later = message(on(++number, day, 2, 5, "Opto 5 off tcp later"), 1, 1, "later", t.readingPort);
    later["Delay"] = 2;
    later["Condition"] = 6;  // opto 5 off, as it is when this runs
    later["ReqOpto"] = 5;
    rows.push_back(later);
    rows.push_back(message(on(++number, day, 4, 5, "Relay 5 on udp"), 4, 1, "udp", t.udpPort));
    Row serial = on(++number, day, 5, 6, "Relay 6 off serial");
    serial["mcontrol"] = 1;
    serial["mtype"] = 2;
    serial["Message"] = "serial^M";
    serial["MCommPort"] = t.serialPort;
    serial["MBaudRate"] = 6;  // 115200
    rows.push_back(serial);
    Row alphas = triggered(++number, day, 3, QStringLiteral("Xpt 7 routed alphas"));
    alphas["TriggerDest"] = 7;
    alphas["tControl"] = 3;
    alphas["FileType"] = 1;
    alphas["FileName"] = t.alphasFile;
    rows.push_back(alphas);
    Row inhibits = on(++number, day, 4, 8, "Relay 8 on inhibits");
    inhibits["FileType"] = 5;
    inhibits["FileName"] = t.inhibitsFile;
    inhibits["FileChannel1"] = 2;
    rows.push_back(inhibits);

    Row ringOn = message(triggered(++number, day, 3, QStringLiteral("Ring source came")), 1, 1, "ring", t.readingPort);
    ringOn["TriggerDest"] = kRingOutput;
    ringOn["TriggerSource"] = kRingSource;
    ringOn["tControl"] = 1;  // the source came
    ringOn["xcontrol"] = 3;  // sum off
    ringOn["SourceChan"] = kRingSource;
    ringOn["DestChan"] = kRingOutput;
    rows.push_back(ringOn);
    Row ringOff = triggered(++number, day, 3, QStringLiteral("Ring source went"));
    ringOff["TriggerDest"] = kRingOutput;
    ringOff["TriggerSource"] = kRingSource;
    ringOff["tControl"] = 2;  // the source went
    ringOff["xcontrol"] = 2;  // sum on
    ringOff["SourceChan"] = kRingSource;
    ringOff["DestChan"] = kRingOutput;
    rows.push_back(ringOff);
}

void addTriggeredRows(std::vector<Row>& rows, int day, int& number) {
    for (int n = 1; n <= kTriggerRange; ++n) {
        Row on = triggered(++number, day, 1, QStringLiteral("Opto %1 on").arg(n));
        on["Opto"] = n;
        on["scontrol"] = 1;
        on["Salvo"] = 20 + n;
        if (n % 2 == 1) on["Delay"] = 2;
        rows.push_back(on);

        Row off = triggered(++number, day, 2, QStringLiteral("Opto %1 off").arg(n));
        off["Opto"] = n;
        off["xcontrol"] = 1;
        off["SourceChan"] = n;
        off["DestChan"] = 30 + n;
        if (n % 3 == 0) {
            off["Condition"] = 3;  // relay n must be on
            off["ReqRelay"] = n;
        }
        rows.push_back(off);

        Row relayOn = triggered(++number, day, 4, QStringLiteral("Relay %1 on").arg(n));
        relayOn["Opto"] = n;
        relayOn["ocontrol"] = 1;
        relayOn["OptoOut"] = 40 + n;
        rows.push_back(relayOn);

        Row relayOff = triggered(++number, day, 5, QStringLiteral("Relay %1 off").arg(n));
        relayOff["Opto"] = n;
        relayOff["rcontrol"] = 2;
        relayOff["Relay"] = 40 + n;
        if (n % 2 == 0) relayOff["Delay"] = 3;
        rows.push_back(relayOff);

        Row routed = triggered(++number, day, 3, QStringLiteral("Xpt %1 routed").arg(n));
        routed["TriggerDest"] = n;
        routed["TControl"] = 3;  // any source on the destination
        routed["scontrol"] = 1;
        routed["Salvo"] = 40 + n;
        rows.push_back(routed);

        Row cleared = triggered(++number, day, 3, QStringLiteral("Xpt %1 cleared").arg(n));
        cleared["TriggerDest"] = n;
        cleared["TControl"] = 4;  // the destination left without a source
        cleared["rcontrol"] = 3;
        cleared["Relay"] = 50 + n;
        rows.push_back(cleared);

        Row source = triggered(++number, day, 3, QStringLiteral("Xpt %1 source %1").arg(n));
        source["TriggerDest"] = n;
        source["TriggerSource"] = n;
        source["TControl"] = 1;
        source["scontrol"] = 1;
        source["Salvo"] = 60 + n;
        source["Delay"] = 1;
        rows.push_back(source);
    }
    // Rows that change themselves when they run: once only, and skip the first time.
    Row once = triggered(++number, day, 1, QStringLiteral("Opto 1 on once"));
    once["Opto"] = 1;
    once["Active"] = 3;
    once["scontrol"] = 1;
    once["Salvo"] = 90;
    rows.push_back(once);
    Row skip = triggered(++number, day, 4, QStringLiteral("Relay 2 on skip"));
    skip["Opto"] = 2;
    skip["Active"] = 2;
    skip["scontrol"] = 1;
    skip["Salvo"] = 91;
    rows.push_back(skip);
}

}  // namespace

QString BaseTitle(const QString& historyTitle) {
    for (const QString& tail : {QStringLiteral(" - Not Executed"), QStringLiteral(" - Inactive")})
        if (historyTitle.endsWith(tail)) return historyTitle.chopped(tail.size());
    return historyTitle;
}

SoakTable BuildSoakTable(const QDateTime& first, const QDateTime& last, int spacingSec,
                         const QDateTime& until, const SoakTargets& targets) {
    SoakTable table;
    int number = 0;
    int k = 0;
    for (QDateTime t = first; t <= last; t = t.addSecs(spacingSec), ++k) {
        const int day = DayIndexOf(t.date());
        const QString title = QStringLiteral("T%1 ").arg(k, 5, 10, QLatin1Char('0'));
        Row r = test::TimedRow(++number, day, timeText(t), QString());
        TimedRow expect;
        expect.due = t;
        const int round = k / 8;
        const int source = 1 + k % 64;
        const int dest = 1 + round % kTriggerRange;
        switch (k % 8) {
            case 0:
            case 4:
                r["Title"] = title + QStringLiteral("take");
                r["xcontrol"] = 1;
                r["SourceChan"] = source;
                r["DestChan"] = dest;
                expect.plainTake = true;
                expect.takeFrame = takeFrame(source, dest);
                break;
            case 1:
                r["Title"] = title + QStringLiteral("salvo");
                r["scontrol"] = 1;
                r["Salvo"] = 1 + k % 16;
                break;
            case 2:
                r["Title"] = title + QStringLiteral("relay");
                r["rcontrol"] = 1 + round % 3;  // latch, release, momentary
                r["Relay"] = dest;
                break;
            case 3:
                r["Title"] = title + QStringLiteral("take if relay");
                r["xcontrol"] = 1;
                r["SourceChan"] = source;
                r["DestChan"] = dest;
                if (round % 2 == 0) {
                    r["Condition"] = 3;
                    r["ReqRelay"] = dest;
                } else {
                    r["Delay"] = 3;
                }
                break;
            case 5:
                r["Title"] = title + QStringLiteral("opto");
                r["ocontrol"] = 1 + round % 2;  // on, off
                r["OptoOut"] = dest;
                break;
            case 6:
                switch (round % 4) {
                    case 0:
                        r["Title"] = title + QStringLiteral("salvo once");
                        r["Active"] = 3;
                        r["scontrol"] = 1;
                        r["Salvo"] = 17;
                        break;
                    case 1:
                        r["Title"] = title + QStringLiteral("take skipped");
                        r["Active"] = 2;
                        r["xcontrol"] = 1;
                        r["SourceChan"] = source;
                        r["DestChan"] = dest;
                        break;
                    case 2:
                        r["Title"] = title + QStringLiteral("take inactive");
                        r["Active"] = 0;
                        r["xcontrol"] = 1;
                        r["SourceChan"] = source;
                        r["DestChan"] = dest;
                        break;
                    default:
                        r["Title"] = title + QStringLiteral("take without output");
                        r["xcontrol"] = 1;
                        r["SourceChan"] = source;
                        r["DestChan"] = 0;
                        break;
                }
                break;
            default:
                r["Title"] = title + QStringLiteral("relay later");
                r["rcontrol"] = 3;
                r["Relay"] = dest;
                if (round % 2 == 0) {
                    r["Delay"] = 2;
                } else {
                    r["Condition"] = 1;  // source feeds the output
                    r["ReqSource"] = source;
                    r["ReqDest"] = dest;
                }
                break;
        }
        expect.title = r["Title"].toString();
        expect.active = r["Active"].toInt();
        expect.delay = r["Delay"].toInt();
        table.rows.push_back(r);
        table.timed.push_back(expect);

        // A row due at the same second as this one, decided once like it.
        const auto addAlongside = [&](const Row& row) {
            table.rows.push_back(row);
            TimedRow e;
            e.title = row["Title"].toString();
            e.due = t;
            table.timed.push_back(e);
        };

        // Now and then a message too big for a peer that never reads: it stalls and fails.
        if (k % 10 == 4) {
            Row big = message(test::TimedRow(++number, day, timeText(t), title + QStringLiteral("big to deaf")), 1, 3,
                              targets.bigMessageFile, targets.deafPort);
            big["Priority"] = 3;
            addAlongside(big);
        }

        // Now and then the ring on output 9 is started again.
        if (k % 10 == 9) {
            Row kick = test::TimedRow(++number, day, timeText(t), title + QStringLiteral("ring kick"));
            kick["Priority"] = 2;
            kick["xcontrol"] = 2;  // sum on
            kick["SourceChan"] = kRingSource;
            kick["DestChan"] = kRingOutput;
            addAlongside(kick);
        }

        // Now and then a second event at the same second, which runs in the same call.
        if (k % 5 == 1) {
            Row twin = test::TimedRow(++number, day, timeText(t), title + QStringLiteral("twin"));
            twin["Priority"] = 1;
            twin["scontrol"] = 1;
            twin["Salvo"] = 18;
            addAlongside(twin);
        }
    }

    std::set<int> days;
    for (QDate d = first.date(); d <= until.date(); d = d.addDays(1)) days.insert(DayIndexOf(d));
    for (int day : days) {
        addTriggeredRows(table.rows, day, number);
        addWaitingRows(table.rows, day, number, targets);
    }

    // A row far from the run, for the editing tool to change: each change reloads the table.
    table.editorNumber = kEditorNumber;
    Row editor = test::TimedRow(kEditorNumber, (DayIndexOf(first.date()) + 3) % 7,
                                QStringLiteral("12:00:00"), QStringLiteral("Editor row"), 0);
    table.rows.push_back(editor);
    return table;
}

}  // namespace tarvo::soak
