#include "engine/watch.h"

#include <algorithm>
#include <vector>

#include <QStringList>

#include "logs/logs.h"
#include "switcher/codec.h"
#include "switcher/commands.h"
#include "switcher/links.h"

namespace tarvo {

namespace {

// The take commands of the 0xFE frame, plain and priority, option bits aside.
constexpr int kTakeCode = 4;
constexpr int kPriorityTakeCode = 5;
constexpr int kCommandBits = 0x400 | 0x2000;

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
    if (frame.size() != 9 || static_cast<uint8_t>(frame[0]) != kTakeType) return;
    const int command = Read14(frame, 1) & ~kCommandBits;
    if (command != kTakeCode && command != kPriorityTakeCode) return;
    const uint64_t generation = sw_.link(link).generation;
    if (reporting_[static_cast<std::size_t>(link)] != generation) return;  // not known to report takes
    const int source = Read14(frame, 3);
    const int dest = Read14(frame, 5);
    // A newer take to the same output replaces what the older one asked for.
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->link == link && it->dest == dest) {
            clock_.cancelAlarm(it->alarm);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    pending_.push_back({link, source, dest, generation, 0});
    const auto it = std::prev(pending_.end());
    it->alarm = clock_.setAlarm(kTakeConfirmMs, [this, it] { expire(it); });
}

void TakeWatch::expire(std::list<Expected>::iterator it) {
    const Expected x = *it;
    pending_.erase(it);
    // A link lost meanwhile says so itself; its takes are not this watch's business any more.
    if (sw_.link(x.link).generation != x.generation || confirmed(x)) return;
    WriteErrorLog(logs_, TakeNotConfirmedText(x.link, x.source, x.dest), QString());
}

void TakeWatch::pictureChanged(int link, int first, int count) {
    if (count == 1) reporting_[static_cast<std::size_t>(link)] = sw_.link(link).generation;
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

void SlaveWatch::pictureChanged(int, int first, int count) {
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
    // A whole map compares every output the two pictures share.
    const int last = std::min(first + count, static_cast<int>(std::min(sw_.master().Map.size(), sw_.slave().Map.size())));
    for (int o = std::max(first, 0); o < last; ++o) compare(o);
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
        if (!master.MapReceived || !slave.MapReceived || output >= static_cast<int>(master.Map.size()) ||
            output >= static_cast<int>(slave.Map.size())) {
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
