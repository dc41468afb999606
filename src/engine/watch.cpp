#include "engine/watch.h"

#include <algorithm>
#include <vector>

#include <QStringList>

#include "logs/logs.h"
#include "switcher/codec.h"
#include "switcher/commands.h"
#include "switcher/inbound.h"
#include "switcher/links.h"

namespace tarvo {

namespace {

// The output of a take the engine sent (0-based), or -1 for any other frame.
int takeOutput(const QByteArray& frame) {
    if (frame.size() != 9 || static_cast<uint8_t>(frame[0]) != kTakeType || !IsTakeCommand(Read14(frame, 1))) return -1;
    return Read14(frame, 5);
}

std::vector<int> sourcesOf(const OutputMap& m) {
    std::vector<int> s;
    for (int k = 0; k < OrdinarySourceCount(m) && k < kMaxSourcesPerOutput; ++k) s.push_back(m.Sources[static_cast<std::size_t>(k)]);
    std::sort(s.begin(), s.end());
    return s;
}

QString linkName(int link) { return link == kMaster ? QStringLiteral("Master") : QStringLiteral("Slave"); }

}  // namespace

QString SourcesText(const OutputMap& m) {
    const std::vector<int> s = sourcesOf(m);
    if (s.empty()) return QStringLiteral("In:none");
    QStringList parts;
    for (int v : s) parts << Digits4(v + 1);
    return QStringLiteral("In:") + parts.join(QLatin1Char('+'));
}

QString TakeNotConfirmedText(int link, int source, int dest) {
    return QStringLiteral("Take not confirmed - ") + linkName(link) + QStringLiteral(" In:") + Digits4(source + 1) +
           QStringLiteral("-->Out:") + Digits4(dest + 1);
}

QString TakesLostText(int link, const std::vector<std::pair<int, int>>& takes) {
    QStringList parts;
    for (const auto& [source, dest] : takes)
        parts << QStringLiteral("In:") + Digits4(source + 1) + QStringLiteral("-->Out:") + Digits4(dest + 1);
    return QStringLiteral("Take not confirmed - ") + linkName(link) + QLatin1Char(' ') + parts.join(QStringLiteral(", ")) +
           QStringLiteral(" (link lost)");
}

QString SlaveDiffersText(int output, const OutputMap& master, const OutputMap& slave) {
    return QStringLiteral("Slave differs - Out:") + Digits4(output + 1) + QStringLiteral(" master ") + SourcesText(master) +
           QStringLiteral(" slave ") + SourcesText(slave);
}

QString SlaveAgreesText(int output, const OutputMap& both) {
    return QStringLiteral("Slave agrees again - Out:") + Digits4(output + 1) + QLatin1Char(' ') + SourcesText(both);
}

// --- TakeWatch

TakeWatch::TakeWatch(Clock& clock, Logs& logs, Switcher& sw) : clock_(clock), logs_(logs), sw_(sw) {}

TakeWatch::~TakeWatch() {
    for (const Expected& x : pending_) clock_.cancelAlarm(x.alarm);
}

bool TakeWatch::confirmed(const Expected& x) const {
    const SwitcherLink& l = x.link == kMaster ? sw_.master() : sw_.slave();
    if (x.dest < 0 || x.dest >= static_cast<int>(l.Map.size())) return false;
    const std::vector<int> s = sourcesOf(l.Map[static_cast<std::size_t>(x.dest)]);
    return std::find(s.begin(), s.end(), x.source) != s.end();
}

void TakeWatch::frameSent(int link, const QByteArray& frame) {
    const int dest = takeOutput(frame);
    if (dest < 0) return;
    const SwitcherLink& l = sw_.link(link);
    ++sent_[static_cast<std::size_t>(l.index)];
    if (!l.reportsTakes()) return;  // not known to report takes: nothing to expect
    const int source = Read14(frame, 3);
    // A newer take to the same output replaces what the older one asked for.
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->link == link && it->dest == dest) {
            clock_.cancelAlarm(it->alarm);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    pending_.push_back({link, source, dest, l.generation, 0});
    const auto it = std::prev(pending_.end());
    it->alarm = clock_.setAlarm(kTakeConfirmMs, [this, it] { expire(it); });
}

void TakeWatch::expire(std::list<Expected>::iterator it) {
    const Expected x = *it;
    pending_.erase(it);
    if (sw_.link(x.link).generation == x.generation) {
        if (!confirmed(x)) {
            ++unconfirmed_[static_cast<std::size_t>(x.link)];
            WriteErrorLog(logs_, TakeNotConfirmedText(x.link, x.source, x.dest), QString());
        }
        return;
    }
    // The link was lost (closed, or its switcher reported absent) before the switcher said
    // anything: one line for every take it left waiting.
    std::vector<std::pair<int, int>> lost{{x.source, x.dest}};
    for (auto o = pending_.begin(); o != pending_.end();) {
        if (o->link == x.link && o->generation == x.generation) {
            lost.emplace_back(o->source, o->dest);
            clock_.cancelAlarm(o->alarm);
            o = pending_.erase(o);
        } else {
            ++o;
        }
    }
    unconfirmed_[static_cast<std::size_t>(x.link)] += lost.size();
    WriteErrorLog(logs_, TakesLostText(x.link, lost), QString());
}

void TakeWatch::pictureChanged(int link, int first, int count) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->link == link && it->dest >= first && it->dest < first + count && confirmed(*it)) {
            clock_.cancelAlarm(it->alarm);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

// --- SlaveWatch

SlaveWatch::SlaveWatch(Clock& clock, Logs& logs, Switcher& sw) : clock_(clock), logs_(logs), sw_(sw) {}

SlaveWatch::~SlaveWatch() {
    for (auto& [output, d] : differences_)
        if (d.alarm) clock_.cancelAlarm(d.alarm);
}

std::size_t SlaveWatch::differing() const {
    return static_cast<std::size_t>(
        std::count_if(differences_.begin(), differences_.end(), [](const auto& e) { return e.second.reported; }));
}

bool SlaveWatch::described(int link, int output) const {
    const auto k = static_cast<std::size_t>(link);
    return describedIn_[k] == sw_.link(link).generation && output >= 0 &&
           output < static_cast<int>(described_[k].size()) && described_[k][static_cast<std::size_t>(output)];
}

bool SlaveWatch::comparable(int output) const {
    return sw_.master().MapReceived && sw_.slave().MapReceived && output < static_cast<int>(sw_.master().Map.size()) &&
           output < static_cast<int>(sw_.slave().Map.size()) && described(kMaster, output) && described(kSlave, output);
}

void SlaveWatch::frameSent(int link, const QByteArray& frame) {
    // A switcher that does not report takes may have carried this one out or not: its picture
    // of the output is not known until a map (or a report after all) describes it again.
    const int dest = takeOutput(frame);
    if (dest < 0 || sw_.link(link).reportsTakes() || !described(link, dest)) return;
    described_[static_cast<std::size_t>(link)][static_cast<std::size_t>(dest)] = false;
}

void SlaveWatch::pictureChanged(int link, int first, int count) {
    const auto k = static_cast<std::size_t>(link);
    const uint64_t generation = sw_.link(link).generation;
    if (describedIn_[k] != generation) {
        described_[k].clear();
        describedIn_[k] = generation;
    }
    if (first >= 0 && count > 0) {
        const auto end = static_cast<std::size_t>(first + count);
        if (described_[k].size() < end) described_[k].resize(end, false);
        std::fill(described_[k].begin() + first, described_[k].begin() + static_cast<std::ptrdiff_t>(end), true);
    }
    if (!sw_.SlaveEnabled || !sw_.master().MapReceived || !sw_.slave().MapReceived) {
        // Nothing to compare any more: a difference said stands until both pictures are back and
        // agree; one still in its two seconds is forgotten.
        for (auto it = differences_.begin(); it != differences_.end();) {
            if (it->second.alarm) clock_.cancelAlarm(it->second.alarm);
            it->second.alarm = 0;
            it = it->second.reported ? std::next(it) : differences_.erase(it);
        }
        return;
    }
    // A whole map compares every output the two pictures describe.
    for (int o = std::max(first, 0); o < first + count; ++o)
        if (comparable(o)) compare(o);
}

void SlaveWatch::compare(int output) {
    const OutputMap& m = sw_.master().Map[static_cast<std::size_t>(output)];
    const OutputMap& s = sw_.slave().Map[static_cast<std::size_t>(output)];
    const bool differ = sourcesOf(m) != sourcesOf(s);
    const auto it = differences_.find(output);
    if (!differ) {
        if (it == differences_.end()) return;
        if (it->second.alarm) clock_.cancelAlarm(it->second.alarm);
        if (it->second.reported) WriteErrorLog(logs_, SlaveAgreesText(output, m), QString());
        differences_.erase(it);
        return;
    }
    if (it != differences_.end()) return;  // already waiting or said
    Difference& d = differences_[output];
    d.alarm = clock_.setAlarm(kSlaveDifferMs, [this, output] {
        auto found = differences_.find(output);
        if (found == differences_.end()) return;
        found->second.alarm = 0;
        const SwitcherLink& master = sw_.master();
        const SwitcherLink& slave = sw_.slave();
        if (!comparable(output)) {
            differences_.erase(found);
            return;
        }
        const OutputMap& mm = master.Map[static_cast<std::size_t>(output)];
        const OutputMap& ss = slave.Map[static_cast<std::size_t>(output)];
        if (sourcesOf(mm) == sourcesOf(ss)) {
            differences_.erase(found);
            return;
        }
        found->second.reported = true;
        WriteErrorLog(logs_, SlaveDiffersText(output, mm, ss), QString());
    });
}

}  // namespace tarvo
