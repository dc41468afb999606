// The program folder: which one a program uses when none is given, and how an empty one is made.
#pragma once

#include <QString>
#include <QStringList>

namespace tarvo::cli {

// The folder that holds the program; for the installed programs (which cannot write beside
// themselves) the user's ~/.local/share/tarvo-automation. Needs the application object.
QString DefaultProgramFolder();
// True when the default is the user's folder rather than the program's own.
bool DefaultIsUserFolder();
// The folder a program runs on: the operand FOLDER when given, else the default. The user's
// default folder is made, with an empty database, the first time (a program started from the
// desktop's menu has nobody to run --init). Empty, with `message`, when that fails.
QString ProgramFolderFor(const QStringList& operands, QString& message);

// The empty database's script: <program's folder>/../share/tarvo-automation/, the same place
// relative to the program in the build tree as when installed.
QString SchemaPath();

// Takes the advisory lock (flock) on FOLDER/TarvoEngine.lock that one engine holds for as long
// as it runs on the folder, before anything of the folder is opened: a second engine would dial
// the switcher, run the same rows and write the same files. The lock ends with the process,
// however it ends. False, with `message`, when another engine holds it or the file cannot be
// made or locked (a link or anything but a regular file in its place is refused). --check,
// --preview and --init do not take it: they only read, or make a database that is not there.
bool LockProgramFolder(const QString& folder, QString& message);

enum class InitResult { Made, AlreadyThere, Failed };
// Makes `folder` (when missing) and an empty TarvoAutomation.mdb in it from the script at
// `schemaPath`. A database already there is never touched. The file appears whole or not at
// all: it is written under another name and renamed. `message` says what happened.
InitResult InitProgramFolder(const QString& folder, const QString& schemaPath, QString& message);

}  // namespace tarvo::cli
