#include "scheduler/schedule_preview.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "scheduler/actions.h"
#include "scheduler/occurrence.h"
#include "scheduler/row_number.h"
#include "scheduler/time_arith.h"
#include "scheduler/triggered.h"
#include "store/load_database.h"
#include "switcher/peer_content.h"
#include "uploads/config_common.h"
#include "uploads/inhibits_file.h"

namespace tarvo {

namespace {

QString n(int v) {
    return QString::number(v);
}

// Indexed by the selector minus one, as the switcher's commands are.
const char* const kCrosspointWords[] = {"take",          "sum on",          "sum off",
                                        "priority take", "priority sum on", "priority sum off"};
const char* const kRelayWords[] = {"latch", "release", "momentary"};
const char* const kOptoWords[] = {"on", "off"};

template <std::size_t N>
QString pick(const char* const (&words)[N], int selector) {
    if (selector < 1 || selector > static_cast<int>(N)) return QString();
    return QLatin1String(words[selector - 1]);
}

QString uploadWords(const AutomationEvent& ev) {
    const QString from = QStringLiteral(" from ") + ev.FileName;
    switch (ev.FileType) {
        case kFileInputAlphas:
            return QStringLiteral("upload input alphas") + from;
        case kFileOutputAlphas:
            return QStringLiteral("upload output alphas") + from;
        case kFileOptoAlphas:
            return QStringLiteral("upload opto alphas") + from;
        case kFileRelayAlphas:
            return QStringLiteral("upload relay alphas") + from;
        case kFileInhibits:
            return QStringLiteral("upload inhibits") +
                   (InhibitsSingleRow(ev.FileChannel1)
                        ? QStringLiteral(" of output ") + n(ev.FileChannel1)
                        : QString()) +
                   from;
        case kFileSalvos:
            return QStringLiteral("upload salvos") + from;
        case kFileButtons:
            return QStringLiteral("upload buttons") +
                   (ev.Template != 0 ? QStringLiteral(" of template ") + n(ev.Template)
                                     : QString()) +
                   from;
        case kFileInputDisplayLists:
            return QStringLiteral("upload input display lists") + from;
        case kFileOutputDisplayLists:
            return QStringLiteral("upload output display lists") + from;
        case kFileRelayConfig:
            return QStringLiteral("upload relay configuration") + from;
        case kFileModuleConfig:
            return QStringLiteral("upload module configuration of frame %1 slot %2")
                       .arg(ev.FFrame)
                       .arg(ev.FSlot) +
                   from;
        case kFileConsoleConfig:
            return QStringLiteral("upload console configuration of console ") + n(ev.Template) +
                   from;
        default:
            return QStringLiteral("upload of FileType %1, which loads nothing").arg(ev.FileType);
    }
}

QString messageWords(const AutomationEvent& ev) {
    QString how;
    switch (ev.mtype) {
        case kTransportTcp:
            how = QStringLiteral("TCP message to %1:%2").arg(ev.MIPAddress).arg(ev.MIPPort);
            break;
        case kTransportUdp:
            how = QStringLiteral("UDP message to %1:%2").arg(ev.MIPAddress).arg(ev.MIPPort);
            break;
        case kTransportSerial:
            how = QStringLiteral("serial message on COM%1 at %2")
                      .arg(ev.MCommPort + 1)
                      .arg(BaudRateText(ev.MBaudRate));
            break;
        case kTransportSwitcher:
            how = QStringLiteral("message through the switcher, which is not sent");
            break;
        default:
            how = QStringLiteral("message by transport %1, which is not sent").arg(ev.mtype);
            break;
    }
    switch (ev.mcontrol) {
        case kMessageText:
            return how + QStringLiteral(": \"") + ev.Message + QLatin1Char('"');
        case kMessageFile:
            return how + QStringLiteral(": file ") + ev.Message;
        case kMessageDecodedFile:
            return how + QStringLiteral(": file ") + ev.Message +
                   QStringLiteral(", carets decoded");
        default:
            return how + QStringLiteral(": nothing (message kind %1)").arg(ev.mcontrol);
    }
}

QString actionWords(const AutomationEvent& ev, ActionKind action) {
    switch (action) {
        case ActionKind::Crosspoint: {
            const QString verb = pick(kCrosspointWords, ev.xcontrol);
            if (verb.isEmpty())
                return QStringLiteral("crosspoint command %1, which sends nothing")
                    .arg(ev.xcontrol);
            return QStringLiteral("%1 %2 to %3").arg(verb).arg(ev.SourceChan).arg(ev.DestChan);
        }
        case ActionKind::Salvo:
            return QStringLiteral("salvo ") + n(ev.Salvo);
        case ActionKind::Relay: {
            const QString verb = pick(kRelayWords, ev.rcontrol);
            if (verb.isEmpty())
                return QStringLiteral("relay command %1, which sends nothing").arg(ev.rcontrol);
            return QStringLiteral("%1 relay %2").arg(verb).arg(ev.Relay);
        }
        case ActionKind::Opto: {
            const QString state = pick(kOptoWords, ev.ocontrol);
            if (state.isEmpty())
                return QStringLiteral("opto command %1, which sends nothing").arg(ev.ocontrol);
            return QStringLiteral("opto %1 %2").arg(ev.OptoOut).arg(state);
        }
        case ActionKind::SourceSelect:
            return QStringLiteral("source select %1 on device %2")
                .arg(ev.ssSource)
                .arg(ev.ssDeviceID);
        case ActionKind::Gain:
            switch (ev.vcontrol) {
                case 1:
                    return QStringLiteral("gain of channel %1 to %2").arg(ev.VChan).arg(ev.Gain);
                case 2:
                    return QStringLiteral("gain of destination channel %1 to %2")
                        .arg(ev.VChan)
                        .arg(ev.Gain);
                case 3:
                    return QStringLiteral("pan of device %1 to %2").arg(ev.VChan).arg(ev.Gain);
                default:
                    return QStringLiteral("gain command %1, which sends nothing").arg(ev.vcontrol);
            }
        case ActionKind::RelayAssociation:
            return QStringLiteral("associate relay %1 with opto %2").arg(ev.rcRelay).arg(ev.rcOpto);
        case ActionKind::Message:
            return messageWords(ev);
        case ActionKind::SystemChange:
            return uploadWords(ev);
    }
    return QString();
}

QString conditionWords(int selector, int source, int dest, int relay, int opto) {
    switch (selector) {
        case 1:
            return QStringLiteral("if source %1 is on output %2").arg(source).arg(dest);
        case 2:
            return QStringLiteral("if source %1 is not on output %2").arg(source).arg(dest);
        case 3:
            return QStringLiteral("if relay %1 is on").arg(relay);
        case 4:
            return QStringLiteral("if relay %1 is off").arg(relay);
        case 5:
            return QStringLiteral("if opto %1 is on").arg(opto);
        case 6:
            return QStringLiteral("if opto %1 is off").arg(opto);
        default:
            return QString();
    }
}

QString triggerWords(const AutomationEvent& ev) {
    switch (ev.Type) {
        case kOptoOn:
            return QStringLiteral("opto %1 on").arg(ev.Opto);
        case kOptoOff:
            return QStringLiteral("opto %1 off").arg(ev.Opto);
        case kRelayOn:
            return QStringLiteral("relay %1 on").arg(ev.Opto);
        case kRelayOff:
            return QStringLiteral("relay %1 off").arg(ev.Opto);
        default:
            break;
    }
    switch (ev.tControl) {
        case 1:
            return QStringLiteral("source %1 to output %2")
                .arg(ev.TriggerSource)
                .arg(ev.TriggerDest);
        case 2:
            return QStringLiteral("source %1 off output %2")
                .arg(ev.TriggerSource)
                .arg(ev.TriggerDest);
        case 3:
            return QStringLiteral("output %1 gets its first source").arg(ev.TriggerDest);
        case 4:
            return QStringLiteral("output %1 loses its last source").arg(ev.TriggerDest);
        default:
            return QStringLiteral("crosspoint change %1 of output %2, which never comes")
                .arg(ev.tControl)
                .arg(ev.TriggerDest);
    }
}

// The order the trigger groups are listed in: optos, relays, crosspoints, each by number.
std::tuple<int, int, int, int> triggerOrder(const AutomationEvent& ev) {
    switch (ev.Type) {
        case kOptoOn:
        case kOptoOff:
            return {0, ev.Opto, 0, ev.Type};
        case kRelayOn:
        case kRelayOff:
            return {1, ev.Opto, 0, ev.Type};
        default:
            return {2, ev.TriggerDest, ev.tControl, ev.TriggerSource};
    }
}

PreviewRow previewRow(const AutomationEvent& ev) {
    return PreviewRow{ev.Number, ev.Title, ev.Time,         ev.Day,
                      ev.Active, ev.Delay, ActionWords(ev), ConditionWords(ev)};
}

}  // namespace

QStringList ActionWords(const AutomationEvent& ev) {
    QStringList out;
    for (ActionKind action : kActionOrder) {
        if (!HasAction(ev, action)) continue;
        const QString refusal = OperandRefusal(ev, action);
        out << actionWords(ev, action) +
                   (refusal.isEmpty() ? QString() : QStringLiteral(", refused: ") + refusal);
    }
    return out;
}

QStringList ConditionWords(const AutomationEvent& ev) {
    QStringList out;
    for (const QString& words :
         {conditionWords(ev.Condition, ev.ReqSource, ev.ReqDest, ev.ReqRelay, ev.ReqOpto),
          conditionWords(ev.Condition2, ev.ReqSource2, ev.ReqDest2, ev.ReqRelay2, ev.ReqOpto2)})
        if (!words.isEmpty()) out << words;
    return out;
}

QDateTime LocalMoment(const SchedulePreview& p, const QDateTime& at) {
    return p.zone == QTimeZone::utc() ? at.toUTC() : at.toTimeZone(p.zone);
}

SchedulePreview PreviewSchedule(const std::vector<AutomationEvent>& rows, const QDateTime& from,
                                int days, const QTimeZone& zone) {
    SchedulePreview p;
    p.zone = zone;
    p.from = from.toUTC();
    p.to = LocalMoment(p, p.from).addDays(std::clamp(days, 0, kMaxPreviewDays)).toUTC();

    // The engine's table: the rows it loads and keeps, in running order (ties between occurrences
    // of one moment go by it).
    std::vector<AutomationEvent> table(
        rows.begin(),
        rows.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(rows.size(), kMaxEvents)));
    TakeOutUnnumberedRows(table);
    SortEvents(table);
    p.rows.reserve(table.size());
    for (const AutomationEvent& ev : table) p.rows.push_back(previewRow(ev));

