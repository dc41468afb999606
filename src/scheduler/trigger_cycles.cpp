#include "scheduler/trigger_cycles.h"

#include <algorithm>
#include <map>
#include <utility>

#include "scheduler/actions.h"
#include "scheduler/row_number.h"
#include "scheduler/triggered.h"
#include "store/load_database.h"
#include "switcher/codec.h"

namespace tarvo {

namespace {

// What a crosspoint action does to the sources of its destination, as the switcher applies it.
enum class Effect { None, Take, SumOn, SumOff };

Effect effectOf(const AutomationEvent& ev) {
    if (!HasAction(ev, ActionKind::Crosspoint) ||
        !OperandRefusal(ev, ActionKind::Crosspoint).isEmpty())
        return Effect::None;
    switch (ev.xcontrol) {
        case 1:
        case 4:
            return Effect::Take;
        case 2:
        case 5:
            return Effect::SumOn;
        case 3:
        case 6:
            return Effect::SumOff;
        default:
            return Effect::None;
    }
}

// A row the crosspoint runner can start: one the load keeps, on a day of the week, not inactive,
// watching a change it names on numbers the switcher can have.
bool watches(const AutomationEvent& ev) {
    if (ev.Type != kCrosspointTrigger || !IsRowNumber(ev.Number) || !IsWeekday(ev.Day) ||
        ev.Active == kInactive)
        return false;
    if (ev.tControl < 1 || ev.tControl > 4 || !Fits14(WireNumber(ev.TriggerDest))) return false;
    return ev.tControl > 2 || Fits14(WireNumber(ev.TriggerSource));
}

// A change of a destination's sources as the crosspoint runner is told of it: a source (or the
// destination as a whole, kWholeDestination) that came (1) or went (0).
struct Change {
    int dest, source, state;
};

// The one change a row waits for: what ProcessCrosspointEvent matches it with, turned round.
Change awaited(const AutomationEvent& ev) {
    const bool whole = ev.tControl >= 3;
    const bool came = ev.tControl == 1 || ev.tControl == 3;
    return {ev.TriggerDest, whole ? kWholeDestination : ev.TriggerSource, came ? 1 : 0};
}

Change opposite(Change c) {
    c.state = 1 - c.state;
    return c;
}

// Whether the action can make the change once the switcher applies it: a take routes its source,
// takes every other one off and gives an empty destination its first source; a sum on routes
// its source (perhaps the first); a sum off takes it off (perhaps the last).
bool makes(const AutomationEvent& a, Effect e, const Change& c) {
    if (a.DestChan != c.dest) return false;
    const bool whole = c.source == kWholeDestination;
    switch (e) {
        case Effect::Take:
            return c.state == 1 ? whole || c.source == a.SourceChan
                                : !whole && c.source != a.SourceChan;
        case Effect::SumOn:
            return c.state == 1 && (whole || c.source == a.SourceChan);
        case Effect::SumOff:
            return c.state == 0 && (whole || c.source == a.SourceChan);
        case Effect::None:
            break;
    }
    return false;
}

// `a`'s action starts `b` (only rows of one day start one another).
bool starts(const AutomationEvent& a, Effect e, const AutomationEvent& b) {
    return a.Day == b.Day && makes(a, e, awaited(b));
}

// `c`'s action undoes what `b` waits for, so that it can come again: a source routed is taken
// off, one taken off is routed, a destination given its first source is emptied, one left empty
// is given a source.
bool undoes(const AutomationEvent& c, Effect e, const AutomationEvent& b) {
    return c.Day == b.Day && makes(c, e, opposite(awaited(b)));
}

using Key = std::pair<int, int>;  // day, destination

class Graph {
  public:
    explicit Graph(const std::vector<AutomationEvent>& rows)
        : rows_(rows),
          effect_(rows.size(), Effect::None),
          in_(rows.size(), 0),
          index_(rows.size(), -1),
          low_(rows.size(), 0),
          onStack_(rows.size(), false) {}

    void add(int i) {
        const AutomationEvent& ev = row(i);
        effect_[at(i)] = effectOf(ev);
        watchers_[{ev.Day, ev.TriggerDest}].push_back(i);
        if (effect_[at(i)] != Effect::None) actors_[{ev.Day, ev.DestChan}].push_back(i);
    }

