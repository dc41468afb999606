// The engine's health and metrics, as text for whoever serves them (the web console's /healthz
// and /metrics). Pure reads of the engine's state on the loop: nothing here waits, logs or
// changes anything, so a scrape costs the loop only the time to write the text.
#pragma once

#include <QByteArray>
#include <QString>

namespace tarvo {

class Engine;

// The last tick that ran to its end is older than this: the loop is not turning (or every tick
// fails).
constexpr qint64 kHealthyTickAgeMs = 2000;

// Healthy: the last tick ran to its end less than kHealthyTickAgeMs before `nowMs` (wall-clock
// milliseconds since the epoch, as the engine's clock reads) and the last load read the database.
// Otherwise `reason` says what is wrong in plain words: "no tick for 5.2 s", "no tick yet",
// "database locked: <reason>", "database unreadable: <the error log's reason>", "database not
// read yet".
struct Health {
    bool ok = false;
    QString reason;
};
Health EngineHealth(const Engine& e, qint64 nowMs);

// Every metric in the Prometheus text exposition format (version 0.0.4), names starting
// "tarvo_", each with # HELP and # TYPE. `nowMs` as for EngineHealth (tarvo_healthy).
QByteArray MetricsText(const Engine& e, qint64 nowMs);

// The content type to serve MetricsText with.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace tarvo
