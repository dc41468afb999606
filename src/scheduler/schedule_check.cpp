#include "scheduler/schedule_check.h"

#include <QFileInfo>
#include <QHash>
#include <QStringList>

#include "scheduler/actions.h"
#include "scheduler/conditions.h"
#include "scheduler/row_number.h"
#include "scheduler/time_arith.h"
#include "scheduler/trigger_cycles.h"
#include "store/load_database.h"
#include "switcher/peer_messages.h"
#include "uploads/system_change.h"

namespace tarvo {

namespace {

bool switcherNumber(int n) {
    return n >= 1 && n <= kMaxSwitcherNumber;
}

// What a number outside the switcher's range is called in a problem's text.
QString outside(const char* what, int n) {
    return QStringLiteral("%1 %2 is outside 1 to %3")
        .arg(QLatin1String(what))
        .arg(n)
        .arg(kMaxSwitcherNumber);
}

class RowFindings {
  public:
    RowFindings(const AutomationEvent& ev, std::vector<RowProblem>& out) : ev_(ev), out_(out) {}

    // The engine says nothing: the row just never runs.
    void neverRuns(const QString& why) { add(ev_.Title + QStringLiteral(": never runs - ") + why); }
    // The engine's refusal line (`refusal` is what it writes after the title), and what makes it
    // so when the line does not say.
    void refused(const QString& refusal, const QString& why = QString()) {
        add(ev_.Title + refusal +
            (why.isEmpty() ? QString() : QStringLiteral(" (") + why + QLatin1Char(')')));
    }
    void add(const QString& text) { out_.push_back({ev_.Number, ev_.Title, text}); }
    void warn(const QString& text) { out_.push_back({ev_.Number, ev_.Title, text, true}); }

