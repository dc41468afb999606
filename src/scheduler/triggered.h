// Events triggered by the switcher: opto inputs and relays going on or off, and sources routed
// to or taken off a destination.
#pragma once

#include <cstdint>
#include <vector>

#include <QString>

#include "base/task.h"
#include "store/automation_event.h"

namespace tarvo {

class Scheduler;
struct OutputMap;

// A trigger of a row whose run is still in progress: the first is written, the rest counted in one
// line when the run ends.
inline const QString kRunInProgress = QStringLiteral("Run in Progress");
// Crosspoint-triggered rows that start more than this many times within a second are taken for
// rows that trigger each other, and stopped until the next load.
constexpr int kLoopStartsPerSecond = 5;

// As a source number: the destination as a whole (its first source came or its last went).
constexpr int kWholeDestination = 16383;

// The order a triggered table keeps `entries` (in running order) in: by `key` (the triggering
// input, relay or destination), then by Delay, as the classic exchange passes leave them. A
// trigger starts the entries it matches in this order. Indices into `entries`.
std::vector<int> TriggerListOrder(const std::vector<AutomationEvent>& entries,
                                  int16_t AutomationEvent::*key);

// List builders, called by the load in this order.
void BuildOptoEvents(Scheduler& s);
void BuildRelayEvents(Scheduler& s);
void BuildCrosspointEvents(Scheduler& s);

// Entry points from the switcher's reports. `opto` and `relay` are 0-based as the switcher's
// state message carries them. Each matching entry is examined once and started as a run of its
// own; runs that wait go on after the scan.
// `reportedNs` is when the report was read (MonotonicNs), the start of the trigger latency of
// the runs it starts; 0 for now.
void ProcessOptoEvent(Scheduler& s, int opto, int state, int64_t reportedNs = 0);
void ProcessRelayEvent(Scheduler& s, int relay, int state, int64_t reportedNs = 0);
// `dest` is 1-based; the maps hold 0-based sources.
void DetermineCrosspointChange(Scheduler& s, const OutputMap& oldMap, const OutputMap& newMap, int dest);
// `source` is 1-based, or 16383 for the destination as a whole; `state` 1 came, 0 went.
void ProcessCrosspointEvent(Scheduler& s, int dest, int source, int state);
// Whether a crosspoint-triggered event watches this destination (1-based).
bool WatchesDestination(const Scheduler& s, int dest);

// One entry of a triggered table, found by its id, run as a run of its own.
Task<> ExecuteOptoEvent(Scheduler& s, uint32_t id, int64_t reportedNs = 0);
Task<> ExecuteRelayEvent(Scheduler& s, uint32_t id, int64_t reportedNs = 0);
Task<> ExecuteCrosspointEvent(Scheduler& s, uint32_t id, int64_t reportedNs = 0);

}  // namespace tarvo
