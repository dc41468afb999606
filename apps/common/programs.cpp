#include "programs.h"

namespace tarvo::cli {

namespace {

const QString kFolderParagraph = QStringLiteral(
    "FOLDER is the program folder. It defaults to the folder that holds the program; when the "
    "program is installed where it cannot write (/usr/bin), it defaults to "
    "~/.local/share/tarvo-automation instead, which is made, with an empty database, on first "
    "use.");

std::vector<FileEntry> folderFiles() {
    return {
        {QStringLiteral("FOLDER/TarvoAutomation.mdb"),
         QStringLiteral("the event database (SQLite 3); an edit is picked up within 2.5 s")},
        {QStringLiteral("FOLDER/Tally.dat"),
         QStringLiteral("the activity log: one line per action done or refused")},
        {QStringLiteral("FOLDER/Errorlog.txt"),
         QStringLiteral("the error log: one line per failure caught")},
        {QStringLiteral("FOLDER/TarvoEngine.lock"),
         QStringLiteral("locked by the engine running on FOLDER; a second engine there exits 2")},
        {QStringLiteral("FOLDER/TarvoUsers.txt"),
         QStringLiteral("the web console's users and their password hashes (--add-user)")},
        {QStringLiteral("FOLDER/COM1, COM2, ..."),
         QStringLiteral("optional links to the serial devices that messages go out of")},
        {QStringLiteral("/usr/share/tarvo-automation/TarvoAutomation.sql"),
         QStringLiteral("the script of an empty database")},
    };
}

// The web console's options, the same for both engines.
std::vector<Option> withWebOptions(std::vector<Option> options) {
    const std::vector<Option> web = {
        {QStringLiteral("listen"), QStringLiteral("[ADDR:]PORT"),
         QStringLiteral("open the web console, its JSON API, /metrics and /healthz on PORT of ADDR "
                        "(127.0.0.1 unless given); without it nothing listens")},
        {QStringLiteral("tls-cert"), QStringLiteral("FILE"),
         QStringLiteral("with --tls-key: answer over HTTPS with this PEM certificate (chain)")},
        {QStringLiteral("tls-key"), QStringLiteral("FILE"), QStringLiteral("the certificate's PEM private key")},
        {QStringLiteral("web-host"), QStringLiteral("NAME"),
         QStringLiteral("a host name the console answers to besides its address, localhost and "
                        "127.0.0.1 (a reverse proxy's or the machine's name; NAME:PORT for that port "
                        "only); names separated by commas")},
        {QStringLiteral("metrics-token-file"), QStringLiteral("FILE"),
         QStringLiteral("/metrics asks for \"Authorization: Bearer TOKEN\" with the token in FILE")},
        {QStringLiteral("session-idle"), QStringLiteral("SECONDS"),
         QStringLiteral("a console session unused this long ends (28800 unless given)")},
    };
    options.insert(options.end(), web.begin(), web.end());
    return options;
}

}  // namespace

const Program& EnginedProgram() {
    static const Program p{
        QStringLiteral("tarvo-engined"),
        QStringLiteral(
            "The Tarvo Automation Engine without a window, for a server or a service manager. "
            "It runs the timed and triggered events of the database in FOLDER against the audio "
            "routing switcher and prints what the window would show (caption changes, the event "
            "count, the next event, history lines, message boxes), one line each."),
        {QStringLiteral("FOLDER")},
        withWebOptions({
            {QStringLiteral("init"), QString(),
             QStringLiteral(
                 "make an empty event database in FOLDER (and the folder, if need be), then "
                 "leave; a database already there is left as it is (exit 1)")},
            {QStringLiteral("check"), QString(),
             QStringLiteral(
                 "list every row of the database that cannot do what it says, one line each, "
                 "then leave: exit 0 when there is none, 1 when there is one, 2 when the "
                 "database cannot be read")},
            {QStringLiteral("preview"), QStringLiteral("[DAYS]"),
             QStringLiteral(
                 "list what the timed events will do in the next DAYS days (7 unless given), in "
                 "the order the engine decides them, then the triggered events by trigger, "
                 "then leave")},
            {QStringLiteral("json"), QString(),
             QStringLiteral("with --check or --preview: write the same as one JSON document")},
            {QStringLiteral("export"), QString(),
             QStringLiteral(
                 "write the events of the database as text, one TOML [[event]] table each in "
                 "Number order, to standard output, then leave")},
            {QStringLiteral("import"), QStringLiteral("FILE"),
             QStringLiteral(
                 "make the events of the database those of FILE (text as --export writes it), "
                 "as one change: its mistakes, each with its line, change nothing (exit 2); "
                 "says what --check finds in the new events and what changes, then changes "
                 "it and says the change's number")},
            {QStringLiteral("dry-run"), QString(),
             QStringLiteral("with --import: say what would change, and change nothing")},
            {QStringLiteral("add-user"), QStringLiteral("NAME"),
             QStringLiteral("add a user of the web console (or give one a new password), the "
                            "password asked on the terminal, then leave")},
            {QStringLiteral("role"), QStringLiteral("ROLE"),
             QStringLiteral("with --add-user: viewer (sees everything, changes nothing; the "
                            "default) or editor")},
        }),
        {
            kFolderParagraph,
            QStringLiteral(
                "--check, --preview and --export only read the database: they neither upgrade nor change "
                "it, write no log, connect to nothing and take no lock, so they are safe beside a running "
                "engine. Times are the machine's local time, daylight saving included. --import "
                "may run beside an engine too: it changes the rows in one short transaction, "
                "which the engine loads as any edit, and records the change in the schedule's "
                "history in TarvoEngineState.db."),
            QStringLiteral(
                "SIGTERM, SIGINT or SIGHUP ends it in order: events still waiting are ended where they "
                "wait, \"Program Exit\" is the last line logged, and it exits 0. SIGUSR1 prints "
                "one status line: the events in progress, the most at once so far and the "
                "deepest stack they needed."),
            QStringLiteral(
                "Under systemd (Type=notify) it reports READY once start-up is done, a watchdog "
                "keep-alive from every timer tick that ran to its end, and a one-line STATUS "
                "with the link state and the next event. Once a minute it asks the kernel "
                "whether the clock is synchronised and writes a line to the error log when "
                "that changes."),
        },
        folderFiles(),
    };
    return p;
}

const Program& EngineProgram() {
    static const Program p{
        QStringLiteral("tarvo-engine"),
        QStringLiteral(
            "The Tarvo Automation Engine with its status window: the event history, the next "
            "event, the event count, date and time, and a notification-area icon. It runs the "
            "timed and triggered events of the database in FOLDER against the audio routing "
            "switcher."),
        {QStringLiteral("FOLDER")},
        withWebOptions({
            {QStringLiteral("screenshot"), QStringLiteral("FILE.png SECONDS"),
             QStringLiteral(
                 "save a picture of the main window SECONDS after start-up, then leave in "
                 "order")},
        }),
        {
            kFolderParagraph,
            QStringLiteral(
                "Minimising hides the window in the notification area; double-click the icon, "
                "or choose Restore from its menu, to bring it back. File / Setup edits the "
                "engine settings; View / Schedule shows what the events will do in the coming "
                "week; Help / About shows the connection settings, the link state of both "
                "switchers, whether the clock is synchronised, and the version."),
            QStringLiteral(
                "SIGTERM, SIGINT or SIGHUP ends it in order, without the exit question: "
                "\"Program Exit\" is the last line logged. SIGUSR1 prints the status line of "
                "tarvo-engined. It ends with the desktop session: when the display goes, a line "
                "in the error log says so and it leaves in order. For unattended use run "
                "tarvo-engined as a service."),
        },
        folderFiles(),
    };
    return p;
}

const Program& SimulatorProgram() {
    static const Program p{
        QStringLiteral("tarvo-switcher-sim"),
        QStringLiteral(
            "Plays the audio routing switcher's control server for tests and dry runs of a "
            "database before it goes on air. It prints every frame it receives (RX ...) and "
            "sends (TX ...), one line each with a time stamp."),
        {},
        {
            {QStringLiteral("port"), QStringLiteral("N"),
             QStringLiteral(
                 "TCP port to listen on (0: any free port; the LISTEN line names it). Default "
                 "1250.")},
            {QStringLiteral("listen"), QStringLiteral("ADDR"),
             QStringLiteral("address to listen on. Default 127.0.0.1.")},
            {QStringLiteral("outputs"), QStringLiteral("N"),
             QStringLiteral("outputs in the crosspoint map. Default 64.")},
            {QStringLiteral("sources"), QStringLiteral("N"),
             QStringLiteral("sources of the switcher. Default 64.")},
            {QStringLiteral("optos"), QStringLiteral("N"),
             QStringLiteral("opto inputs. Default 64.")},
            {QStringLiteral("relays"), QStringLiteral("N"), QStringLiteral("relays. Default 64.")},
            {QStringLiteral("control-port"), QStringLiteral("N"),
             QStringLiteral(
                 "also take control lines on this loopback port (0: any free port; the CONTROL "
                 "line names it)")},
            {QStringLiteral("no-pings"), QString(),
             QStringLiteral("do not print pings and their answers")},
            {QStringLiteral("quiet"), QString(),
             QStringLiteral("never speak first: no greeting when the engine connects")},
            {QStringLiteral("take-reports"), QStringLiteral("HOW"),
             QStringLiteral(
                 "plain: every take reported as a plain take (command 4), as-sent: with the "
                 "command it came with (a priority take as 5), none: takes carried out "
                 "unreported. Default plain.")},
            {QStringLiteral("map-pieces"), QStringLiteral("N"),
             QStringLiteral(
                 "answer the map request in frames of N outputs, the highest first, a second "
                 "apart")},
            {QStringLiteral("chaos"), QStringLiteral("SEED"),
             QStringLiteral("misbehave from the start, the steps drawn from SEED")},
            {QStringLiteral("chaos-pace"), QStringLiteral("MS"),
             QStringLiteral("mean gap between chaos steps in ms. Default 1500.")},
            {QStringLiteral("chaos-silence-max"), QStringLiteral("MS"),
             QStringLiteral("longest chaos silence in ms. Default 20000.")},
            {QStringLiteral("chaos-slow-read-max"), QStringLiteral("MS"),
             QStringLiteral("longest stretch without reading in ms. Default 8000.")},
            {QStringLiteral("chaos-flood"), QStringLiteral("N"),
             QStringLiteral(
                 "identity requests sent into one stretch in three without reading. Default "
                 "800000.")},
        },
        {
            QStringLiteral(
                "Control lines are read from standard input and, with --control-port, from "
                "connections to that port: opto N on|off, relay N on|off, take SRC OUT (source "
                "SRC to output OUT), silent / talk (stop and resume answering pings), absent / "
                "present (report the switcher missing, or back), close, garbage N, ident, map, "
                "ping, send HEX..., flood MS HEX... (send HEX over and over for MS ms, as fast "
                "as the engine takes it), chaos on [SEED], chaos off, quit. Each line is answered "
                "OK, or ERR and what is wrong with it."),
            QStringLiteral(
                "Chaos makes the switcher misbehave on a schedule drawn from the seed: it drops "
                "the connection, falls silent, sends garbage and frames cut short, bursts of "
                "maps, take reports and opto/relay changes, and stops reading while it asks "
                "for many answers. Each step is printed as a line CHAOS ...."),
        },
        {},
    };
    return p;
}

}  // namespace tarvo::cli
