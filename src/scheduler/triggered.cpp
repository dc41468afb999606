#include "scheduler/triggered.h"

#include <functional>

#include "engine/engine.h"
#include "logs/logs.h"
#include "scheduler/run_event.h"
#include "store/exchange_sort.h"
#include "switcher/output_map.h"

namespace tarvo {

namespace {

// Copies the events of the given kinds out of Events and orders them by `key` (the triggering
// input, relay or destination), then by Delay, with the classic exchange passes. When nothing
// qualifies the table keeps what it held; only the count says it is empty.
void buildList(Engine& e, TriggerTable table, const std::function<bool(const AutomationEvent&)>& wanted,
               int16_t AutomationEvent::*key) {
    auto& list = e.triggerTable(table);
    int32_t& count = e.triggerCount(table);
    count = 0;
    std::vector<AutomationEvent> picked;
    for (int32_t i = 0; i < e.TotalEvents; ++i)
        if (wanted(at(e.Events, i))) picked.push_back(e.Events[static_cast<std::size_t>(i)]);
    if (picked.empty()) return;

    std::vector<int> order(picked.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
    ExchangePass(order, 0, order.size(), [&](int a, int b) { return picked[a].*key < picked[b].*key; });
    ExchangePassWithinGroups(
        order, [&](int a, int b) { return picked[a].*key == picked[b].*key; },
        [&](int a, int b) { return picked[a].Delay < picked[b].Delay; });
    list.clear();
    list.reserve(picked.size());
    for (int i : order) list.push_back(std::move(picked[static_cast<std::size_t>(i)]));
    count = static_cast<int32_t>(list.size());
}

}  // namespace

void BuildOptoEvents(Engine& e) {
    Guarded(e, QStringLiteral("Error Processing Opto Events"), [&] {
        buildList(
            e, TriggerTable::Opto, [](const AutomationEvent& ev) { return ev.Type == kOptoOn || ev.Type == kOptoOff; },
            &AutomationEvent::Opto);
    });
}

void BuildRelayEvents(Engine& e) {
    Guarded(e, QStringLiteral("Error Processing Relay Events"), [&] {
        buildList(
            e, TriggerTable::Relay, [](const AutomationEvent& ev) { return ev.Type == kRelayOn || ev.Type == kRelayOff; },
            &AutomationEvent::Opto);
    });
}

void BuildCrosspointEvents(Engine& e) {
    Guarded(e, QStringLiteral("Error Processing Crosspoint Events"), [&] {
        e.CrosspointTriggerDests.assign(1, 16383);
        buildList(
            e, TriggerTable::Crosspoint, [](const AutomationEvent& ev) { return ev.Type == kCrosspointTrigger; },
            &AutomationEvent::TriggerDest);
        if (e.CrosspointEventCount == 0) return;
        e.CrosspointTriggerDests.assign(1, e.CrosspointEvents[0].TriggerDest);
        for (int32_t i = 0; i < e.CrosspointEventCount; ++i) {
            const int16_t d = e.CrosspointEvents[static_cast<std::size_t>(i)].TriggerDest;
            if (d != e.CrosspointTriggerDests.back()) e.CrosspointTriggerDests.push_back(d);
        }
    });
}

namespace {

// Scans a triggered table from the front and runs every entry that `match` accepts, stopping at
// the first entry that `past` says lies beyond the wanted key (the table is ordered by it). When
// a run deletes its one-time entry, the entry that moved into its place is looked at next, and
// the scan never runs past the shortened table.
template <typename Match, typename Past>
void scanTable(Engine& e, TriggerTable table, Match match, Past past, void (*execute)(Engine&, int)) {
    auto& list = e.triggerTable(table);
    int32_t last = e.triggerCount(table) - 1;
    int32_t i = 0;
    while (i <= last && i < e.triggerCount(table)) {
        const AutomationEvent& entry = at(list, i);
        if (past(entry)) return;
        if (!match(entry)) {
            ++i;
            continue;
        }
        const int16_t number = entry.Number;
        const int32_t before = e.triggerCount(table);
        execute(e, i);
        const int32_t after = e.triggerCount(table);
        if (after < before && (i >= after || list[static_cast<std::size_t>(i)].Number != number)) {
            last -= before - after;
        } else {
            ++i;
        }
    }
}

}  // namespace

void ProcessOptoEvent(Engine& e, int opto, int state) {
    Guarded(e, QStringLiteral("Error Processing Opto Event"), [&] {
        if (state != 0 && state != 1) return;
        scanTable(
            e, TriggerTable::Opto,
            [&](const AutomationEvent& ev) {
                return ev.Opto == opto + 1 && ((state == 1 && ev.Type == kOptoOn) || (state == 0 && ev.Type == kOptoOff)) &&
                       ev.Day == e.CurrentDay;
            },
            [&](const AutomationEvent& ev) { return opto + 1 < ev.Opto; }, &ExecuteOptoEvent);
    });
}

void ProcessRelayEvent(Engine& e, int relay, int state) {
    Guarded(e, QStringLiteral("Error Processing Relay Event"), [&] {
        if (state != 0 && state != 1) return;
        scanTable(
            e, TriggerTable::Relay,
            [&](const AutomationEvent& ev) {
                return ev.Opto == relay + 1 &&
                       ((state == 1 && ev.Type == kRelayOn) || (state == 0 && ev.Type == kRelayOff)) &&
                       ev.Day == e.CurrentDay;
            },
            [&](const AutomationEvent& ev) { return relay + 1 < ev.Opto; }, &ExecuteRelayEvent);
    });
}

void DetermineCrosspointChange(Engine& e, const OutputMap& oldMap, const OutputMap& newMap, int dest) {
    Guarded(e, QStringLiteral("Error Determining Crosspoint Change"), [&] {
        const int c = oldMap.SourceCount;
        const int n = newMap.SourceCount;
        auto oldSource = [&](int b) { return at(oldMap.Sources, b); };
        auto newSource = [&](int i) { return at(newMap.Sources, i); };
        if (c > kMaxSourcesPerOutput || n > kMaxSourcesPerOutput) failSubscript();
        // Sources are reported as stored plus one; removed sources always before added ones.
        if (n > 0 && c > 0) {
            for (int b = 0; b < c; ++b) {
                bool still = false;
                for (int i = 0; i < n && !still; ++i) still = newSource(i) == oldSource(b);
                if (!still) ProcessCrosspointEvent(e, dest, oldSource(b) + 1, 0);
            }
            for (int i = 0; i < n; ++i) {
                bool before = false;
                for (int b = 0; b < c && !before; ++b) before = oldSource(b) == newSource(i);
                if (!before) ProcessCrosspointEvent(e, dest, newSource(i) + 1, 1);
            }
        } else if (n > 0) {
            for (int i = 0; i < n; ++i) ProcessCrosspointEvent(e, dest, newSource(i) + 1, 1);
            ProcessCrosspointEvent(e, dest, kWholeDestination, 1);
        } else if (c > 0) {
            for (int b = 0; b < c; ++b) ProcessCrosspointEvent(e, dest, oldSource(b) + 1, 0);
            ProcessCrosspointEvent(e, dest, kWholeDestination, 0);
        }
    });
}

void ProcessCrosspointEvent(Engine& e, int dest, int source, int state) {
    Guarded(e, QStringLiteral("Error Executing Crosspoint Event"), [&] {
        scanTable(
            e, TriggerTable::Crosspoint,
            [&](const AutomationEvent& ev) {
                if (ev.TriggerDest != dest || ev.Day != e.CurrentDay) return false;
                if (source == kWholeDestination)
                    return (state == 1 && ev.tControl == 3) || (state == 0 && ev.tControl == 4);
                return ev.TriggerSource == source &&
                       ((state == 1 && ev.tControl == 1) || (state == 0 && ev.tControl == 2));
            },
            [&](const AutomationEvent& ev) { return dest < ev.TriggerDest; }, &ExecuteCrosspointEvent);
    });
}

void ExecuteOptoEvent(Engine& e, int index) {
    Guarded(e, QStringLiteral("Error Executing Opto Event"),
            [&] { RunOneEvent(e, RunTarget{false, TriggerTable::Opto, index}); });
}

void ExecuteRelayEvent(Engine& e, int index) {
    Guarded(e, QStringLiteral("Error Executing Relay Event"),
            [&] { RunOneEvent(e, RunTarget{false, TriggerTable::Relay, index}); });
}

void ExecuteCrosspointEvent(Engine& e, int index) {
    Guarded(e, QStringLiteral("Error Executing Crosspoint Event"),
            [&] { RunOneEvent(e, RunTarget{false, TriggerTable::Crosspoint, index}); });
}

}  // namespace tarvo
