// Two watches on what the switchers report, beside the engine's core and never inside a run:
//
// - TakeWatch: once a link's switcher has reported a take on the present connection, every take
//   sent on it is expected back within a second, the source on the output as sent (a take
//   report of either command, or a map). One that is not writes one error-log line; a report
//   that confirms it later writes nothing. Takes still waiting when their link is lost (closed,
//   or its switcher reported absent) are said in one line for them all.
// - SlaveWatch: with a slave and both maps received, an output whose sources differ between
//   master and slave for more than two seconds writes one error-log line, and one more when
//   they agree again; never a line per message. Only outputs both pictures describe are
//   compared: an output a map has not described yet, or one a take was sent to on a link whose
//   switcher is not known to report takes, until a map or a report describes it again.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <map>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QString>

#include "base/clock.h"

namespace tarvo {

struct Logs;
class Switcher;
struct OutputMap;

constexpr int kTakeConfirmMs = 1000;
constexpr int kSlaveDifferMs = 2000;

class TakeWatch {
public:
    TakeWatch(Clock& clock, Logs& logs, Switcher& sw);
    ~TakeWatch();
    TakeWatch(const TakeWatch&) = delete;
    TakeWatch& operator=(const TakeWatch&) = delete;

    void frameSent(int link, const QByteArray& frame);
    void pictureChanged(int link, int first, int count);
    std::size_t pending() const { return pending_.size(); }
    // Takes the link's switcher took, and those it did not confirm within kTakeConfirmMs (also
    // those its link was lost with), since the start; by link.
    uint64_t sent(int link) const { return sent_[static_cast<std::size_t>(link & 1)]; }
    uint64_t unconfirmed(int link) const { return unconfirmed_[static_cast<std::size_t>(link & 1)]; }

private:
    struct Expected {
        int link, source, dest;  // 0-based
        uint64_t generation;     // of the link when it was sent
        AlarmId alarm;
    };
    bool confirmed(const Expected& x) const;
    void expire(std::list<Expected>::iterator it);

    Clock& clock_;
    Logs& logs_;
    Switcher& sw_;
    std::list<Expected> pending_;
    std::array<uint64_t, 2> sent_{};
    std::array<uint64_t, 2> unconfirmed_{};
};

class SlaveWatch {
public:
    SlaveWatch(Clock& clock, Logs& logs, Switcher& sw);
    ~SlaveWatch();
    SlaveWatch(const SlaveWatch&) = delete;
    SlaveWatch& operator=(const SlaveWatch&) = delete;

    void frameSent(int link, const QByteArray& frame);
    void pictureChanged(int link, int first, int count);
    // Outputs found different and not yet said to agree again.
    std::size_t differing() const;

private:
    struct Difference {
        AlarmId alarm = 0;     // the two seconds still running
        bool reported = false;
    };
    void compare(int output);
    // Whether the link's picture of the output is the switcher's as last described to it.
    bool described(int link, int output) const;
    bool comparable(int output) const;

    Clock& clock_;
    Logs& logs_;
    Switcher& sw_;
    std::map<int, Difference> differences_;
    // Per link: the outputs described since the link's generation `describedIn`.
    std::array<std::vector<bool>, 2> described_;
    std::array<uint64_t, 2> describedIn_{UINT64_MAX, UINT64_MAX};
};

// How an output's sources read in these lines: "In:0005", "In:0005+0007", "In:none".
QString SourcesText(const OutputMap& m);
QString TakeNotConfirmedText(int link, int source, int dest);
// Takes (source, output; 0-based) of one link left waiting when it was lost, in one line.
QString TakesLostText(int link, const std::vector<std::pair<int, int>>& takes);
QString SlaveDiffersText(int output, const OutputMap& master, const OutputMap& slave);
QString SlaveAgreesText(int output, const OutputMap& both);

}  // namespace tarvo
