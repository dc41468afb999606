#include "engine/metrics.h"

#include <algorithm>
#include <iterator>

#include "base/metrics.h"
#include "engine/engine.h"
#include "scheduler/actions.h"
#include "scheduler/run_event.h"
#include "tarvo_version.h"

namespace tarvo {

Health EngineHealth(const Engine& e, qint64 nowMs) {
    const Engine::Vitals& v = e.vitals;
    if (v.lastTickEndedMs < 0) return {false, QStringLiteral("no tick yet")};
    const qint64 age = nowMs - v.lastTickEndedMs;
    // A wall clock set back makes the last tick look as if it were to come: the next tick,
    // half a second on, says how the loop does.
    if (age >= kHealthyTickAgeMs)
        return {false, QStringLiteral("no tick for %1 s").arg(static_cast<double>(age) / 1000.0, 0, 'f', 1)};
    using Load = Engine::Vitals::Load;
    const auto withReason = [&](const char* what) {
        QString r = QLatin1String(what);
        if (!v.loadFailure.isEmpty()) r += QStringLiteral(": ") + v.loadFailure;
        return r;
    };
    switch (v.lastLoad) {
        case Load::Read:
            return {true, QString()};
        case Load::None:
            return {false, QStringLiteral("database not read yet")};
        case Load::Locked:
            return {false, withReason("database locked")};
        case Load::Failed:
            return {false, withReason("database unreadable")};
    }
    return {false, QString()};
}

namespace {

// A label value or help text as the format wants it: backslash, double quote (label values
// only) and line feed escaped.
QByteArray escaped(const QString& text, bool label) {
    QByteArray out;
    const QByteArray utf8 = text.toUtf8();
    out.reserve(utf8.size());
    for (char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && label)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

QByteArray number(uint64_t v) { return QByteArray::number(static_cast<qulonglong>(v)); }
QByteArray number(double v) { return QByteArray::number(v, 'g', 15); }
QByteArray seconds(qint64 ms) { return QByteArray::number(static_cast<double>(ms) / 1000.0, 'f', 3); }

const char* linkName(int link) { return link == kMaster ? "master" : "slave"; }

class Writer {
public:
    void family(const char* name, const char* type, const char* help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += escaped(QLatin1String(help), false);
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    // `labels` as written between the braces (values escaped already), or empty.
    void sample(const char* name, const QByteArray& labels, const QByteArray& value) {
        out_ += name;
        if (!labels.isEmpty()) {
            out_ += '{';
            out_ += labels;
            out_ += '}';
        }
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }
    void histogram(const char* name, const Histogram& h) {
        const QByteArray base(name);
        for (std::size_t i = 0; i < h.bounds(); ++i)
            sample((base + "_bucket").constData(), "le=\"" + number(h.bound(i)) + '"', number(h.cumulative(i)));
        sample((base + "_bucket").constData(), "le=\"+Inf\"", number(h.count()));
        sample((base + "_sum").constData(), {}, number(h.sum()));
        sample((base + "_count").constData(), {}, number(h.count()));
    }
    QByteArray take() { return std::move(out_); }

private:
    QByteArray out_;
};

QByteArray linkLabel(int link) { return QByteArray("link=\"") + linkName(link) + '"'; }

}  // namespace

QByteArray MetricsText(const Engine& e, qint64 nowMs) {
    Writer w;
    const Scheduler& s = e.scheduler;
    const RunnerCounts& c = s.counts;
    const int links[] = {kMaster, kSlave};
    const auto link = [&](int l) -> const SwitcherLink& { return l == kMaster ? e.switcher.master() : e.switcher.slave(); };

    w.family("tarvo_build_info", "gauge", "The engine's version, as a label; always 1.");
    w.sample("tarvo_build_info", "version=\"" + escaped(QStringLiteral(TARVO_VERSION), true) + '"', "1");

    w.family("tarvo_healthy", "gauge",
             "1 while the last tick ran to its end less than 2 s ago and the last load read the database.");
    w.sample("tarvo_healthy", {}, EngineHealth(e, nowMs).ok ? "1" : "0");

    w.family("tarvo_link_up", "gauge",
             "1 while the link is connected and its switcher answers; the slave only when one is set up.");
    for (int l : links) {
        if (l == kSlave && !e.settings.SlaveEnabled) continue;
        w.sample("tarvo_link_up", linkLabel(l), link(l).Connected && link(l).Online ? "1" : "0");
    }
    w.family("tarvo_link_connected", "gauge", "1 while the link's TCP connection is up, answering or not.");
    for (int l : links) {
        if (l == kSlave && !e.settings.SlaveEnabled) continue;
        w.sample("tarvo_link_connected", linkLabel(l), link(l).Connected ? "1" : "0");
    }
    w.family("tarvo_link_losses_total", "counter",
             "Times the link was up and went down: closed, given up for no answer, or its switcher reported absent.");
    for (int l : links) w.sample("tarvo_link_losses_total", linkLabel(l), number(link(l).losses));

    w.family("tarvo_events_total", "counter",
             "Events decided, by outcome: run, refused (not executed), missed (too late to run), interrupted (cut "
             "off by a kill, said at the next start), inactive.");
    const std::pair<const char*, uint64_t> outcomes[] = {{"run", c.run},
                                                         {"refused", c.refused},
                                                         {"missed", c.missed},
                                                         {"interrupted", e.vitals.interruptedRuns},
                                                         {"inactive", c.inactive}};
    for (const auto& [outcome, n] : outcomes)
        w.sample("tarvo_events_total", QByteArray("outcome=\"") + outcome + '"', number(n));

    w.family("tarvo_refusals_total", "counter",
             "Refusals by their reason, the words after \"not executed - \" in the activity log: of a whole event, "
             "of each trigger of a row still running, and of each action not carried out.");
    // The reasons every engine may give are there from the start, so that a rate over them has
    // a series before the first refusal.
    const QString known[] = {kServerNotConnected, kSwitcherNotConnected, kSwitcherNotReading, kUnableToSend,
                             kTooManyRuns};
    for (const QString& reason : known)
        w.sample("tarvo_refusals_total", "reason=\"" + escaped(reason, true) + '"', number(c.refusals.of(reason)));
    for (std::size_t i = 0; i < c.refusals.size(); ++i) {
        const QString& reason = c.refusals.reason(i);
        if (std::find(std::begin(known), std::end(known), reason) != std::end(known)) continue;
        w.sample("tarvo_refusals_total", "reason=\"" + escaped(reason, true) + '"', number(c.refusals.value(i)));
    }
    if (c.refusals.other() > 0) w.sample("tarvo_refusals_total", "reason=\"other\"", number(c.refusals.other()));

    w.family("tarvo_takes_sent_total", "counter", "Takes the link's switcher was sent.");
    for (int l : links) w.sample("tarvo_takes_sent_total", linkLabel(l), number(e.takes.sent(l)));
    w.family("tarvo_takes_unconfirmed_total", "counter",
             "Takes to a switcher that reports takes not confirmed within a second (or left waiting by a lost link).");
    for (int l : links) w.sample("tarvo_takes_unconfirmed_total", linkLabel(l), number(e.takes.unconfirmed(l)));

    w.family("tarvo_slave_differs", "gauge", "Outputs whose sources differ between master and slave now.");
    w.sample("tarvo_slave_differs", {}, number(static_cast<uint64_t>(e.slaves.differing())));

    w.family("tarvo_runs_in_progress", "gauge", "Runs of events in progress (waiting or running).");
    w.sample("tarvo_runs_in_progress", {}, number(static_cast<uint64_t>(s.runs.count())));

    w.family("tarvo_decision_lateness_seconds", "histogram",
             "How late each timed occurrence that runs was decided after its second.");
    w.histogram("tarvo_decision_lateness_seconds", c.decisionLateness);
    w.family("tarvo_trigger_latency_seconds", "histogram",
             "From the read of an opto or relay report to the first command of the run it started taken by the "
             "switcher's link.");
    w.histogram("tarvo_trigger_latency_seconds", c.triggerLatency);

    w.family("tarvo_last_tick_timestamp_seconds", "gauge",
             "When the last tick that ran to its end ended (Unix time); absent before the first.");
    if (e.vitals.lastTickEndedMs >= 0)
        w.sample("tarvo_last_tick_timestamp_seconds", {}, seconds(e.vitals.lastTickEndedMs));
    w.family("tarvo_next_event_timestamp_seconds", "gauge",
             "When the next timed occurrence falls (Unix time); absent when there is none.");
    if (s.next && s.next->at.isValid())
        w.sample("tarvo_next_event_timestamp_seconds", {}, seconds(s.next->at.toMSecsSinceEpoch()));

    w.family("tarvo_clock_synchronised", "gauge",
             "1 while the kernel reports the system clock synchronised, 0 while not; absent when it cannot tell.");
    if (const ClockSync sync = e.clockWatch.state(); sync != ClockSync::Unknown)
        w.sample("tarvo_clock_synchronised", {}, sync == ClockSync::Synchronised ? "1" : "0");

    w.family("tarvo_database_locked", "gauge",
             "1 while the last load of the database failed because another writer held its lock.");
    w.sample("tarvo_database_locked", {}, e.vitals.lastLoad == Engine::Vitals::Load::Locked ? "1" : "0");
    return w.take();
}

}  // namespace tarvo
