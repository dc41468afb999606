// The web console as the two engines start it: its settings from the command line, and the
// users added with --add-user.
#pragma once

#include <QString>

#include "command_line.h"
#include "web/console.h"

namespace tarvo::cli {

// Whether --listen was given; the settings it and the other web options make in `out`. False
// with the reason in `error` when an option is wrong (a port that is no port, a token file that
// cannot be read ...).
bool WebSettingsFrom(const Arguments& args, web::ConsoleSettings& out, bool& wanted, QString& error);

// Starts the console on the engine: it is already the engine's view. Prints its address to
// standard output; false with the reason when it cannot listen.
bool StartWebConsole(web::WebConsole& console, Engine& engine, const web::ConsoleSettings& settings,
                     QString& error);

// tarvo-engined --add-user NAME [--role ROLE] FOLDER: the password read from the terminal
// without echo (twice), or one line of standard input when that is no terminal.
int AddUserCommand(const Arguments& args, const QString& folder);

}  // namespace tarvo::cli
