#pragma once

namespace tarvo {

class Engine;

// Runs Events(NextEventIndex), which the tick found due, and every further event due at the
// same moment; moves the pointer on and may start the hold.
void ExecuteEvent(Engine& e);

}  // namespace tarvo
