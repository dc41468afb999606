// Two watches on what the switchers report, beside the engine's core and never inside a run:
//
// - TakeWatch: once a link has shown that its switcher reports takes (a take report or a map
//   of one output since it came up), every take sent on it is expected back within a second,
//   the source on the output as sent. One that is not writes one error-log line; a report that
//   confirms it later writes nothing.
// - SlaveWatch: with a slave and both maps received, an output whose sources differ between
//   master and slave for more than two seconds writes one error-log line, and one more when
//   they agree again; never a line per message.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <map>

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
    // The link's generation in which its switcher was last seen to report a take.
    std::array<uint64_t, 2> reporting_{UINT64_MAX, UINT64_MAX};
    std::list<Expected> pending_;
};

class SlaveWatch {
public:
    SlaveWatch(Clock& clock, Logs& logs, Switcher& sw);
    ~SlaveWatch();
    SlaveWatch(const SlaveWatch&) = delete;
    SlaveWatch& operator=(const SlaveWatch&) = delete;

    void pictureChanged(int link, int first, int count);
    // Outputs found different and not yet said to agree again.
    std::size_t differing() const;

private:
    struct Difference {
        AlarmId alarm = 0;     // the two seconds still running
        bool reported = false;
    };
    void compare(int output);

    Clock& clock_;
    Logs& logs_;
    Switcher& sw_;
    std::map<int, Difference> differences_;
};

// How an output's sources read in these lines: "In:0005", "In:0005+0007", "In:none".
QString SourcesText(const OutputMap& m);
QString TakeNotConfirmedText(int link, int source, int dest);
QString SlaveDiffersText(int output, const OutputMap& master, const OutputMap& slave);
QString SlaveAgreesText(int output, const OutputMap& both);

}  // namespace tarvo
