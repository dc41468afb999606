#include "scheduler/schedule_report.h"

#include <algorithm>

#include <QJsonArray>
#include <QJsonObject>

#include "scheduler/time_arith.h"

namespace tarvo {

namespace {

QString stateWord(PreviewState s) {
    switch (s) {
        case PreviewState::Runs:
            return QStringLiteral("runs");
        case PreviewState::Skipped:
            return QStringLiteral("skipped");
        case PreviewState::Inactive:
            return QStringLiteral("inactive");
        case PreviewState::NotRun:
            return QStringLiteral("not run");
    }
    return QString();
}

// "take 5 to 12; salvo 3, if source 3 is on output 7 (once, then deleted)"
QString doesText(const PreviewRow& row, const QString& note) {
    QString text = row.actions.isEmpty() ? QStringLiteral("nothing to do")
                                         : row.actions.join(QStringLiteral("; "));
    if (!row.conditions.isEmpty())
        text += QStringLiteral(", ") + row.conditions.join(QStringLiteral(", "));
    if (!note.isEmpty()) text += QStringLiteral(" (") + note + QLatin1Char(')');
    return text;
}

QString dayName(int day) {
    return DayNameOf(day).toString().leftJustified(9);
}

QJsonObject rowJson(const PreviewRow& row) {
    return QJsonObject{{QStringLiteral("number"), row.number},
                       {QStringLiteral("title"), row.title},
                       {QStringLiteral("actions"), QJsonArray::fromStringList(row.actions)},
                       {QStringLiteral("conditions"), QJsonArray::fromStringList(row.conditions)}};
}

QString zoneName(const SchedulePreview& p) {
    return QString::fromUtf8(p.zone.id());
}

}  // namespace

std::size_t CountProblems(const std::vector<RowProblem>& problems, const QStringList& settings) {
    return static_cast<std::size_t>(settings.size()) +
           static_cast<std::size_t>(std::count_if(problems.begin(), problems.end(),
                                                  [](const RowProblem& p) { return !p.warning; }));
}

QString CheckText(const std::vector<RowProblem>& problems, std::size_t rows, const QStringList& settings) {
    QString out;
    for (const QString& problem : settings) out += QStringLiteral("Settings: %1\n").arg(problem);
    for (const RowProblem& problem : problems)
        out += QStringLiteral("Number %1: %2%3\n")
                   .arg(problem.number)
                   .arg(problem.warning ? QStringLiteral("warning: ") : QString(), problem.text);
    const auto count = [](std::size_t n, const char* one, const char* more) {
        return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : more));
    };
    const std::size_t n = CountProblems(problems, settings);
    out += (n == 0 ? QStringLiteral("No problems") : count(n, "problem", "problems")) +
           QStringLiteral(" in ") + count(rows, "row", "rows") + QLatin1Char('\n');
    return out;
}

QJsonDocument CheckJson(const std::vector<RowProblem>& problems, std::size_t rows, const QStringList& settings) {
    QJsonArray list;
    for (const RowProblem& problem : problems)
        list.append(QJsonObject{{QStringLiteral("number"), problem.number},
                                {QStringLiteral("title"), problem.title},
                                {QStringLiteral("text"), problem.text},
                                {QStringLiteral("warning"), problem.warning}});
    return QJsonDocument(QJsonObject{{QStringLiteral("rows"), static_cast<qint64>(rows)},
                                     {QStringLiteral("settings"), QJsonArray::fromStringList(settings)},
                                     {QStringLiteral("problems"), list}});
}

QString PreviewText(const SchedulePreview& p) {
    const QString moment = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    QString out = QStringLiteral("Timed events from %1 to %2 (%3)\n")
                      .arg(LocalMoment(p, p.from).toString(moment),
                           LocalMoment(p, p.to).toString(moment), zoneName(p));
    if (p.timed.empty()) out += QStringLiteral("  none\n");
    for (const TimedEntry& e : p.timed) {
        const PreviewRow& row = p.rows.at(static_cast<std::size_t>(e.row));
        const QDateTime local = LocalMoment(p, e.at);
        out +=
            QStringLiteral("%1 %2 %3  %4: %5\n")
                .arg(local.toString(QStringLiteral("yyyy-MM-dd")),
                     dayName(DayIndexOf(local.date())), local.toString(QStringLiteral("HH:mm:ss")),
                     row.title, doesText(row, EntryNote(p, e)));
    }
    out += QStringLiteral("\nTriggered events\n");
    if (p.triggered.empty()) out += QStringLiteral("  none\n");
    for (const TriggerGroup& g : p.triggered) {
        out += g.trigger + QLatin1Char('\n');
        for (int index : g.rows) {
            const PreviewRow& row = p.rows.at(static_cast<std::size_t>(index));
            out += QStringLiteral("  %1 %2: %3\n")
                       .arg(dayName(row.day), row.title, doesText(row, TriggeredNote(row)));
        }
    }
    return out;
}

QJsonDocument PreviewJson(const SchedulePreview& p) {
    QJsonArray timed;
    for (const TimedEntry& e : p.timed) {
        const PreviewRow& row = p.rows.at(static_cast<std::size_t>(e.row));
        const QDateTime local = LocalMoment(p, e.at);
        QJsonObject o = rowJson(row);
        o.insert(QStringLiteral("date"), local.toString(QStringLiteral("yyyy-MM-dd")));
        o.insert(QStringLiteral("day"), DayNameOf(DayIndexOf(local.date())).toString());
        o.insert(QStringLiteral("time"), local.toString(QStringLiteral("HH:mm:ss")));
        o.insert(QStringLiteral("at"), local.toString(Qt::ISODate));
        o.insert(QStringLiteral("state"), stateWord(e.state));
        o.insert(QStringLiteral("once"), e.lastRun);
        if (e.fromQueue) o.insert(QStringLiteral("delayed"), e.delayed);
        o.insert(QStringLiteral("note"), EntryNote(p, e));
        timed.append(o);
    }
    QJsonArray triggered;
    for (const TriggerGroup& g : p.triggered) {
        QJsonArray events;
        for (int index : g.rows) {
            const PreviewRow& row = p.rows.at(static_cast<std::size_t>(index));
            QJsonObject o = rowJson(row);
            o.insert(QStringLiteral("day"), DayNameOf(row.day).toString());
            o.insert(QStringLiteral("active"), row.active);
            o.insert(QStringLiteral("delay"), row.delay);
            o.insert(QStringLiteral("note"), TriggeredNote(row));
            events.append(o);
        }
        triggered.append(QJsonObject{{QStringLiteral("trigger"), g.trigger},
                                     {QStringLiteral("events"), events}});
    }
    return QJsonDocument(
        QJsonObject{{QStringLiteral("from"), LocalMoment(p, p.from).toString(Qt::ISODate)},
                    {QStringLiteral("to"), LocalMoment(p, p.to).toString(Qt::ISODate)},
                    {QStringLiteral("zone"), zoneName(p)},
                    {QStringLiteral("timed"), timed},
                    {QStringLiteral("triggered"), triggered}});
}

}  // namespace tarvo
