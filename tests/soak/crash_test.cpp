// The real tarvo-engined killed with SIGKILL at random moments over a faked day and started again
// after a random pause, while an editing tool holds the database's lock now and then and edits
// rows the engine has not yet come to. Afterwards every occurrence is accounted for exactly once
// (run, refused, missed or interrupted), nothing ran twice, every one-time row is gone, and every
// edit stands as the editor left it.
//
//   TARVO_CRASH_SEED=N   replays one plan (the seed is printed at the start of every run)
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>

#include "e2e/faked_engine.h"
#include "e2e/sim_process.h"
#include "store/engine_record.h"
#include "store/sqlite.h"

namespace tarvo::test {
namespace {

enum class Kind { Ordinary, OneTime, Skip, Delayed, DelayedOnce, Tcp, TcpOnce };

const char* kindName(Kind k) {
    switch (k) {
        case Kind::Ordinary: return "ordinary";
        case Kind::OneTime: return "one-time";
        case Kind::Skip: return "skip";
        case Kind::Delayed: return "delayed";
        case Kind::DelayedOnce: return "delayed one-time";
        case Kind::Tcp: return "tcp";
        case Kind::TcpOnce: return "tcp one-time";
    }
    return "";
}
bool isOnce(Kind k) { return k == Kind::OneTime || k == Kind::DelayedOnce || k == Kind::TcpOnce; }
bool isTcp(Kind k) { return k == Kind::Tcp || k == Kind::TcpOnce; }
int activeOf(Kind k) { return isOnce(k) ? 3 : k == Kind::Skip ? 2 : 1; }

struct PlannedRow {
    int number = 0;
    Kind kind = Kind::Ordinary;
    QDateTime at;  // its one occurrence in the run (rows are weekly)
    int delay = 0;
    int priority = 0;
    QByteArray key;  // what its message carries: "E042"
    QString title() const { return QString::fromLatin1(key) + QLatin1Char(' ') + QLatin1String(kindName(kind)); }
};

struct Segment {
    QDateTime start;           // whole seconds, on the faked clock
    qint64 lengthMs = 0;       // until the planned kill
    bool duringStartUp = false;  // killed while it starts and catches up
    int messageTarget = -1;    // a TCP row whose run the kill cuts (killed when its bytes arrive)
    QDateTime plannedKill() const { return start.addMSecs(lengthMs); }
};

struct Plan {
    std::vector<Segment> segments;  // the last one ends with SIGTERM
    std::vector<PlannedRow> rows;
};

constexpr int kRows = 230;
constexpr int kLateLimitSec = 180;
constexpr int kBandSec = 6;  // around the three minutes, either outcome is right

Plan makePlan(uint32_t seed) {
    std::mt19937 rng(seed);
    auto uniform = [&](qint64 lo, qint64 hi) { return std::uniform_int_distribution<qint64>(lo, hi)(rng); };
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
    Plan p;
    const int kills = static_cast<int>(uniform(32, 36));
    QDateTime at = FakedMoment(QDate(2026, 12, 16), QTime(9, 0, 0));
    for (int i = 0; i <= kills; ++i) {
        Segment s;
        s.start = at;
        s.duringStartUp = i < kills && chance(0.12);
        s.lengthMs = s.duringStartUp ? uniform(100, 900) : uniform(2000, 6500);
        p.segments.push_back(s);
        const QDateTime kill = s.plannedKill();
        const QDateTime next = kill.addSecs(uniform(0, 200));
        at = next.addMSecs(next.time().msec() == 0 ? 0 : 1000 - next.time().msec());
    }
    std::map<qint64, int> perSecond;  // at most two rows a second, told apart by Priority
    auto place = [&](const QDateTime& t, Kind kind, int delay) {
        const qint64 key = t.toSecsSinceEpoch();
        if (perSecond[key] >= 2) return -1;
        PlannedRow r;
        r.number = static_cast<int>(p.rows.size()) + 1;
        r.kind = kind;
        r.at = t;
        r.delay = delay;
        r.priority = perSecond[key]++;
        r.key = QStringLiteral("E%1").arg(r.number, 3, 10, QLatin1Char('0')).toLatin1();
        p.rows.push_back(r);
        return r.number - 1;
    };
    // Runs cut in their second after sending: a TCP row shortly before a third of the kills.
    for (std::size_t i = 0; i + 1 < p.segments.size(); ++i) {
        Segment& s = p.segments[i];
        if (s.duringStartUp || !chance(0.3)) continue;
        const QDateTime t = s.plannedKill().addMSecs(-uniform(300, 900));
        const QDateTime second = t.addMSecs(-t.time().msec());
        if (second < s.start.addSecs(1)) continue;
        s.messageTarget = place(second, chance(0.5) ? Kind::Tcp : Kind::TcpOnce, 0);
    }
    const Kind kinds[] = {Kind::Ordinary, Kind::OneTime, Kind::Skip, Kind::Delayed,
                          Kind::DelayedOnce, Kind::Tcp, Kind::TcpOnce};
    const int weights[] = {35, 20, 15, 10, 6, 9, 5};
    std::discrete_distribution<int> kindOf(std::begin(weights), std::end(weights));
    qint64 running = 0, paused = 0;
    for (std::size_t i = 0; i < p.segments.size(); ++i) {
        running += p.segments[i].lengthMs;
        if (i + 1 < p.segments.size()) paused += p.segments[i].plannedKill().msecsTo(p.segments[i + 1].start);
    }
    while (static_cast<int>(p.rows.size()) < kRows) {
        const Kind kind = kinds[kindOf(rng)];
        const int delay = kind == Kind::Delayed || kind == Kind::DelayedOnce ? static_cast<int>(uniform(2, 20)) : 0;
        QDateTime t;
        if (chance(0.8)) {  // inside a running segment, by length
            qint64 pick = uniform(0, running - 1);
            for (const Segment& s : p.segments) {
                if (pick < s.lengthMs) {
                    t = s.start.addMSecs(pick);
                    break;
                }
                pick -= s.lengthMs;
            }
        } else {  // in a pause
            qint64 pick = uniform(0, paused - 1);
            for (std::size_t i = 0; i + 1 < p.segments.size(); ++i) {
                const qint64 len = p.segments[i].plannedKill().msecsTo(p.segments[i + 1].start);
                if (pick < len) {
                    t = p.segments[i].plannedKill().addMSecs(pick);
                    break;
                }
                pick -= len;
            }
        }
        place(t.addMSecs(-t.time().msec()), kind, delay);
    }
    // The last start runs until everything has come due: at worst a row of the last pause
    // decided at that start, then its delay.
    Segment& last = p.segments.back();
    QDateTime end = last.plannedKill();
    for (const PlannedRow& r : p.rows) end = std::max(end, std::max(r.at, last.start).addSecs(r.delay + 4));
    last.lengthMs = last.start.msecsTo(end);
    return p;
}

// --- the editing tool: its own connection, in its own thread

enum class EditKind { SkipOff, OnceToWeekly, Rename };

struct Edit {
    int number = 0;
    EditKind kind = EditKind::Rename;
};

struct Editor {
    QString path;
    const Plan* plan = nullptr;
    uint32_t seed = 0;
    std::mutex mutex;
    int segment = -1;  // the start the engine is in (set by the test)
    std::vector<Edit> edits;
    int immediateHolds = 0, exclusiveHolds = 0, busyRefusals = 0;
    qint64 longestHoldMs = 0;
    std::atomic<bool> stop{false};

