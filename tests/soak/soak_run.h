// One soak: the real tarvo-engined on a temporary program folder against the switcher simulator
// in chaos mode, both on loopback, on the real clock. The run records what both programs said
// and what the engine wrote; the tests judge the record.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

#include "soak_console.h"
#include "soak_table.h"

namespace tarvo::soak {

struct SoakOptions {
    QString name;           // the run's logs are kept in <build>/soak/<name>/
    int seconds = 60;       // the whole run
    int chaosSeconds = 38;  // chaos from the start until then; calm afterwards
    int spacingSec = 2;     // between two timed events
    int firstEventSec = 6;  // the first timed event, after start-up
    int quietTailSec = 8;   // no timed event due in the last seconds of the run
    uint32_t seed = 1;
    int paceMs = 1000;
    int silenceMaxMs = 8000;
    int slowReadMaxMs = 4000;
    int floodUnits = 200000;
    int editEverySec = 13;  // the editing tool changes the database this often
    int rssEverySec = 2;
    int statusEverySec = 2;      // SIGUSR1: the engine's runs and stack
    int slaveDropEverySec = 9;   // the slave switcher closes its link this often (0: no slave)
    int stopAtSec = -1;          // SIGTERM at this second of the run, in the chaos (-1: at the end)
    // SIGKILL now and then in the chaos (on average this often; 0: never), and the engine
    // started again after a pause of up to pauseMaxSec.
    int killEverySec = 0;
    int pauseMaxSec = 6;
    // The editing tool holds the database's lock for up to this long now and then, and edits
    // inside it.
    int lockMaxMs = 5000;
    int consoleEverySec = 2;   // the console's health, metrics and status polled this often
    int webEditEverySec = 11;  // a row renamed through the console's editor this often (0: never)
};

// What the engine said of its runs on SIGUSR1.
struct RunStatus {
    int second = 0;
    int runs = 0;
    qint64 started = 0;
    qint64 ended = 0;
    int mostAtOnce = 0;
    qint64 longestMs = 0;
    long deepestStack = 0;
};

struct Line {
    QDateTime at;  // when the test received it
    QString text;
    int start = 0;  // which start of the engine said it
};

// From a kill to the next start of the engine.
struct Downtime {
    QDateTime killed, started;
};

// The engine's loop thread as the kernel counts it (/proc/<pid>/schedstat), and the machine's time
// with a task waiting for the disk (/proc/pressure/io), sampled a few times a second: a long gap
// then tells a loop that was busy from one that waited for a core or for the disk.
struct SchedSample {
    QDateTime at;
    qint64 pid = 0;
    qint64 onCpuNs = 0, waitingNs = 0;
    qint64 ioStallUs = -1;  // unknown
};

struct SoakRecord {
    SoakTable table;
    QDateTime start;
    std::vector<Line> engine;  // the engine's standard output
    QStringList sim;           // the simulator's standard output
    int simLinesAtChaosOff = -1;
    QDateTime chaosOff;
    QDateTime linkBack;  // first moment after the chaos with the switcher connected again
    bool diedDuringRun = false;
    QString death;        // how, when the engine ended on its own or did not start
    bool exited = false;  // ended by itself after SIGTERM
    int exitCode = -1;
    QStringList activity;   // message part of every activity-log line, archives first
    QString lastTallyLine;  // last message of Tally.dat itself
    QStringList errors;     // message part of every error-log line (from the location on)
    std::vector<std::pair<int, long>> rss;  // (second of the run, VmRSS in kB)
    std::vector<SchedSample> sched;
    int edits = 0;
    std::vector<RunStatus> status;
    RunStatus finalStatus;       // after the calm, just before SIGTERM (stopAtSec < 0)
    qint64 exitMs = -1;          // SIGTERM to the end of the process
    int simLinesAfterExit = 0;   // frames the switcher received after the engine had gone
    bool peerAfterExit = false;  // anything that reached a peer after it had gone
    qint64 tcpBytes = 0, serialBytes = 0;
    int tcpConnections = 0, deafConnections = 0, datagrams = 0;
    int slaveDrops = 0;
    std::vector<QDateTime> slaveDropsAt;
    QStringList slaveSim;            // the slave switcher's standard output (its pings among it)
    int starts = 0;
    std::vector<Downtime> down;      // one per kill
    ConsoleFigures console;
    // The editing tool: its locks, its last committed title and the rows as the run left them.
    int lockHolds = 0, busyRefusals = 0;
    qint64 longestHoldMs = 0;
    QString editorWanted, editorTitle, webTitle;
    int consoleChanges = 0;          // history entries made by the console's user
    QStringList onceLeft;            // one-time timed rows still in the table at the end
};

SoakRecord RunSoak(const SoakOptions& options);

// --- judging the record

// History lines per base title: "history: Day | hh:mm:ss | Title" and "history (red): ...".
QMap<QString, int> HistoryCounts(const std::vector<Line>& engine);
// The reason of every " not executed - " line, counted.
QMap<QString, int> RefusalReasons(const QStringList& activity);
// Reasons the engine is known to give.
bool KnownReason(const QString& reason);
// Titles of refusal lines.
QMap<QString, int> RefusedTitles(const QStringList& activity);

// Titles of " interrupted - Not Repeated" lines (a run a kill cut off), counted.
QMap<QString, int> InterruptedTitles(const QStringList& activity);
// Whether a Missed line for `row` can be right: it fell due (or its delay ended) while the
// engine was away, or just before a kill, and the engine came back too late for it.
bool CouldBeMissed(const SoakOptions& options, const SoakRecord& record, const TimedRow& row);

// The gaps between two of the engine's pings to the slave, longer than `atLeastMs`, leaving out
// those a kill or a drop of the slave's link falls in: (when the gap began, its length in ms).
std::vector<std::pair<QDateTime, qint64>> KeepAliveGaps(const SoakRecord& record, qint64 atLeastMs);
// What the engine's loop thread did over [from, to], from the samples around it: "on a core X ms,
// waiting for one Y ms, neither Z ms; the disk stalled some task W ms".
QString LoopThreadAcross(const SoakRecord& record, const QDateTime& from, const QDateTime& to);

// A summary for the record in docs/reliability.md.
QString Summary(const SoakOptions& options, const SoakRecord& record);

}  // namespace tarvo::soak
