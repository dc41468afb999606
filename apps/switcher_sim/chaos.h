// Chaos for the simulator: a switcher that misbehaves in every way the link allows, on a
// schedule drawn from a seed. The plan is pure: the same seed and options give the same steps,
// whatever the engine does meanwhile, so a soak that finds a fault can be replayed.
#pragma once

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QString>

namespace tarvo::sim {

struct ChaosOptions {
    uint32_t seed = 1;
    int paceMs = 1500;         // mean gap between two steps
    int silenceMaxMs = 20000;  // longest silence; beyond the keep-alive limit when it is long
    int slowReadMaxMs = 8000;  // longest stretch without reading the engine's socket
    int floodUnits = 800000;   // identity requests that make the engine write while unread
                               // (the engine's socket holds some MB before its writes wait)
    int maxBurst = 40;         // frames in one burst of single changes
    int triggerRange = 8;      // optos, relays and outputs 1..N get the single changes
    int sources = 64;
    int outputs = 64;
    int optos = 64;
    int relays = 64;
};

struct StateChange {
    int kind;    // 30 optos, 40 relays
    int number;  // 0-based
    int state;
};

struct ChaosStep {
    enum Kind {
        Disconnect,  // close the engine's connection (`abort`: reset rather than an orderly close)
        Silence,     // send nothing at all for `durationMs`
        Garbage,     // `bytes` between frames
        CutFrame,    // `bytes` is a frame without its tail
        MapBurst,    // single-output maps: `outputs` with their new sources
        TakeBurst,   // take reports: (source, output) in `takes`
        StateBurst,  // single-entry opto/relay reports, one frame each
        StateDump,   // one report of 32 or more entries: updates without events
        SlowRead,    // stop reading for `durationMs` and make the engine write `floodUnits` answers
        Bounce,      // the opto or relay of `states[0]` toggled `hz` times a second for `durationMs`
        OutputBurst, // take reports all on one output, one source after the other: `takes`
    };
    Kind kind = Garbage;
    int afterMs = 0;  // wait before this step
    int durationMs = 0;
    bool abort = false;
    QByteArray bytes;
    std::vector<std::pair<int, std::vector<int>>> outputs;  // 0-based output, 0-based sources
    std::vector<std::pair<int, int>> takes;                 // 0-based source, output
    std::vector<StateChange> states;
    int floodUnits = 0;
    int hz = 0;

    QString describe() const;
};

class ChaosPlan {
  public:
    explicit ChaosPlan(const ChaosOptions& options);
    ChaosStep next();
    const ChaosOptions& options() const { return options_; }

  private:
    int below(int n);                // 0 .. n-1
    int between(int low, int high);  // low .. high
    ChaosStep::Kind pickKind();

    ChaosOptions options_;
    std::mt19937 rng_;  // its output is the same on every platform, unlike the distributions
};

// Identity requests, back to back: each one asks the engine for a five-byte answer.
QByteArray IdentFlood(int units);

}  // namespace tarvo::sim
