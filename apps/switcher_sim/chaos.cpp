#include "chaos.h"

#include <algorithm>

#include "sim_switcher.h"

namespace tarvo::sim {

namespace {

constexpr int kOptoKind = 30;
constexpr int kRelayKind = 40;
constexpr int kShortSilenceMs = 8000;
constexpr int kMinDumpEntries = 32;

// How often each kind comes up, in parts of the whole.
struct Weight {
    ChaosStep::Kind kind;
    int parts;
};
constexpr Weight kWeights[] = {
    {ChaosStep::Disconnect, 5},  {ChaosStep::Silence, 4},   {ChaosStep::Garbage, 10},
    {ChaosStep::CutFrame, 8},    {ChaosStep::MapBurst, 8},  {ChaosStep::TakeBurst, 8},
    {ChaosStep::StateBurst, 12}, {ChaosStep::StateDump, 4}, {ChaosStep::SlowRead, 2},
    {ChaosStep::Bounce, 5},      {ChaosStep::OutputBurst, 4},
};

const char* kindName(ChaosStep::Kind k) {
    switch (k) {
        case ChaosStep::Disconnect:
            return "disconnect";
        case ChaosStep::Silence:
            return "silence";
        case ChaosStep::Garbage:
            return "garbage";
        case ChaosStep::CutFrame:
            return "cut";
        case ChaosStep::MapBurst:
            return "maps";
        case ChaosStep::TakeBurst:
            return "takes";
        case ChaosStep::StateBurst:
            return "states";
        case ChaosStep::StateDump:
            return "dump";
        case ChaosStep::SlowRead:
            return "slow-read";
        case ChaosStep::Bounce:
            return "bounce";
        case ChaosStep::OutputBurst:
            return "output-takes";
    }
    return "?";
}

}  // namespace

QString ChaosStep::describe() const {
    QString s = QLatin1String(kindName(kind));
    switch (kind) {
        case Disconnect:
            return s + (abort ? QStringLiteral(" reset") : QStringLiteral(" close"));
        case Silence:
            return s + QStringLiteral(" %1 ms").arg(durationMs);
        case Garbage:
            return s + QStringLiteral(" %1 bytes").arg(bytes.size());
        case CutFrame:
            return s + QStringLiteral(" ") + Hex(bytes);
        case MapBurst:
            return s + QStringLiteral(" %1").arg(outputs.size());
        case TakeBurst:
            return s + QStringLiteral(" %1").arg(takes.size());
        case StateBurst:
            return s + QStringLiteral(" %1").arg(states.size());
        case StateDump:
            return s +
                   (states.empty() || states.front().kind == kOptoKind
                        ? QStringLiteral(" optos ")
                        : QStringLiteral(" relays ")) +
                   QString::number(states.size());
        case SlowRead:
            return s + QStringLiteral(" %1 ms flood %2").arg(durationMs).arg(floodUnits);
        case Bounce:
            return s + (states.empty() || states.front().kind == kOptoKind ? QStringLiteral(" opto ")
                                                                           : QStringLiteral(" relay ")) +
                   QStringLiteral("%1 %2 Hz %3 ms").arg(states.empty() ? 0 : states.front().number + 1).arg(hz).arg(durationMs);
        case OutputBurst:
            return s + QStringLiteral(" %1 on output %2").arg(takes.size()).arg(takes.empty() ? 0 : takes.front().second + 1);
    }
    return s;
}

ChaosPlan::ChaosPlan(const ChaosOptions& options) : options_(options), rng_(options.seed) {
    options_.paceMs = std::max(1, options_.paceMs);
    options_.silenceMaxMs = std::max(1000, options_.silenceMaxMs);
    options_.slowReadMaxMs = std::max(1000, options_.slowReadMaxMs);
    options_.floodUnits = std::max(0, options_.floodUnits);
    options_.maxBurst = std::max(1, options_.maxBurst);
    options_.sources = std::max(1, options_.sources);
    options_.outputs = std::max(1, options_.outputs);
    options_.optos = std::max(1, options_.optos);
    options_.relays = std::max(1, options_.relays);
    options_.triggerRange = std::clamp(
        options_.triggerRange, 1, std::min({options_.outputs, options_.optos, options_.relays}));
}

int ChaosPlan::below(int n) {
    return n <= 1 ? 0 : static_cast<int>(rng_() % static_cast<uint32_t>(n));
}

int ChaosPlan::between(int low, int high) {
    return high <= low ? low : low + below(high - low + 1);
}

ChaosStep::Kind ChaosPlan::pickKind() {
    int total = 0;
    for (const Weight& w : kWeights) total += w.parts;
    int r = below(total);
    for (const Weight& w : kWeights) {
        if (r < w.parts) return w.kind;
        r -= w.parts;
    }
    return ChaosStep::Garbage;
}

ChaosStep ChaosPlan::next() {
    const ChaosOptions& o = options_;
    ChaosStep step;
    step.afterMs = between(o.paceMs / 2, o.paceMs + o.paceMs / 2);
    step.kind = pickKind();
    switch (step.kind) {
        case ChaosStep::Disconnect:
            step.abort = below(2) == 0;
            break;
        case ChaosStep::Silence:
            // Mostly short; now and then as long as allowed, which may outlast the engine's
            // patience with a switcher that does not answer.
            if (below(40) == 0)
                step.durationMs = between(o.silenceMaxMs / 2, o.silenceMaxMs);
            else
                step.durationMs = between(1000, std::min(kShortSilenceMs, o.silenceMaxMs));
            break;
        case ChaosStep::Garbage: {
            const int n = between(1, 200);
            // Mostly bytes that cannot start a frame; sometimes anything at all, which may start
            // frames that never end, or look like control bytes.
            const bool anything = below(4) == 0;
            for (int k = 0; k < n; ++k)
                step.bytes.append(static_cast<char>(anything ? below(256) : below(128)));
            break;
        }
        case ChaosStep::CutFrame: {
            QByteArray whole;
            switch (below(3)) {
                case 0:
                    whole = TakeReportFrame(4, below(o.sources), below(o.outputs));
                    break;
                case 1:
                    whole = StateFrame(below(2) == 0 ? kOptoKind : kRelayKind,
                                       {{below(o.triggerRange), below(2)}});
                    break;
                default: {
                    std::vector<std::vector<int>> one(1, std::vector<int>{below(o.sources)});
                    whole = MapFrame(one, 0, 1);
                    break;
                }
            }
            // At least the type byte, never the end byte.
            step.bytes = whole.left(between(1, static_cast<int>(whole.size()) - 2));
            break;
        }
        case ChaosStep::MapBurst: {
            const int n = between(1, o.maxBurst);
            for (int k = 0; k < n; ++k) {
                std::vector<int> sources;
                const int count = between(0, 3);
                for (int s = 0; s < count; ++s) {
                    const int src = below(o.sources);
                    if (std::find(sources.begin(), sources.end(), src) == sources.end())
                        sources.push_back(src);
                }
                step.outputs.emplace_back(below(o.triggerRange), std::move(sources));
            }
            break;
        }
        case ChaosStep::TakeBurst: {
            const int n = between(1, o.maxBurst);
            for (int k = 0; k < n; ++k)
                step.takes.emplace_back(below(o.sources), below(o.triggerRange));
            break;
        }
        case ChaosStep::StateBurst: {
            const int n = between(1, o.maxBurst);
            for (int k = 0; k < n; ++k)
                step.states.push_back(
                    {below(2) == 0 ? kOptoKind : kRelayKind, below(o.triggerRange), below(2)});
            break;
        }
        case ChaosStep::StateDump: {
            const int kind = below(2) == 0 ? kOptoKind : kRelayKind;
            const int size = kind == kOptoKind ? o.optos : o.relays;
            const int n = std::max(kMinDumpEntries,
                                   between(kMinDumpEntries, std::max(kMinDumpEntries, size)));
            for (int k = 0; k < n; ++k) step.states.push_back({kind, k, below(2)});
            break;
        }
        case ChaosStep::SlowRead:
            step.durationMs = between(2000, o.slowReadMaxMs);
            // A flood costs both programs dearly; one stretch in three asks for it.
            step.floodUnits = below(3) == 0 ? o.floodUnits : 0;
            break;
        case ChaosStep::Bounce:
            // A contact that chatters: ten to fifty changes a second for a few seconds.
            step.states.push_back({below(2) == 0 ? kOptoKind : kRelayKind, below(o.triggerRange), 1});
            step.hz = between(10, 50);
            step.durationMs = between(1000, 4000);
            break;
        case ChaosStep::OutputBurst: {
            const int output = below(o.triggerRange);
            const int n = between(2, o.maxBurst);
            for (int k = 0; k < n; ++k) step.takes.emplace_back(below(o.sources), output);
            break;
        }
    }
    return step;
}

QByteArray IdentFlood(int units) {
    const QByteArray one = IdentRequestFrame();
    QByteArray all;
    all.reserve(one.size() * std::max(0, units));
    for (int k = 0; k < units; ++k) all.append(one);
    return all;
}

}  // namespace tarvo::sim