    void run() {
        std::mt19937 rng(seed ^ 0x5eed);
        auto uniform = [&](qint64 lo, qint64 hi) { return std::uniform_int_distribution<qint64>(lo, hi)(rng); };
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return;
        sqlite3_busy_timeout(db, 10000);
        std::set<int> touched;
        while (!stop) {
            if (!pause(uniform(1000, 4000))) break;
            const bool exclusive = uniform(0, 9) < 3;
            if (sqlite3_exec(db, exclusive ? "BEGIN EXCLUSIVE" : "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
                std::lock_guard<std::mutex> g(mutex);
                busyRefusals += 1;
                continue;
            }
            const qint64 took = SteadyMs();
            // Rows the engine cannot have come to: their second is at least half a minute after
            // the start three starts on, whenever this commit lands.
            std::vector<Edit> made;
            int current;
            {
                std::lock_guard<std::mutex> g(mutex);
                current = segment;
            }
            const std::size_t ahead = static_cast<std::size_t>(std::max(current, 0)) + 3;
            if (current >= 0 && ahead < plan->segments.size() && uniform(0, 9) < 6) {
                const QDateTime safe = plan->segments[ahead].start.addSecs(30);
                std::vector<const PlannedRow*> candidates;
                for (const PlannedRow& r : plan->rows)
                    if (r.at >= safe && !touched.count(r.number)) candidates.push_back(&r);
                const int n = static_cast<int>(std::min<qint64>(uniform(1, 2), static_cast<qint64>(candidates.size())));
                for (int k = 0; k < n; ++k) {
                    const std::size_t pick = static_cast<std::size_t>(uniform(0, static_cast<qint64>(candidates.size()) - 1));
                    const PlannedRow& r = *candidates[pick];
                    candidates.erase(candidates.begin() + static_cast<std::ptrdiff_t>(pick));
                    Edit e{r.number, r.kind == Kind::Skip ? EditKind::SkipOff
                                     : isOnce(r.kind)     ? EditKind::OnceToWeekly
                                                          : EditKind::Rename};
                    const QString sql =
                        e.kind == EditKind::SkipOff ? QStringLiteral("UPDATE Automation SET Active = 0 WHERE Number = %1")
                        : e.kind == EditKind::OnceToWeekly
                            ? QStringLiteral("UPDATE Automation SET Active = 1 WHERE Number = %1")
                            : QStringLiteral("UPDATE Automation SET Title = Title || ' renamed' WHERE Number = %1");
                    if (sqlite3_exec(db, sql.arg(r.number).toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK) {
                        made.push_back(e);
                        touched.insert(r.number);
                    }
                }
            }
            const qint64 hold = exclusive ? uniform(300, 2000) : uniform(300, 3000);
            pause(hold - (SteadyMs() - took));
            const bool committed = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
            if (!committed) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            std::lock_guard<std::mutex> g(mutex);
            (exclusive ? exclusiveHolds : immediateHolds) += 1;
            longestHoldMs = std::max(longestHoldMs, SteadyMs() - took);
            if (committed) edits.insert(edits.end(), made.begin(), made.end());
            else
                for (const Edit& e : made) touched.erase(e.number);
        }
        sqlite3_close(db);
    }
    // Sleeps in short steps; false once the test asks it to stop.
    bool pause(qint64 ms) {
        const qint64 until = SteadyMs() + ms;
        while (!stop && SteadyMs() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return !stop;
    }
};

// --- what the run did, per row

struct Account {
    int sent = 0, interrupted = 0, staleTitle = 0, delivered = 0;
    QStringList refusals;  // reasons
    QDateTime sentAt;  // the stamp of its "Message Sent" line
};

// The moments at which the engine may decide what falls due at `m`: at `m` while it runs, at
// the next start when `m` falls in a pause, or either near a kill (a run in progress or a locked
// file can hold a decision up past the kill). A start killed within seconds may not have come to
// it, and leaves it to the starts after it.
using Spans = std::vector<std::pair<QDateTime, QDateTime>>;  // each start's faked span

void addLaterStarts(const Spans& ran, std::size_t i, std::vector<QDateTime>& out) {
    for (std::size_t j = i + 1; j < ran.size(); ++j) {
        out.push_back(ran[j].first);
        if (ran[j].second >= ran[j].first.addSecs(5)) break;
    }
}

std::vector<QDateTime> decisions(const Spans& ran, const QDateTime& m) {
    for (std::size_t i = 0; i < ran.size(); ++i) {
        const auto& [from, to] = ran[i];
        std::vector<QDateTime> out;
        if (m < from) {
            out.push_back(from);
            if (to < from.addSecs(5)) addLaterStarts(ran, i, out);
            return out;
        }
        if (m < to.addSecs(-5) || i + 1 == ran.size()) return {m};
        if (m < to) {
            out.push_back(m);
            addLaterStarts(ran, i, out);
            return out;
        }
    }
    return {m};
}

struct Outcomes {
    bool canRun = false, canMiss = false;
};

Outcomes possible(const Spans& ran, const PlannedRow& r) {
    Outcomes o;
    for (const QDateTime& d : decisions(ran, r.at)) {
        const qint64 late = r.at.secsTo(d);
        if (late >= kLateLimitSec - kBandSec) o.canMiss = true;
        if (late > kLateLimitSec + kBandSec) continue;
        if (r.delay == 0) {
            o.canRun = true;
            continue;
        }
        const QDateTime due = QDateTime::fromSecsSinceEpoch(d.toSecsSinceEpoch(), d.timeZone()).addSecs(r.delay);
        for (const QDateTime& d2 : decisions(ran, due)) {
            const qint64 late2 = due.secsTo(d2);
            if (late2 >= kLateLimitSec - kBandSec) o.canMiss = true;
            if (late2 <= kLateLimitSec + kBandSec) o.canRun = true;
        }
    }
    return o;
}

void keepFolder(const QString& from, const QString& name) {
    const QString to = QStringLiteral(TARVO_BINARY_DIR "/soak/") + name + QLatin1Char('/');
    QDir(to).removeRecursively();
    QDir().mkpath(to);
    for (const QFileInfo& f : QDir(from).entryInfoList(QDir::Files)) QFile::copy(f.filePath(), to + f.fileName());
}

TEST(CrashRestart, KilledAtRandomOverAFakedDayEveryOccurrenceIsAccountedForOnce) {
    if (!FakeTimeAvailable()) GTEST_SKIP() << "libfaketime is not installed";
    const uint32_t seed = qEnvironmentVariableIsSet("TARVO_CRASH_SEED")
                              ? static_cast<uint32_t>(qEnvironmentVariable("TARVO_CRASH_SEED").toUInt())
                              : QRandomGenerator::global()->generate();
    std::printf("crash test seed %u (TARVO_CRASH_SEED=%u to replay)\n", seed, seed);
    std::fflush(stdout);
    const qint64 wallStart = SteadyMs();
    const Plan plan = makePlan(seed);

    Folder folder;
    SimProcess sim;
    ASSERT_NE(sim.port, 0);
    DatagramListener udp;
    ASSERT_TRUE(udp.ok);
    StreamListener tcp;
    ASSERT_TRUE(tcp.ok);
    std::vector<Row> rows;
    for (const PlannedRow& r : plan.rows) {
        Row row = isTcp(r.kind) ? TcpRow(r.number, r.at, r.title(), activeOf(r.kind), tcp.port(), r.delay, QString::fromLatin1(r.key))
                                : UdpRow(r.number, r.at, r.title(), activeOf(r.kind), udp.port(), r.delay, QString::fromLatin1(r.key));
        row["Priority"] = r.priority;
        rows.push_back(row);
    }
    folder.createDatabase(rows);
    ASSERT_TRUE(UseLoopbackOnly(folder, sim.port));

    Editor editor;
    editor.path = folder.file(QStringLiteral("TarvoAutomation.mdb"));
    editor.plan = &plan;
    editor.seed = seed;
    std::thread editing([&] { editor.run(); });

    FakedEngine engine(folder.path());
    Spans ran;
    int kills = 0, killsInAMessage = 0, killsAtStartUp = 0, diedOnItsOwn = 0;
    bool exitedInOrder = false;
    for (std::size_t i = 0; i < plan.segments.size(); ++i) {
        const Segment& s = plan.segments[i];
        {
            std::lock_guard<std::mutex> g(editor.mutex);
            editor.segment = static_cast<int>(i);
        }
        if (!engine.start(s.start)) {
            ADD_FAILURE() << "start " << i << " failed";
            break;
        }
        const QByteArray target = s.messageTarget >= 0 ? plan.rows[static_cast<std::size_t>(s.messageTarget)].key : QByteArray();
        const bool alive = engine.waitUntilFaked(s.plannedKill(), [&] { return !target.isEmpty() && tcp.count(target) > 0; });
        ran.emplace_back(s.start, engine.fakedNow());
        if (!alive) {
            diedOnItsOwn += 1;
            continue;
        }
        if (i + 1 == plan.segments.size()) {
            exitedInOrder = engine.terminate();
            break;
        }
        if (!target.isEmpty() && tcp.count(target) > 0) killsInAMessage += 1;
        if (s.duringStartUp) killsAtStartUp += 1;
        engine.kill();
        kills += 1;
    }
    editor.stop = true;
    editing.join();
    QCoreApplication::processEvents();

    // A one-time row that ran in the last seconds may still be there, its delete owed in the
    // record because the editor held the lock at its run: the next start does it. One more start,
    // with the editor gone, shows that it does.
    std::set<int> owedAtExit;
    try {
        Database state(folder.file(kEngineRecordFileName));
        Statement st(state, QStringLiteral("SELECT number FROM owed WHERE remove = 1"));
        while (st.next()) owedAtExit.insert(static_cast<int>(std::get<int64_t>(st.value(0).v)));
    } catch (const std::exception& failure) {
        ADD_FAILURE() << "the record cannot be read: " << failure.what();
    }
    if (!owedAtExit.empty() && exitedInOrder) {
        QStringList numbers;
        for (int n : owedAtExit) numbers << QString::number(n);
        const QString left = QStringLiteral("SELECT COUNT(*) FROM Automation WHERE Active = 3 AND Number IN (%1)")
                                 .arg(numbers.join(QLatin1Char(',')));
        EXPECT_TRUE(engine.start(engine.fakedNow().addSecs(1)));
        EXPECT_TRUE(waitUntil([&] { return folder.query(left).toInt() == 0; }, 15000)) << "owed deletes not done";
        exitedInOrder = engine.terminate();
    }
    const qint64 wallMs = SteadyMs() - wallStart;

    // --- the account
    const std::vector<ActivityLine> all = ReadActivity(folder.path());
    keepFolder(folder.path(), QStringLiteral("crash"));
    std::map<QString, int> byTitle;  // every title a row has had
    std::map<int, const Edit*> editOf;
    for (const Edit& e : editor.edits) editOf[e.number] = &e;
    for (const PlannedRow& r : plan.rows) {
        byTitle[r.title()] = r.number;
        if (editOf.count(r.number) && editOf[r.number]->kind == EditKind::Rename)
            byTitle[r.title() + QStringLiteral(" renamed")] = r.number;
    }
    std::map<int, Account> acc;
    QStringList stray;
    const QString sentPrefix = QStringLiteral("Message Sent to 127.0.0.1 Title:");
    const QString notExecuted = QStringLiteral(" not executed - ");
    auto rowOf = [&](const QString& title) -> int {
        const auto it = byTitle.find(title);
        return it == byTitle.end() ? 0 : it->second;
    };
    auto note = [&](int number, const QString& title) {
        const PlannedRow& r = plan.rows[static_cast<std::size_t>(number - 1)];
        const bool renamed = editOf.count(number) && editOf[number]->kind == EditKind::Rename;
        if (renamed && title == r.title()) acc[number].staleTitle += 1;
    };
    for (const ActivityLine& l : all) {
        if (l.text.startsWith(sentPrefix)) {
            const QString title = l.text.mid(sentPrefix.size());
            if (const int n = rowOf(title)) {
                acc[n].sent += 1;
                note(n, title);
                const QDateTime stamp = QDateTime::fromString(l.stamp, QStringLiteral("ddd, MMM dd, yyyy - hh:mm:ss"));
                acc[n].sentAt = QDateTime(stamp.date(), stamp.time(), FakedZone());
                continue;
            }
        } else if (l.text.endsWith(kNotRepeatedSuffix)) {
            const QString title = l.text.chopped(kNotRepeatedSuffix.size());
            if (const int n = rowOf(title)) {
                acc[n].interrupted += 1;
                note(n, title);
                continue;
            }
        } else if (l.text.contains(notExecuted)) {
            const qsizetype at = l.text.indexOf(notExecuted);
            const QString title = l.text.left(at);
            if (const int n = rowOf(title)) {
                acc[n].refusals << l.text.mid(at + notExecuted.size());
                note(n, title);
                continue;
            }
        } else if (l.text == QLatin1String("Program Start") || l.text == QLatin1String("Program Exit") ||
                   l.text.startsWith(kPreviousRunPrefix) || l.text == QLatin1String("Connection Check") ||
                   l.text.startsWith(QLatin1String("Automation table changed by another program"))) {
            continue;
        }
        stray << l.text;
    }
    for (const auto& [payload, when] : udp.got) {
        Q_UNUSED(when);
        bool known = false;
        for (const PlannedRow& r : plan.rows)
            if (r.key == payload) {
                acc[r.number].delivered += 1;
                known = true;
            }
        if (!known) stray << QStringLiteral("datagram ") + QString::fromLatin1(payload);
    }
    for (const StreamListener::Connection& c : tcp.connections) {
        if (c.bytes.isEmpty()) continue;  // killed between the connection and the write
        bool known = false;
        for (const PlannedRow& r : plan.rows)
            if (r.key == c.bytes) {
                acc[r.number].delivered += 1;
                known = true;
            }
        if (!known) stray << QStringLiteral("tcp connection with ") + QString::fromLatin1(c.bytes.toHex(' '));
    }

    int ranInTime = 0, ranLate = 0, missed = 0, refused = 0, interrupted = 0, interruptedSent = 0,
        skipped = 0, inactive = 0;
    QMap<QString, int> reasons;
    QStringList faults;
    auto fault = [&](const PlannedRow& r, const QString& what) {
        faults << QStringLiteral("%1 (%2 at %3, delay %4): %5")
                      .arg(r.title(), QLatin1String(kindName(r.kind)), r.at.toString(QStringLiteral("hh:mm:ss")))
                      .arg(r.delay)
                      .arg(what);
    };
    for (const PlannedRow& r : plan.rows) {
        const Account& a = acc[r.number];
        const Edit* e = editOf.count(r.number) ? editOf[r.number] : nullptr;
        const Outcomes can = possible(ran, r);
        const QString seen = QStringLiteral("sent %1, interrupted %2, delivered %3, refusals [%4]")
                                 .arg(a.sent)
                                 .arg(a.interrupted)
                                 .arg(a.delivered)
                                 .arg(a.refusals.join(QStringLiteral("; ")));
        if (a.delivered > 1 || a.sent > 1 || a.interrupted > 1 || a.refusals.size() > 1) fault(r, QStringLiteral("twice: ") + seen);
        if (a.staleTitle) fault(r, QStringLiteral("logged under its title from before the edit"));
        const bool missedLine = a.refusals.contains(QStringLiteral("Missed"));
        if (r.kind == Kind::Skip && e) {  // switched off before it came
            inactive += 1;
            const bool linkDown = a.refusals.isEmpty() || a.refusals.first().endsWith(QStringLiteral("not connected"));
            if (a.sent || a.interrupted || a.delivered || !linkDown) fault(r, QStringLiteral("switched off, yet ") + seen);
        } else if (r.kind == Kind::Skip) {
            skipped += 1;
            if (a.sent || a.interrupted || a.delivered) fault(r, QStringLiteral("a skipped occurrence ran: ") + seen);
            // Passed over while the link is down, a skip says why, as any row does.
            if (!a.refusals.isEmpty() && !missedLine && !a.refusals.first().endsWith(QStringLiteral("not connected")))
                fault(r, QStringLiteral("a skip refused: ") + seen);
            if (missedLine) missed += 1;
            if (missedLine && !can.canMiss) fault(r, QStringLiteral("missed though the engine was back within three minutes"));
            if (!missedLine && !can.canRun) fault(r, QStringLiteral("passed over without a line though more than three minutes late"));
        } else if (a.interrupted == 1) {
            interrupted += 1;
            interruptedSent += a.delivered;
            if (!a.refusals.isEmpty()) fault(r, QStringLiteral("interrupted and refused: ") + seen);
        } else if (a.sent == 1) {
            if (a.delivered != 1) fault(r, QStringLiteral("logged as sent, not received: ") + seen);
            if (!a.refusals.isEmpty()) fault(r, QStringLiteral("sent and refused: ") + seen);
            if (!can.canRun) fault(r, QStringLiteral("ran more than three minutes late"));
            ranInTime += 1;
        } else if (a.refusals.size() == 1) {
            if (a.delivered) fault(r, QStringLiteral("refused, yet received: ") + seen);
            if (missedLine) {
                missed += 1;
                if (!can.canMiss) fault(r, QStringLiteral("missed though the engine was back within three minutes"));
            } else {
                refused += 1;
                reasons[a.refusals.first()] += 1;
            }
        } else {
            fault(r, QStringLiteral("not accounted for: ") + seen);
        }
    }
    // Ran late: its line a few seconds or more after its due second.
    for (const PlannedRow& r : plan.rows) {
        const Account& a = acc[r.number];
        if (a.sent == 1 && a.interrupted == 0 && a.sentAt.isValid() && r.at.addSecs(r.delay).secsTo(a.sentAt) >= 3) {
            ranLate += 1;
            ranInTime -= 1;
        }
    }

    // The database as the engine and the editor left it.
    int onceLeft = 0, editsLost = 0;
    for (const PlannedRow& r : plan.rows) {
        const Edit* e = editOf.count(r.number) ? editOf[r.number] : nullptr;
        const QString where = QStringLiteral(" FROM Automation WHERE Number = %1").arg(r.number);
        const int present = folder.query(QStringLiteral("SELECT COUNT(*)") + where).toInt();
        const int active = folder.query(QStringLiteral("SELECT Active") + where).toInt();
        const QString title = folder.query(QStringLiteral("SELECT Title") + where).toString();
        if (isOnce(r.kind) && !e) {
            if (present) {
                onceLeft += 1;
                fault(r, QStringLiteral("the one-time row is still there"));
            }
            continue;
        }
        if (!present) {
            fault(r, QStringLiteral("row deleted"));
            if (e) editsLost += 1;
            continue;
        }
        const int wantActive = e && e->kind == EditKind::SkipOff ? 0 : 1;
        const QString wantTitle = r.title() + (e && e->kind == EditKind::Rename ? QStringLiteral(" renamed") : QString());
        if (active != wantActive || title != wantTitle) {
            fault(r, QStringLiteral("row ends Active %1 \"%2\", not Active %3 \"%4\"").arg(active).arg(title).arg(wantActive).arg(wantTitle));
            if (e) editsLost += 1;
        }
    }
    // Each start after a kill says so right after its "Program Start" (unless it was killed
    // before it could), and no other line says it.
    const auto starts = ByStart(all);
    int toldOfKills = 0, previousMisplaced = 0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const auto& lines = starts[i];
        for (std::size_t k = 0; k < lines.size(); ++k) {
            if (!lines[k].text.startsWith(kPreviousRunPrefix)) continue;
            toldOfKills += 1;
            if (k != 1 || i == 0 || starts[i - 1].back().text == QLatin1String("Program Exit") ||
                !StampWithin(lines[k].text.mid(kPreviousRunPrefix.size()), plan.segments.front().start, FakedMoment(QDate(2026, 12, 17), QTime(0, 0))))
                previousMisplaced += 1;
        }
        if (i > 0 && lines.size() > 1 && starts[i - 1].back().text != QLatin1String("Program Exit") &&
            !lines[1].text.startsWith(kPreviousRunPrefix))
            previousMisplaced += 1;
    }

    QString refusalText;
    for (auto it = reasons.begin(); it != reasons.end(); ++it)
        refusalText += QStringLiteral(" %1 x%2;").arg(it.key()).arg(it.value());
    std::map<EditKind, int> editCounts;
    for (const Edit& e : editor.edits) editCounts[e.kind] += 1;
    const QString figures =
        QStringLiteral(
            "seed %1; wall %2 s; starts %3, kills %4 (%5 in a message's second after sending, %6 "
            "during start-up), died on its own %7, last exit in order %8\n"
            "occurrences %9: ran %10 (late %11), missed %12, refused %13, interrupted %14 (%15 had "
            "sent), skipped %16, switched off %17; refusals:")
            .arg(seed)
            .arg(wallMs / 1000.0, 0, 'f', 1)
            .arg(engine.starts)
            .arg(kills)
            .arg(killsInAMessage)
            .arg(killsAtStartUp)
            .arg(diedOnItsOwn)
            .arg(exitedInOrder ? QStringLiteral("yes") : QStringLiteral("no"))
            .arg(plan.rows.size())
            .arg(ranInTime + ranLate)
            .arg(ranLate)
            .arg(missed)
            .arg(refused)
            .arg(interrupted)
            .arg(interruptedSent)
            .arg(skipped)
            .arg(inactive) +
        refusalText + QLatin1Char('\n') +
        QStringLiteral(
            "locks held %1 (%2 immediate, %3 exclusive, longest %4 ms, %5 refused busy); edits %6 "
            "(%7 skips off, %8 one-time to weekly, %9 titles)\n"
            "kills told at the next start %10, misplaced %11; one-time rows left %12 (deletes owed at the last exit %16); "
            "edits lost %13; faults %14; stray lines %15\n")
            .arg(editor.immediateHolds + editor.exclusiveHolds)
            .arg(editor.immediateHolds)
            .arg(editor.exclusiveHolds)
            .arg(editor.longestHoldMs)
            .arg(editor.busyRefusals)
            .arg(editor.edits.size())
            .arg(editCounts[EditKind::SkipOff])
            .arg(editCounts[EditKind::OnceToWeekly])
            .arg(editCounts[EditKind::Rename])
            .arg(toldOfKills)
            .arg(previousMisplaced)
            .arg(onceLeft)
            .arg(editsLost)
            .arg(faults.size())
            .arg(stray.size())
            .arg(owedAtExit.size());
    std::fputs(figures.toUtf8().constData(), stdout);
    QFile summary(QStringLiteral(TARVO_BINARY_DIR "/soak/crash/summary.txt"));
    if (summary.open(QIODevice::WriteOnly)) summary.write(figures.toUtf8() + faults.join('\n').toUtf8() + '\n');

    EXPECT_EQ(diedOnItsOwn, 0);
    EXPECT_TRUE(exitedInOrder);
    EXPECT_GE(kills, 30);
    EXPECT_EQ(all.empty() ? QString() : all.back().text, QStringLiteral("Program Exit"));
    EXPECT_TRUE(faults.isEmpty()) << faults.mid(0, 40).join('\n').toStdString();
    EXPECT_TRUE(stray.isEmpty()) << stray.mid(0, 20).join('\n').toStdString();
    EXPECT_EQ(previousMisplaced, 0);
    EXPECT_GE(toldOfKills, kills - killsAtStartUp);
    EXPECT_LE(toldOfKills, kills);
}

}  // namespace
}  // namespace tarvo::test