    // The decisions as time passes: a one-time row is gone after its first occurrence, a skip
    // row runs from its second one on. A delayed run goes to the queue, due its delay later.
    std::vector<bool> gone(table.size(), false);
    std::vector<int16_t> active(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) active[i] = table[i].Active;
    std::vector<TimedEntry> queued;
    ForEachOccurrence(table, {}, p.from, p.to, zone, [&](const Occurrence& o) {
        const auto i = static_cast<std::size_t>(o.index);
        if (gone[i]) return true;
        TimedEntry e{o.at, o.index};
        switch (active[i]) {
            case kInactive:
                e.state = PreviewState::Inactive;
                break;
            case kActive:
                break;
            case kSkipNext:
                e.state = PreviewState::Skipped;
                active[i] = kActive;
                break;
            case kRunOnce:
                e.lastRun = true;
                gone[i] = true;
                break;
            default:
                e.state = PreviewState::NotRun;
                break;
        }
        if (e.state == PreviewState::Runs && table[i].Delay != 0) {
            // A delay below zero is due at once, from the queue all the same.
            e.delayed = std::max<int>(table[i].Delay, 0);
            e.at = o.at.addSecs(e.delayed);
            e.fromQueue = true;
            if (e.at <= p.to) queued.push_back(e);
        } else {
            p.timed.push_back(e);
        }
        return true;
    });
    // The queue is kept in order of the due moment, queuing order for equal ones; at one moment
    // the timed run goes before the queue.
    std::stable_sort(queued.begin(), queued.end(),
                     [](const TimedEntry& a, const TimedEntry& b) { return a.at < b.at; });
    std::vector<TimedEntry> merged;
    merged.reserve(p.timed.size() + queued.size());
    std::merge(p.timed.begin(), p.timed.end(), queued.begin(), queued.end(),
               std::back_inserter(merged),
               [](const TimedEntry& a, const TimedEntry& b) { return a.at < b.at; });
    p.timed = std::move(merged);

