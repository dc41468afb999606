#include "scheduler/triggered.h"

#include <algorithm>
#include <functional>

#include <optional>

#include <QStringList>

#include "base/clock.h"
#include "base/metrics.h"
#include "logs/logs.h"
#include "scheduler/actions.h"
#include "scheduler/run_event.h"
#include "scheduler/scheduler.h"
#include "scheduler/time_arith.h"
#include "store/exchange_sort.h"
#include "switcher/output_map.h"

namespace tarvo {

namespace {

// Copies the events of the given kinds out of Events in the order of their table.
void buildList(Scheduler& s, TriggerTable table, const std::function<bool(const AutomationEvent&)>& wanted,
               int16_t AutomationEvent::*key) {
    auto& list = s.triggerTable(table);
    list.clear();
    std::vector<AutomationEvent> picked;
    for (const AutomationEvent& ev : s.Events)
        if (wanted(ev)) picked.push_back(ev);
    if (picked.empty()) return;
    list.reserve(picked.size());
    for (int i : TriggerListOrder(picked, key))
        list.push_back(std::move(picked[static_cast<std::size_t>(i)]));
}

}  // namespace

std::vector<int> TriggerListOrder(const std::vector<AutomationEvent>& entries,
                                  int16_t AutomationEvent::*key) {
    std::vector<int> order(entries.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
    const auto of = [&](int i) -> const AutomationEvent& {
        return entries[static_cast<std::size_t>(i)];
    };
    ExchangePass(order, 0, order.size(), [&](int a, int b) { return of(a).*key < of(b).*key; });
    ExchangePassWithinGroups(
        order, [&](int a, int b) { return of(a).*key == of(b).*key; },
        [&](int a, int b) { return of(a).Delay < of(b).Delay; });
    return order;
}

void BuildOptoEvents(Scheduler& s) {
    Guarded(s.logs, QStringLiteral("Error Processing Opto Events"), [&] {
        buildList(
            s, TriggerTable::Opto, [](const AutomationEvent& ev) { return ev.Type == kOptoOn || ev.Type == kOptoOff; },
            &AutomationEvent::Opto);
    });
}

void BuildRelayEvents(Scheduler& s) {
    Guarded(s.logs, QStringLiteral("Error Processing Relay Events"), [&] {
        buildList(
            s, TriggerTable::Relay, [](const AutomationEvent& ev) { return ev.Type == kRelayOn || ev.Type == kRelayOff; },
            &AutomationEvent::Opto);
    });
}

void BuildCrosspointEvents(Scheduler& s) {
    Guarded(s.logs, QStringLiteral("Error Processing Crosspoint Events"), [&] {
        // A new load is the operator's answer to rows stopped for triggering one another.
        s.loopStopped.clear();
        s.crosspointStarts.clear();
        s.CrosspointTriggerDests.clear();
        buildList(
            s, TriggerTable::Crosspoint, [](const AutomationEvent& ev) { return ev.Type == kCrosspointTrigger; },
            &AutomationEvent::TriggerDest);
        for (const AutomationEvent& ev : s.CrosspointEvents)
            if (s.CrosspointTriggerDests.empty() || ev.TriggerDest != s.CrosspointTriggerDests.back())
                s.CrosspointTriggerDests.push_back(ev.TriggerDest);
    });
}

bool WatchesDestination(const Scheduler& s, int dest) {
    return std::find(s.CrosspointTriggerDests.begin(), s.CrosspointTriggerDests.end(), dest) !=
           s.CrosspointTriggerDests.end();
}

namespace {

// Whether a crosspoint-triggered row may start now. Rows whose takes trigger one another would
// run for ever at the switcher's pace: a row started more than kLoopStartsPerSecond times within
// the last second stops, with every other row that started as often (its chain), until the next
// load; one error-log line names them.
bool mayStartAgain(Scheduler& s, const AutomationEvent& entry) {
    if (s.loopStopped.count(entry.Number) != 0) return false;
    const int32_t now = s.clock.tickCount();
    auto recent = [&](std::deque<int32_t>& starts) {
        while (!starts.empty() && TicksBetween(starts.front(), now) >= 1000) starts.pop_front();
        return starts.size();
    };
    std::deque<int32_t>& starts = s.crosspointStarts[entry.Number];
    if (recent(starts) < static_cast<std::size_t>(kLoopStartsPerSecond)) {
        starts.push_back(now);
        return true;
    }
    QStringList rows;
    for (auto& [number, others] : s.crosspointStarts) {
        if (recent(others) < static_cast<std::size_t>(kLoopStartsPerSecond - 1)) continue;
        s.loopStopped.insert(number);
        rows << QString::number(number);
    }
    WriteErrorLog(s.logs,
                  QStringLiteral("Rows %1 trigger one another more than %2 times a second; stopped until the next load")
                      .arg(rows.join(QStringLiteral(", ")))
                      .arg(kLoopStartsPerSecond),
                  QStringLiteral("Error Executing Crosspoint Event"));
    return false;
}

// Scans a triggered table from the front and starts a run for every entry that `match` accepts,
// stopping at the first entry that `past` says lies beyond the wanted key (the table is ordered
// by it). The matching entries are noted before the first run starts, and each is looked up
// again by its id just before its own run: a run that ends at once (and may delete its one-time
// entry) cannot make the scan pass over an entry or look at one twice.
template <typename Match, typename Past>
void scanTable(Scheduler& s, TriggerTable table, Match match, Past past,
               Task<> (*execute)(Scheduler&, uint32_t, int64_t), int64_t reportedNs = 0) {
    std::vector<uint32_t> matching;
    for (const AutomationEvent& entry : s.triggerTable(table)) {
        if (past(entry)) break;
        if (match(entry)) matching.push_back(entry.id);
    }
    for (uint32_t id : matching) {
        const auto& list = s.triggerTable(table);
        const auto it = std::find_if(list.begin(), list.end(), [&](const AutomationEvent& ev) { return ev.id == id; });
        if (it == list.end()) continue;
        const AutomationEvent entry = *it;
        if (table == TriggerTable::Crosspoint && !mayStartAgain(s, entry)) continue;
        if (const auto busy = s.busyRows.find(entry.Number); busy != s.busyRows.end()) {
            // Each trigger refused counts; the log says the first and sums the rest at the end.
            s.counts.refusals.add(kRunInProgress);
            ++s.counts.refused;
            if (busy->second++ == 0) WriteActivityLog(s.logs, entry.Title + kNotExecuted + kRunInProgress);
            continue;
        }
        s.busyRows.emplace(entry.Number, 0);
        if (!StartRun(s, entry, NowText(s.clock), execute(s, id, reportedNs))) s.busyRows.erase(entry.Number);
    }
}

}  // namespace

void ProcessOptoEvent(Scheduler& s, int opto, int state, int64_t reportedNs) {
    if (reportedNs == 0) reportedNs = MonotonicNs();
    Guarded(s.logs, QStringLiteral("Error Processing Opto Event"), [&] {
        if (state != 0 && state != 1) return;
        scanTable(
            s, TriggerTable::Opto,
            [&](const AutomationEvent& ev) {
                return ev.Opto == opto + 1 && ((state == 1 && ev.Type == kOptoOn) || (state == 0 && ev.Type == kOptoOff)) &&
                       ev.Day == s.CurrentDay;
            },
            [&](const AutomationEvent& ev) { return opto + 1 < ev.Opto; }, &ExecuteOptoEvent, reportedNs);
    });
}

void ProcessRelayEvent(Scheduler& s, int relay, int state, int64_t reportedNs) {
    if (reportedNs == 0) reportedNs = MonotonicNs();
    Guarded(s.logs, QStringLiteral("Error Processing Relay Event"), [&] {
        if (state != 0 && state != 1) return;
        scanTable(
            s, TriggerTable::Relay,
            [&](const AutomationEvent& ev) {
                return ev.Opto == relay + 1 &&
                       ((state == 1 && ev.Type == kRelayOn) || (state == 0 && ev.Type == kRelayOff)) &&
                       ev.Day == s.CurrentDay;
            },
            [&](const AutomationEvent& ev) { return relay + 1 < ev.Opto; }, &ExecuteRelayEvent, reportedNs);
    });
}

void DetermineCrosspointChange(Scheduler& s, const OutputMap& oldMap, const OutputMap& newMap, int dest) {
    Guarded(s.logs, QStringLiteral("Error Determining Crosspoint Change"), [&] {
        const int c = OrdinarySourceCount(oldMap);
        const int n = OrdinarySourceCount(newMap);
        auto oldSource = [&](int b) { return at(oldMap.Sources, b); };
        auto newSource = [&](int i) { return at(newMap.Sources, i); };
        if (c > kMaxSourcesPerOutput || n > kMaxSourcesPerOutput) failSubscript();
        // Sources are reported as stored plus one; removed sources always before added ones.
        if (n > 0 && c > 0) {
            for (int b = 0; b < c; ++b) {
                bool still = false;
                for (int i = 0; i < n && !still; ++i) still = newSource(i) == oldSource(b);
                if (!still) ProcessCrosspointEvent(s, dest, oldSource(b) + 1, 0);
            }
            for (int i = 0; i < n; ++i) {
                bool before = false;
                for (int b = 0; b < c && !before; ++b) before = oldSource(b) == newSource(i);
                if (!before) ProcessCrosspointEvent(s, dest, newSource(i) + 1, 1);
            }
        } else if (n > 0) {
            for (int i = 0; i < n; ++i) ProcessCrosspointEvent(s, dest, newSource(i) + 1, 1);
            ProcessCrosspointEvent(s, dest, kWholeDestination, 1);
        } else if (c > 0) {
            for (int b = 0; b < c; ++b) ProcessCrosspointEvent(s, dest, oldSource(b) + 1, 0);
            ProcessCrosspointEvent(s, dest, kWholeDestination, 0);
        }
    });
}

void ProcessCrosspointEvent(Scheduler& s, int dest, int source, int state) {
    Guarded(s.logs, QStringLiteral("Error Executing Crosspoint Event"), [&] {
        scanTable(
            s, TriggerTable::Crosspoint,
            [&](const AutomationEvent& ev) {
                if (ev.TriggerDest != dest || ev.Day != s.CurrentDay) return false;
                if (source == kWholeDestination)
                    return (state == 1 && ev.tControl == 3) || (state == 0 && ev.tControl == 4);
                return ev.TriggerSource == source &&
                       ((state == 1 && ev.tControl == 1) || (state == 0 && ev.tControl == 2));
            },
            [&](const AutomationEvent& ev) { return dest < ev.TriggerDest; }, &ExecuteCrosspointEvent);
    });
}

namespace {

// The row is free again when its run ends (or is ended at exit); the triggers refused meanwhile
// after the first are counted in one line.
class BusyRow {
  public:
    BusyRow(Scheduler& s, int16_t number, QString title) : s_(s), number_(number), title_(std::move(title)) {}
    ~BusyRow() {
        const auto it = s_.busyRows.find(number_);
        if (it == s_.busyRows.end()) return;
        const int64_t refused = it->second;
        s_.busyRows.erase(it);
        if (refused > 1)
            WriteActivityLog(s_.logs, title_ + kNotExecuted + kRunInProgress +
                                          QStringLiteral(", %1 more times").arg(refused - 1));
    }
    BusyRow(const BusyRow&) = delete;
    BusyRow& operator=(const BusyRow&) = delete;

  private:
    Scheduler& s_;
    int16_t number_;
    QString title_;
};

Task<> executeTriggered(Scheduler& s, TriggerTable table, uint32_t id, int64_t reportedNs, QString location) {
    const auto& list = s.triggerTable(table);
    const auto it = std::find_if(list.begin(), list.end(), [&](const AutomationEvent& ev) { return ev.id == id; });
    std::optional<BusyRow> busy;
    if (it != list.end()) busy.emplace(s, it->Number, it->Title);
    try {
        co_await RunOneEvent(s, RunTarget{false, table, id, std::nullopt, QDateTime(), reportedNs});
    } catch (...) {
        ReportError(s.logs, location, CurrentFailure(std::current_exception()));
    }
}

}  // namespace

Task<> ExecuteOptoEvent(Scheduler& s, uint32_t id, int64_t reportedNs) {
    return executeTriggered(s, TriggerTable::Opto, id, reportedNs, QStringLiteral("Error Executing Opto Event"));
}

Task<> ExecuteRelayEvent(Scheduler& s, uint32_t id, int64_t reportedNs) {
    return executeTriggered(s, TriggerTable::Relay, id, reportedNs, QStringLiteral("Error Executing Relay Event"));
}

Task<> ExecuteCrosspointEvent(Scheduler& s, uint32_t id, int64_t reportedNs) {
    // Not measured: a crosspoint trigger is the engine's own take coming back as often as not.
    (void)reportedNs;
    return executeTriggered(s, TriggerTable::Crosspoint, id, 0, QStringLiteral("Error Executing Crosspoint Event"));
}

}  // namespace tarvo
