// Shared pieces of the tests: a recording window, temporary program folders and databases built
// from the schema in docs/, and an engine on the manual clock.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include "base/clock.h"
#include "base/status_view.h"
#include "base/task.h"
#include "engine/clock_watch.h"
#include "engine/engine.h"

// Readable QString output in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace tarvo::test {

// Resident memory says nothing under the address sanitizer: its quarantine and shadow keep freed
// blocks, so bounds on a process's growth are checked only in the plain build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeasurable = false;
#else
constexpr bool kResidentMemoryMeasurable = true;
#endif

// Records everything the engine shows.
class RecordingView : public StatusView {
public:
    struct History {
        ListLine line;
        bool red;
    };
    void setCaption(const QString& c) override { captions.push_back(c); }
    void setIcon(LinkIcon i) override { icons.push_back(i); }
    void setStatusPanel(int panel, const QString& text) override { panels[panel] = text; }
    void addHistoryLine(const ListLine& line, bool red) override { history.push_back({line, red}); }
    void showNextEvent(const ListLine& line) override { next.push_back(line); }
    void showError(const QString& text, const QString& caption) override { errors << caption + ": " + text; }
    void minimise() override { minimised = true; }

    QString caption() const { return captions.empty() ? QString() : captions.back(); }
    ListLine nextLine() const { return next.empty() ? ListLine{} : next.back(); }
    QStringList historyTitles() const;

    std::vector<QString> captions;
    std::vector<LinkIcon> icons;
    QMap<int, QString> panels;
    std::vector<History> history;
    std::vector<ListLine> next;
    QStringList errors;
    bool minimised = false;
};

// One Automation row as column values; columns not given are Null.
using Row = QMap<QString, QVariant>;

// The kernel's clock state as a test sets it: each read() answers what `answer` holds then, and
// counts the question.
struct SetClockSync : ClockSyncSource {
    explicit SetClockSync(std::shared_ptr<ClockSync> a, std::shared_ptr<int> r = std::make_shared<int>(0))
        : answer(std::move(a)), reads(std::move(r)) {}
    ClockSync read() override {
        ++*reads;
        return *answer;
    }
    std::shared_ptr<ClockSync> answer;
    std::shared_ptr<int> reads;
};

// A program folder in a temporary directory.
class Folder {
public:
    Folder();
    // With TARVO_FUZZ_SEEDS set, leaves the database as the test left it in
    // <folder>/loader-db/, for fuzz_seeds to turn into the loader target's corpus.
    ~Folder();
    QString path() const { return dir_.path() + QLatin1Char('/'); }
    QString file(const QString& name) const { return path() + name; }
    // Creates TarvoAutomation.mdb from docs/TarvoAutomation.sql and adds the rows.
    void createDatabase(const std::vector<Row>& rows = {}) const;
    // Runs SQL on the database.
    void sql(const QString& statement) const;
    // Reads one value of the first row of a query (empty QVariant for Null / no row).
    QVariant query(const QString& statement) const;
    QStringList activityLines() const;  // the message part of each Tally.dat line after the banner
    QStringList errorLines() const;     // the message part (column 60 on) of each error line
    QString read(const QString& name) const;

private:
    QTemporaryDir dir_;
};

void InsertRows(const QString& dbPath, const std::vector<Row>& rows);

// A timed event row with the usual defaults of the editing tool.
Row TimedRow(int number, int day, const QString& time, const QString& title, int active = 1);

// An engine on a manual clock in a temporary folder. Runs that wait are resumed as the clock is
// moved on; before each wait ends, the loop gets a turn so real sockets deliver their data.
struct Harness {
    explicit Harness(const QDateTime& start);
    Harness(const QDateTime& start, const QTimeZone& zone);
    Folder folder;
    ManualClock clock;
    RecordingView view;
    std::unique_ptr<Engine> engine;
    Engine& e() { return *engine; }
    Scheduler& s() { return engine->scheduler; }
    SwitcherLink& master() { return engine->switcher.master(); }
    SwitcherLink& slave() { return engine->switcher.slave(); }
    // Both link flags of the master up, as if its switcher had answered.
    void online();
    // Start-up without a timer: the harness ticks by hand.
    void startUp();
    // Advances the clock by 500 ms and runs one tick, `count` times.
    void tick(int count = 1);
    // Runs ticks until the clock reaches `until` (as a local reading).
    void runUntil(const QDateTime& until);
    // Runs ticks for `ms` of elapsed time, whatever the local clock reads meanwhile.
    void runFor(int64_t ms);
    // Starts `run` as a run of the engine and moves the clock on until every run has ended
    // (at most `limitMs`). No tick runs meanwhile.
    void run(Task<> run, int64_t limitMs = 600000);
    // Moves the clock on until every run has ended (at most `limitMs`); no tick runs.
    void settle(int64_t limitMs = 600000);
    // Moves the clock on by `ms`, waits ending on the way; no tick runs.
    void advance(int64_t ms);
    // The clock when each history line appeared (filled by tick()).
    std::vector<QDateTime> historyAt;

private:
    void noteHistory();
};

// Runs a task to its end on the manual clock (for senders and other tasks that are not runs).
template <typename T>
T RunToEnd(Harness& h, Task<T> task) {
    std::optional<T> out;
    h.run([](Task<T> t, std::optional<T>& o) -> Task<> { o = co_await std::move(t); }(std::move(task), out));
    return std::move(*out);
}
inline void RunToEnd(Harness& h, Task<> task) { h.run(std::move(task)); }

// A date-time on a given weekday (0 Monday) of a fixed week, at h:m:s.
QDateTime WeekMoment(int day, int h, int m, int s = 0, int ms = 0);

}  // namespace tarvo::test