  private:
    const AutomationEvent& ev_;
    std::vector<RowProblem>& out_;
};

void checkWhen(const AutomationEvent& ev, RowFindings& f) {
    if (!IsWeekday(ev.Day)) f.neverRuns(QStringLiteral("Day %1 is no day of the week").arg(ev.Day));
    // A Type above the last kind is read as timed; one below 0 is no kind at all.
    if (ev.Type < kTimed) f.neverRuns(QStringLiteral("Type %1 is no kind of event").arg(ev.Type));
    if (ev.Type != kTimed) return;
    if (ev.Time == kNotOnTheClock)
        f.neverRuns(QStringLiteral("Time %1 is not on the clock").arg(ev.Time));
    else if (!EventSeconds(ev.Time.view()))
        f.neverRuns(QStringLiteral("Time \"%1\" is not a time of day").arg(ev.Time));
    // The timed runner runs only these; a triggered run takes any other value for active.
    if (ev.Active < kInactive || ev.Active > kRunOnce)
        f.neverRuns(
            QStringLiteral("Active %1 is none of 0 inactive, 1 active, 2 skip next, 3 run once")
                .arg(ev.Active));
}

void checkTrigger(const AutomationEvent& ev, RowFindings& f) {
    switch (ev.Type) {
        case kOptoOn:
        case kOptoOff:
            if (!switcherNumber(ev.Opto)) f.neverRuns(outside("opto", ev.Opto));
            return;
        case kRelayOn:
        case kRelayOff:
            if (!switcherNumber(ev.Opto)) f.neverRuns(outside("relay", ev.Opto));
            return;
        case kCrosspointTrigger:
            if (ev.tControl < 1 || ev.tControl > 4) {
                f.neverRuns(
                    QStringLiteral("tControl %1 names no crosspoint change").arg(ev.tControl));
                return;
            }
            // 1 and 2 watch one source; 3 and 4 the output as a whole.
            if (ev.tControl <= 2 && !switcherNumber(ev.TriggerSource))
                f.neverRuns(outside("source", ev.TriggerSource));
            if (!switcherNumber(ev.TriggerDest)) f.neverRuns(outside("output", ev.TriggerDest));
            return;
        default:
            return;
    }
}

// A condition on a number the switcher cannot have never holds: the run is refused every time.
void checkCondition(int selector, int source, int dest, int relay, int opto, RowFindings& f) {
    QString why;
    switch (selector) {
        case 1:
        case 2:
            if (!switcherNumber(source))
                why = outside("source", source);
            else if (!switcherNumber(dest))
                why = outside("output", dest);
            break;
        case 3:
        case 4:
            if (!switcherNumber(relay)) why = outside("relay", relay);
            break;
        case 5:
        case 6:
            if (!switcherNumber(opto)) why = outside("opto", opto);
            break;
        default:
            break;
    }
    if (!why.isEmpty()) f.refused(ConditionRefusal(selector), QStringLiteral("every time: ") + why);
}

// Whether the row has any action at all.
bool checkActions(const AutomationEvent& ev, const QString& appFolder, RowFindings& f) {
    bool any = false;
    for (ActionKind action : kActionOrder) {
        if (!HasAction(ev, action)) continue;
        any = true;
        if (const ActionRefusal r = CheckOperands(ev, action); !r.refusal.isEmpty()) {
            f.refused(kNotExecuted + r.refusal, r.why);
            continue;
        }
        if (action == ActionKind::Message) {
            const std::optional<TarvoError> failure = MessageFailure(appFolder, ev);
            if (!failure) {
                // The device may be there only on the machine the engine runs on.
                const QString path = ev.mtype == kTransportSerial ? SerialPortPath(appFolder, ev.MCommPort + 1) : QString();
                if (!path.isEmpty() && !QFileInfo::exists(path))
                    f.warn(ev.Title + QStringLiteral(": message sent only where COM%1 exists - %2 is not on this machine")
                                          .arg(ev.MCommPort + 1)
                                          .arg(path));
                continue;
            }
            // Only a timed run on the spot logs the refusal; others leave it to the error log.
            if (ev.Type == kTimed && ev.Delay == 0)
                f.refused(kNotExecuted + kUnableToSend, failure->description());
            else
                f.add(ev.Title + QStringLiteral(": message never sent - ") +
                      failure->description());
        } else if (action == ActionKind::SystemChange) {
            if (const std::optional<QString> problem = ConfigFileProblem(appFolder, ev))
                f.refused(kNotExecuted + kInvalidFile, *problem);
        }
    }
    return any;
}

// "<Title>: rows 7 and 8 trigger one another without end through their crosspoint actions"
QString cycleText(const std::vector<AutomationEvent>& rows, const std::vector<int>& cycle) {
    QStringList numbers;
    for (int i : cycle) numbers << QString::number(rows[static_cast<std::size_t>(i)].Number);
    const QString last = numbers.takeLast();
    return rows[static_cast<std::size_t>(cycle.front())].Title +
           QStringLiteral(
               ": rows %1 and %2 trigger one another without end through their crosspoint actions")
               .arg(numbers.join(QStringLiteral(", ")), last);
}

}  // namespace

std::vector<RowProblem> CheckSchedule(const std::vector<AutomationEvent>& rows,
                                      const QString& appFolder) {
    std::vector<RowProblem> problems;
    QHash<int16_t, int> numbers;
    for (std::size_t i = 0; i < rows.size() && i < kMaxEvents; ++i)
        if (IsRowNumber(rows[i].Number)) ++numbers[rows[i].Number];

    for (std::size_t i = 0; i < rows.size(); ++i) {
        const AutomationEvent& ev = rows[i];
        RowFindings f(ev, problems);
        if (i >= kMaxEvents) {
            f.neverRuns(QStringLiteral("only the first %1 rows in Number order are loaded")
                            .arg(kMaxEvents));
            continue;
        }
        // Left out by the load: nothing else about the row matters.
        if (const QString why = RowNumberProblem(ev); !why.isEmpty()) {
            f.neverRuns(why);
            continue;
        }
        // The editing tool reads these as 0 too: a Day of 'Wednesday' is Monday.
        if (!ev.Unreadable.isEmpty())
            f.add(ev.Title + QStringLiteral(": ") + ev.Unreadable + QStringLiteral(", which is no number here: read as 0"));
        const std::size_t found = problems.size();
        checkWhen(ev, f);
        checkTrigger(ev, f);
        checkCondition(ev.Condition, ev.ReqSource, ev.ReqDest, ev.ReqRelay, ev.ReqOpto, f);
        checkCondition(ev.Condition2, ev.ReqSource2, ev.ReqDest2, ev.ReqRelay2, ev.ReqOpto2, f);
        // Said only of a row that would otherwise run: one that never runs has its reason.
        if (!checkActions(ev, appFolder, f) && problems.size() == found)
            f.add(ev.Title + QStringLiteral(": does nothing - no action is set"));
        // The engine finds its own row again by Number: its delete or re-arm reaches every row
        // that shares it.
        if (numbers.value(ev.Number) > 1 && (ev.Active == kRunOnce || ev.Active == kSkipNext))
            f.add(ev.Title +
                  QStringLiteral(": Number %1 is shared with another row, which %2 too")
                      .arg(ev.Number)
                      .arg(ev.Active == kRunOnce
                               ? QStringLiteral("the delete after its run removes")
                               : QStringLiteral("the re-arm after its skip makes active")));
    }
    for (const std::vector<int>& cycle : CrosspointTriggerCycles(rows))
        RowFindings(rows[static_cast<std::size_t>(cycle.front())], problems)
            .add(cycleText(rows, cycle));
    return problems;
}

QStringList CheckSettings(const EngineSettings& settings) {
    QStringList out;
    if (settings.IPAddr.isEmpty() || settings.IPAddr == QLatin1String("0.0.0.0"))
        out << QStringLiteral("the switcher's address is not set (Server IPAddr %1): the engine never connects")
                   .arg(settings.IPAddr.isEmpty() ? QStringLiteral("empty") : settings.IPAddr);
    return out;
}

}  // namespace tarvo