    // The strongly connected parts of `members` under `starts`.
    std::vector<std::vector<int>> components(const std::vector<int>& members) {
        stamp(members);
        for (int m : members) {
            index_[at(m)] = -1;
            onStack_[at(m)] = false;
        }
        std::vector<std::vector<int>> out;
        std::vector<int> stack;
        struct Visit {
            int v;
            const std::vector<int>* targets;
            std::size_t next;
        };
        std::vector<Visit> visits;
        int counter = 0;
        const auto enter = [&](int v) {
            index_[at(v)] = low_[at(v)] = counter++;
            stack.push_back(v);
            onStack_[at(v)] = true;
            const std::vector<int>* targets = nullptr;
            if (effect_[at(v)] != Effect::None)
                if (const auto it = watchers_.find({row(v).Day, row(v).DestChan});
                    it != watchers_.end())
                    targets = &it->second;
            visits.push_back({v, targets, 0});
        };
        for (int root : members) {
            if (index_[at(root)] >= 0) continue;
            enter(root);
            while (!visits.empty()) {
                Visit& visit = visits.back();
                if (visit.targets && visit.next < visit.targets->size()) {
                    const int w = (*visit.targets)[visit.next++];
                    const int v = visit.v;
                    if (w == v || in_[at(w)] != generation_ ||
                        !starts(row(v), effect_[at(v)], row(w)))
                        continue;
                    if (index_[at(w)] < 0)
                        enter(w);  // `visit` is not used after this
                    else if (onStack_[at(w)])
                        low_[at(v)] = std::min(low_[at(v)], index_[at(w)]);
                    continue;
                }
                const int v = visit.v;
                visits.pop_back();
                if (!visits.empty())
                    low_[at(visits.back().v)] = std::min(low_[at(visits.back().v)], low_[at(v)]);
                if (low_[at(v)] != index_[at(v)]) continue;
                std::vector<int> part;
                for (int w = -1; w != v;) {
                    w = stack.back();
                    stack.pop_back();
                    onStack_[at(w)] = false;
                    part.push_back(w);
                }
                out.push_back(std::move(part));
            }
        }
        return out;
    }

    // `part` less the rows whose trigger nothing in what is left can make come again.
    std::vector<int> sustained(std::vector<int> part) {
        for (;;) {
            stamp(part);
            const std::size_t before = part.size();
            std::erase_if(part, [&](int b) { return !comesAgain(b); });
            if (part.size() == before) return part;
        }
    }

  private:
    const AutomationEvent& row(int i) const { return rows_[at(i)]; }
    static std::size_t at(int i) { return static_cast<std::size_t>(i); }

    void stamp(const std::vector<int>& members) {
        ++generation_;
        for (int m : members) in_[at(m)] = generation_;
    }

    bool comesAgain(int b) const {
        const auto it = actors_.find({row(b).Day, row(b).TriggerDest});
        if (it == actors_.end()) return false;
        return std::any_of(it->second.begin(), it->second.end(), [&](int c) {
            return in_[at(c)] == generation_ && undoes(row(c), effect_[at(c)], row(b));
        });
    }

    const std::vector<AutomationEvent>& rows_;
    std::vector<Effect> effect_;
    std::map<Key, std::vector<int>> watchers_;  // by the change they watch
    std::map<Key, std::vector<int>> actors_;    // by the destination their action changes
    std::vector<int> in_;                       // the generation of the set a row is in
    int generation_ = 0;
    std::vector<int> index_, low_;
    std::vector<bool> onStack_;
};

// The rounds among `members`: each strongly connected part less the rows that cannot come again,
// and what is left of a part that lost some looked at afresh (it may fall apart).
std::vector<std::vector<int>> rounds(Graph& g, std::vector<int> members) {
    std::vector<std::vector<int>> out;
    std::vector<std::vector<int>> todo{std::move(members)};
    while (!todo.empty()) {
        const std::vector<int> set = std::move(todo.back());
        todo.pop_back();
        for (std::vector<int>& part : g.components(set)) {
            if (part.size() < 2) continue;  // a row alone never starts itself again
            const std::size_t size = part.size();
            std::vector<int> kept = g.sustained(std::move(part));
            if (kept.size() < 2) continue;
            if (kept.size() < size) {
                todo.push_back(std::move(kept));
                continue;
            }
            std::sort(kept.begin(), kept.end());
            out.push_back(std::move(kept));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

std::vector<std::vector<int>> CrosspointTriggerCycles(const std::vector<AutomationEvent>& rows) {
    Graph g(rows);
    std::vector<int> members;
    const std::size_t loaded = std::min<std::size_t>(rows.size(), kMaxEvents);
    for (std::size_t i = 0; i < loaded; ++i) {
        if (!watches(rows[i])) continue;
        members.push_back(static_cast<int>(i));
        g.add(static_cast<int>(i));
    }
    return rounds(g, std::move(members));
}

}  // namespace tarvo