    // Triggered rows by trigger, each group by day and, within a day, in the order the trigger
    // starts them: the order of its table.
    using Kind = bool (*)(const AutomationEvent&);
    const std::pair<Kind, int16_t AutomationEvent::*> tables[] = {
        {[](const AutomationEvent& e) { return e.Type == kOptoOn || e.Type == kOptoOff; },
         &AutomationEvent::Opto},
        {[](const AutomationEvent& e) { return e.Type == kRelayOn || e.Type == kRelayOff; },
         &AutomationEvent::Opto},
        {[](const AutomationEvent& e) { return e.Type == kCrosspointTrigger; },
         &AutomationEvent::TriggerDest},
    };
    std::map<std::tuple<int, int, int, int>, std::vector<int>> groups;
    for (const auto& [kind, key] : tables) {
        std::vector<int> picked;
        std::vector<AutomationEvent> entries;
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (!kind(table[i])) continue;
            picked.push_back(static_cast<int>(i));
            entries.push_back(table[i]);
        }
        for (int k : TriggerListOrder(entries, key)) {
            const int i = picked[static_cast<std::size_t>(k)];
            groups[triggerOrder(table[static_cast<std::size_t>(i)])].push_back(i);
        }
    }
    for (auto& [order, members] : groups) {
        // A day that is none comes last.
        const auto dayOf = [&](int i) {
            const int16_t day = table[static_cast<std::size_t>(i)].Day;
            return IsWeekday(day) ? day : 7;
        };
        std::stable_sort(members.begin(), members.end(),
                         [&](int a, int b) { return dayOf(a) < dayOf(b); });
        p.triggered.push_back(
            {triggerWords(table[static_cast<std::size_t>(members.front())]), std::move(members)});
    }
    return p;
}

