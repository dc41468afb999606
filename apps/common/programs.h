// The option tables of the three programs, in one place so that the tests and the documentation
// checks read the same tables the programs parse with.
#pragma once

#include "command_line.h"

namespace tarvo::cli {

const Program& EngineProgram();     // tarvo-engine
const Program& EnginedProgram();    // tarvo-engined
const Program& SimulatorProgram();  // tarvo-switcher-sim

}  // namespace tarvo::cli
