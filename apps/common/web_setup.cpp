#include "web_setup.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include <QDir>
#include <QFile>

#include "engine/engine.h"
#include "engine/metrics.h"
#include "web/users.h"

namespace tarvo::cli {

bool WebConsoleOption::read(const Arguments& args, QString& error) {
    bool& wanted = wanted_;
    web::ConsoleSettings& out = settings_;
    wanted = args.isSet(QStringLiteral("listen"));
    for (const char* other : {"tls-cert", "tls-key", "web-host", "metrics-token-file", "session-idle"}) {
        if (!wanted && args.isSet(QLatin1String(other))) {
            error = QStringLiteral("--%1 goes with --listen").arg(QLatin1String(other));
            return false;
        }
    }
    if (!wanted) return true;
    QString listen = args.value(QStringLiteral("listen"));
    QString host = QStringLiteral("127.0.0.1");
    const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = listen.left(colon);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) host = host.mid(1, host.size() - 2);
        listen = listen.mid(colon + 1);
    }
    bool ok = false;
    const int port = listen.toInt(&ok);
    if (!ok || port < 0 || port > 65535 || !out.server.address.setAddress(host)) {
        error = QStringLiteral("--listen needs [ADDR:]PORT, ADDR a numeric address, PORT 0 to 65535");
        return false;
    }
    out.server.port = static_cast<quint16>(port);
    out.server.certificateFile = args.value(QStringLiteral("tls-cert"));
    out.server.keyFile = args.value(QStringLiteral("tls-key"));
    if (out.server.certificateFile.isEmpty() != out.server.keyFile.isEmpty()) {
        error = QStringLiteral("--tls-cert and --tls-key go together");
        return false;
    }
    for (const QString& v : args.values.value(QStringLiteral("web-host")))
        for (const QString& name : v.split(QLatin1Char(','), Qt::SkipEmptyParts)) out.hosts << name.trimmed();
    if (args.isSet(QStringLiteral("metrics-token-file"))) {
        QFile f(args.value(QStringLiteral("metrics-token-file")));
        if (!f.open(QIODevice::ReadOnly) || f.size() > 4096) {
            error = QStringLiteral("cannot read the metrics token file %1").arg(f.fileName());
            return false;
        }
        out.metricsToken = f.readAll().trimmed();
        if (out.metricsToken.size() < 16) {
            error = QStringLiteral("a metrics token has at least 16 characters");
            return false;
        }
    }
    if (args.isSet(QStringLiteral("session-idle"))) {
        const int s = args.value(QStringLiteral("session-idle")).toInt(&ok);
        if (!ok || s < 1 || s > 7 * 24 * 3600) {
            error = QStringLiteral("--session-idle needs SECONDS from 1 to 604800");
            return false;
        }
        out.sessionIdleMs = s * 1000LL;
        out.sessionLifeMs = std::max(out.sessionLifeMs, out.sessionIdleMs);
    }
    return true;
}

StatusView& WebConsoleOption::view(StatusView& own) {
    if (!wanted_) return own;
    console_ = std::make_unique<web::WebConsole>(own);
    return *console_;
}

bool WebConsoleOption::start(Engine& engine, QString& error) {
    if (!console_) return true;
    console_->attach(engine, {[&engine] { return MetricsText(engine, engine.clock.now().toMSecsSinceEpoch()); },
                              [&engine] {
                                  const Health h = EngineHealth(engine, engine.clock.now().toMSecsSinceEpoch());
                                  return h.ok ? QString() : h.reason;
                              }});
    if (!console_->listen(settings_, error)) return false;
    std::printf("Web console at %s\n", qPrintable(console_->address()));
    std::fflush(stdout);
    return true;
}

namespace {

std::string ReadSecret(const char* prompt) {
    const bool tty = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (tty) {
        std::fprintf(stderr, "%s", prompt);
        std::fflush(stderr);
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (tty) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    return line;
}

}  // namespace

int AddUserCommand(const Arguments& args, const QString& folder) {
    const QString name = args.value(QStringLiteral("add-user"));
    const QString roleName = args.isSet(QStringLiteral("role")) ? args.value(QStringLiteral("role")) : QStringLiteral("viewer");
    const std::optional<web::Role> role = web::RoleFromName(roleName);
    if (!role) {
        std::fprintf(stderr, "tarvo-engined: --role is viewer or editor\n");
        return kExitUsage;
    }
    if (!web::ValidUserName(name)) {
        std::fprintf(stderr, "tarvo-engined: a user name is 1 to 64 letters, digits, '.', '_' or '-'\n");
        return kExitUsage;
    }
    if (!QDir(folder).exists()) {
        std::fprintf(stderr, "tarvo-engined: %s is not a folder\n", qPrintable(folder));
        return kExitUsage;
    }
    const std::string first = ReadSecret("Password: ");
    if (::isatty(STDIN_FILENO) == 1 && ReadSecret("Again: ") != first) {
        std::fprintf(stderr, "tarvo-engined: the two passwords differ; nothing changed\n");
        return 1;
    }
    QString error;
    const QString path = QDir(folder).filePath(web::kUsersFileName);
    if (!web::AddUser(path, name, *role, QByteArray::fromStdString(first), error)) {
        std::fprintf(stderr, "tarvo-engined: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("tarvo-engined: %s can sign in as %s (a running engine reads %s at each sign-in)\n",
                qPrintable(name), qPrintable(roleName), qPrintable(path));
    return 0;
}

}  // namespace tarvo::cli