namespace {

QString conditionsWord(const PreviewRow& row) {
    return row.conditions.size() == 1 ? QStringLiteral("condition") : QStringLiteral("conditions");
}

}  // namespace

QString EntryNote(const SchedulePreview& p, const TimedEntry& e) {
    const PreviewRow& row = p.rows.at(static_cast<std::size_t>(e.row));
    QStringList notes;
    switch (e.state) {
        case PreviewState::Runs:
            break;
        case PreviewState::Skipped:
            notes << QStringLiteral("skipped; runs from the next time on");
            break;
        case PreviewState::Inactive:
            notes << QStringLiteral("inactive");
            break;
        case PreviewState::NotRun:
            notes << QStringLiteral("not run: Active %1").arg(row.active);
            break;
    }
    const QDateTime decided = e.at.addSecs(-e.delayed);
    if (e.fromQueue) {
        const QString from = LocalMoment(p, decided).toString(QStringLiteral("HH:mm:ss"));
        // The conditions are asked when the row is decided; the delayed run only acts.
        if (row.conditions.isEmpty())
            notes << QStringLiteral("delayed %1 s from %2").arg(e.delayed).arg(from);
        else
            notes << QStringLiteral("%1 checked at %2, run %3 s later")
                         .arg(conditionsWord(row), from)
                         .arg(e.delayed);
    }
    // A time the clock skips falls at the change.
    const std::optional<int> seconds = EventSeconds(row.time);
    if (seconds && LocalMoment(p, decided).time().msecsSinceStartOfDay() / 1000 != *seconds)
        notes << QStringLiteral("for %1, which the clock skips").arg(row.time);
    // A delay is elapsed time: it may end in the second pass of an hour the clock repeats.
    const QDateTime local = LocalMoment(p, e.at);
    if (OccurrenceInstant(local.date(), local.time().msecsSinceStartOfDay() / 1000, p.zone) < e.at)
        notes << QStringLiteral("the second time round the repeated hour");
    if (e.lastRun) notes << QStringLiteral("once, then deleted");
    return notes.join(QStringLiteral("; "));
}

QString TriggeredNote(const PreviewRow& row) {
    QStringList notes;
    switch (row.active) {
        case kInactive:
            notes << QStringLiteral("inactive");
            break;
        case kSkipNext:
            notes << QStringLiteral("skips its next trigger");
            break;
        case kRunOnce:
            notes << QStringLiteral("once, then deleted");
            break;
        default:
            break;
    }
    if (row.delay != 0) {
        const int delay = std::max<int>(row.delay, 0);
        if (row.conditions.isEmpty())
            notes << QStringLiteral("%1 s after the trigger").arg(delay);
        else
            notes << QStringLiteral("%1 checked at the trigger, run %2 s later")
                         .arg(conditionsWord(row))
                         .arg(delay);
    }
    return notes.join(QStringLiteral("; "));
}

}  // namespace tarvo
