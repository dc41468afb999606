// Events triggered by the switcher: opto inputs and relays going on or off, and sources routed
// to or taken off a destination.
#pragma once

#include <cstdint>

namespace tarvo {

class Engine;
struct OutputMap;

// As a source number: the destination as a whole (its first source came or its last went).
constexpr int kWholeDestination = 16383;

// List builders, called by LoadDatabase in this order.
void BuildOptoEvents(Engine& e);
void BuildRelayEvents(Engine& e);
void BuildCrosspointEvents(Engine& e);

// Entry points from the inbound switcher messages. `opto` and `relay` are 0-based as the
// switcher's state message carries them.
void ProcessOptoEvent(Engine& e, int opto, int state);
void ProcessRelayEvent(Engine& e, int relay, int state);
// `dest` is 1-based; the maps hold 0-based sources.
void DetermineCrosspointChange(Engine& e, const OutputMap& oldMap, const OutputMap& newMap, int dest);
// `source` is 1-based, or 16383 for the destination as a whole; `state` 1 came, 0 went.
void ProcessCrosspointEvent(Engine& e, int dest, int source, int state);

void ExecuteOptoEvent(Engine& e, int index);
void ExecuteRelayEvent(Engine& e, int index);
void ExecuteCrosspointEvent(Engine& e, int index);

}  // namespace tarvo
