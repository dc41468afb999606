// The web console as the two engines start it: its settings from the command line, and the
// users added with --add-user.
#pragma once

#include <memory>

#include <QString>

#include "command_line.h"
#include "web/console.h"

namespace tarvo::cli {

// The web console as either engine has it: read from the command line before the engine is made,
// the view the engine is given (the console passing on to the program's own view, or that view
// alone without --listen), then started once the engine exists.
class WebConsoleOption {
public:
    // False with the reason when an option is wrong (a port that is no port, a token file that
    // cannot be read, a web option without --listen ...).
    bool read(const Arguments& args, QString& error);
    StatusView& view(StatusView& own);
    // Prints the console's address to standard output; false with the reason when it cannot
    // listen. Does nothing without --listen.
    bool start(Engine& engine, QString& error);

private:
    bool wanted_ = false;
    web::ConsoleSettings settings_;
    std::unique_ptr<web::WebConsole> console_;
};

// tarvo-engined --add-user NAME [--role ROLE] FOLDER: the password read from the terminal
// without echo (twice), or one line of standard input when that is no terminal.
int AddUserCommand(const Arguments& args, const QString& folder);

}  // namespace tarvo::cli
