// The receive path: any byte stream from either switcher, cut anywhere, taken off the receive
// buffers by the consumer and handed to every inbound handler, while opto, relay and crosspoint
// events wait to be triggered. The links have no sockets: what the engine sends goes nowhere.
//
// After every input the engine's picture of the switcher and its event tables must still be
// within their bounds, and every failure must have been one the engine raised and reported.
#include <algorithm>

#include "engine/engine.h"
#include "engine/main_loop.h"
#include "fuzz_engine.h"
#include "receive_input.h"
#include "base/clock.h"
#include "scheduler/triggered.h"
#include "store/load_database.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/inbound.h"
#include "switcher/links.h"

using namespace tarvo;
using fuzz::ReceiveHeader;
using fuzz::Require;

namespace {

// 7 December 2026 is a Monday, the day of the triggered events.
const QDateTime kMonday(QDate(2026, 12, 7), QTime(9, 0));
const QDateTime kWednesday(QDate(2026, 12, 9), QTime(9, 0));

// Active state of the k-th event of a table under a 2-bit mode: all active, every other one
// skipped once, every other one run once, or a mix of all four states.
int16_t ActiveFor(int mode, int k) {
    switch (mode & 3) {
        case 0:
            return kActive;
        case 1:
            return k % 2 ? kSkipNext : kActive;
        case 2:
            return k % 2 ? kRunOnce : kActive;
        default:
            return static_cast<int16_t>(k % 4);
    }
}

AutomationEvent event(int16_t number, int16_t type, int16_t day = 0) {
    AutomationEvent ev;
    ev.Number = number;
    ev.Type = type;
    ev.Day = day;
    ev.DayName = DayNameOf(day);
    ev.Time = kNotOnTheClock;
    ev.Title = QStringLiteral("Event %1").arg(number);
    ev.Gain = 1024;
    ev.FileName = QStringLiteral(" ");
    ev.Message = QStringLiteral(" ");
    ev.Method = QStringLiteral(" ");
    ev.MIPAddress = QStringLiteral("0.0.0.0");
    ev.Color = 16777215;
    return ev;
}

// Triggered events of every kind, each with an action of its own (and, on request, delays and
// conditions), so that every runner and every command builder is reached from the stream.
// No action reaches a peer: the one message goes "through the switcher".
std::vector<AutomationEvent> TriggeredEvents(uint8_t bits) {
    std::vector<AutomationEvent> v;
    // Opto events.
    {
        auto a = event(1, kOptoOn);
        a.Opto = 1;
        a.xcontrol = 1;
        a.SourceChan = 1;
        a.DestChan = 1;
        auto b = event(2, kOptoOff);
        b.Opto = 1;
        b.rcontrol = 3;
        b.Relay = 2;  // momentary: waits between on and off
        auto c = event(3, kOptoOn);
        c.Opto = 2;
        c.ocontrol = 1;
        c.OptoOut = 4;
        auto d = event(4, kOptoOn);
        d.Opto = 16384;
        d.scontrol = 1;
        d.Salvo = 2;
        auto f = event(5, kOptoOff);
        f.Opto = 2;
        f.FileType = 1;
        f.FileName = QStringLiteral("missing.dat");
        for (auto* ev : {&a, &b, &c, &d, &f}) v.push_back(*ev);
    }
    // Relay events.
    {
        auto a = event(6, kRelayOn);
        a.Opto = 1;
        a.ocontrol = 2;
        a.OptoOut = 1;
        auto b = event(7, kRelayOff);
        b.Opto = 1;
        b.vcontrol = 1;
        b.VChan = 1;
        b.Gain = 2047;
        auto c = event(8, kRelayOn);
        c.Opto = 2;
        c.mcontrol = 1;
        c.mtype = 3;
        c.Message = QStringLiteral("hello^M");
        auto d = event(9, kRelayOn);
        d.Opto = 3;
        d.sscontrol = 1;
        d.ssSource = 3;
        d.ssDeviceID = 2;
        d.rccontrol = 1;
        d.rcRelay = 1;
        d.rcOpto = 1;
        for (auto* ev : {&a, &b, &c, &d}) v.push_back(*ev);
    }
    // Crosspoint events.
    {
        auto a = event(10, kCrosspointTrigger);
        a.TriggerDest = 1;
        a.TriggerSource = 2;
        a.tControl = 1;
        a.xcontrol = 2;
        a.SourceChan = 3;
        a.DestChan = 4;
        auto b = event(11, kCrosspointTrigger);
        b.TriggerDest = 1;
        b.tControl = 3;
        b.rcontrol = 1;
        b.Relay = 1;
        auto c = event(12, kCrosspointTrigger);
        c.TriggerDest = 1;
        c.TriggerSource = 2;
        c.tControl = 2;
        c.vcontrol = 3;
        c.VChan = 2;
        auto d = event(13, kCrosspointTrigger);
        d.TriggerDest = 1;
        d.tControl = 4;
        d.xcontrol = 4;
        d.SourceChan = 2;
        d.DestChan = 1;
        d.Option = 2;
        auto f = event(14, kCrosspointTrigger);
        f.TriggerDest = 2;
        f.TriggerSource = 1;
        f.tControl = 1;
        f.xcontrol = 1;
        f.SourceChan = 5;
        f.DestChan = 6;
        auto g = event(15, kCrosspointTrigger);
        g.TriggerDest = 16383;
        g.tControl = 3;
        g.scontrol = 1;
        g.Salvo = 1;
        for (auto* ev : {&a, &b, &c, &d, &f, &g}) v.push_back(*ev);
    }
    // Events of another day or of none, and a timed event the ticks may reach.
    {
        auto a = event(16, kOptoOn, 1);
        a.Opto = 1;
        a.xcontrol = 1;
        a.SourceChan = 9;
        a.DestChan = 9;
        auto b = event(17, kCrosspointTrigger, 7);
        b.TriggerDest = 1;
        b.tControl = 3;
        b.scontrol = 1;
        b.Salvo = 3;
        auto c = event(18, kTimed);
        c.Time = QStringLiteral("09:00:01");
        c.xcontrol = 1;
        c.SourceChan = 1;
        c.DestChan = 2;
        for (auto* ev : {&a, &b, &c}) v.push_back(*ev);
    }
    for (std::size_t k = 0; k < v.size(); ++k) {
        AutomationEvent& ev = v[k];
        const int i = static_cast<int>(k);
        const int mode = ev.Type == kOptoOn || ev.Type == kOptoOff     ? bits
                         : ev.Type == kRelayOn || ev.Type == kRelayOff ? bits >> 2
                                                                       : bits >> 4;
        ev.Active = ActiveFor(mode, i);
        if (bits & 0x40) ev.Delay = static_cast<int16_t>(i % 5 == 0 ? -1 : i % 2);
        if (bits & 0x80) {
            ev.Condition = static_cast<int16_t>(1 + i % 6);
            ev.Condition2 = static_cast<int16_t>((i + 3) % 7);
            ev.ReqSource = 1;
            ev.ReqDest = static_cast<int16_t>(1 + i % 3);
            ev.ReqRelay = static_cast<int16_t>(1 + i % 2);
            ev.ReqOpto = static_cast<int16_t>(i % 3 == 0 ? 3000 : 1);  // beyond a start-up table
            ev.ReqSource2 = 2;
            ev.ReqDest2 = 1;
            ev.ReqRelay2 = 1;
            ev.ReqOpto2 = 2;
        }
    }
    return v;
}

void SetUp(Engine& e, const ReceiveHeader& h) {
    EngineSettings& s = e.settings;
    // Never dialled: the switcher's address stands for "no switcher".
    s.IPAddr = s.SlaveIPAddr = QStringLiteral("0.0.0.0");
    s.IPPort = s.SlaveIPPort = 1250;
    // The activity log starts again at every kilobyte instead of growing.
    e.logs.MaxTallyFile = 1;
    e.logs.ArchiveTally = false;
    for (SwitcherLink* l : {&e.switcher.master(), &e.switcher.slave()}) {
        l->wantedAddress = s.IPAddr;
        l->wantedPort = s.IPPort;
    }

    e.switcher.master().Connected = h.has(ReceiveHeader::MasterUp);
    e.switcher.master().Online = h.has(ReceiveHeader::MasterAnswering);
    if (h.has(ReceiveHeader::SlaveUpAndAnswering)) {
        s.SlaveEnabled = e.switcher.SlaveEnabled = true;
        e.switcher.slave().Connected = e.switcher.slave().Online = true;
    }
    if (h.has(ReceiveHeader::StartUpStateTables)) {
        e.switcher.OptoState.assign(2049, 0);
        e.switcher.RelayState.assign(2049, 0);
    }
    if (h.has(ReceiveHeader::GrownMaps)) {
        for (auto* m : {&e.switcher.master().Map, &e.switcher.slave().Map}) {
            m->assign(9, OutputMap{});
            for (int o = 1; o <= 8; ++o) {
                (*m)[static_cast<std::size_t>(o)].SourceCount = 1;
                (*m)[static_cast<std::size_t>(o)].Sources[0] = static_cast<int16_t>(o);
            }
        }
        e.switcher.master().MapReceived = e.switcher.slave().MapReceived = true;
    }

    Scheduler& sc = e.scheduler;
    sc.Events = TriggeredEvents(h.events);
    SortEvents(sc.Events);
    BuildOptoEvents(sc);
    BuildRelayEvents(sc);
    BuildCrosspointEvents(sc);
    sc.sampleClock();
}

// Every stored number came from a 14-bit field; counts stay within what a block can hold.
void CheckMap(const std::vector<OutputMap>& map) {
    Require(!map.empty(), "a map has at least its one empty entry");
    Require(map.size() <= 2 * static_cast<std::size_t>(kMax14Bit + 1),
            "a map ends within first + count");
    for (const OutputMap& o : map) {
        Require(o.SourceCount <= kMaxSourcesPerOutput + kMaxType10PerOutput,
                "SourceCount within a block");
        Require(o.Type10Count >= 0 && o.Type10Count <= kMaxType10PerOutput,
                "Type10Count within a block");
        const int used = std::min<int>(o.SourceCount, kMaxSourcesPerOutput);
        for (int k = 0; k < used; ++k)
            Require(o.Sources[static_cast<std::size_t>(k)] >= 0 &&
                        o.Sources[static_cast<std::size_t>(k)] <= kMax14Bit,
                    "a source is a 14-bit number");
        for (int k = 1; k <= o.Type10Count; ++k)
            Require(o.Type10Sources[static_cast<std::size_t>(k)] >= 0 &&
                        o.Type10Sources[static_cast<std::size_t>(k)] <= kMax14Bit,
                    "a type-10 source is a 14-bit number");
    }
}

// A triggered table keeps its order by key, then Delay, through runs and one-time deletes.
void CheckTriggerTable(Engine& e, TriggerTable t, bool (*kind)(int16_t),
                       int16_t AutomationEvent::*key) {
    const auto& list = e.scheduler.triggerTable(t);
    const auto count = static_cast<int32_t>(list.size());
    for (int32_t i = 0; i < count; ++i) {
        const AutomationEvent& ev = list[static_cast<std::size_t>(i)];
        Require(kind(ev.Type), "a trigger table holds only its own kind");
        if (i == 0) continue;
        const AutomationEvent& prev = list[static_cast<std::size_t>(i - 1)];
        Require(prev.*key < ev.*key || (prev.*key == ev.*key && prev.Delay <= ev.Delay),
                "a trigger table stays in key and delay order");
    }
}

void CheckEngine(Engine& e) {
    const SwitcherLink& master = e.switcher.master();
    const SwitcherLink& slave = e.switcher.slave();
    for (const SwitcherLink* l : {&master, &slave}) {
        Require(l->RxBuffer.size() <= kMaxPendingFrame + 65536, "a receive buffer stays bounded");
        Require(l->RxSeen >= 0 && l->RxSeen <= l->RxBuffer.size(), "what was looked at lies within the buffer");
    }
    Require(e.switcher.OptoState.size() <= static_cast<std::size_t>(kMaxStateEntries),
            "OptoState within 16384 entries");
    Require(e.switcher.RelayState.size() <= static_cast<std::size_t>(kMaxStateEntries),
            "RelayState within 16384 entries");
    CheckMap(master.Map);
    CheckMap(slave.Map);
    Require(master.NoReplyCount >= 0 && slave.NoReplyCount >= 0, "NoReplyCount never negative");
    Require(e.scheduler.runs.count() <= RunSet::kMaxRuns, "runs in progress stay bounded");

    CheckTriggerTable(
        e, TriggerTable::Opto, [](int16_t t) { return t == kOptoOn || t == kOptoOff; },
        &AutomationEvent::Opto);
    CheckTriggerTable(
        e, TriggerTable::Relay, [](int16_t t) { return t == kRelayOn || t == kRelayOff; },
        &AutomationEvent::Opto);
    CheckTriggerTable(
        e, TriggerTable::Crosspoint, [](int16_t t) { return t == kCrosspointTrigger; },
        &AutomationEvent::TriggerDest);
    const auto& delayed = e.scheduler.DelayedEvents;
    for (auto p = delayed.begin(); p != delayed.end() && std::next(p) != delayed.end(); ++p)
        Require(p->due <= std::next(p)->due, "the delayed queue stays in due order");

    Require(e.scheduler.NextEventIndex >= 0 &&
                e.scheduler.NextEventIndex < std::max<int32_t>(e.scheduler.TotalEvents(), 1),
            "NextEventIndex within the events");
}

// Consumes what is left on a link, one unit at a time, as the ticks would.
void ConsumeRest(Engine& e, int link) {
    // Every unit takes at least one byte off the buffer, so this ends.
    for (qsizetype n = e.switcher.link(link).RxBuffer.size() + 1; n > 0; --n)
        if (!ConsumeOneUnit(e.switcher, link)) return;
    fuzz::Broken("a unit was consumed without taking a byte off the buffer");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::StartQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ReceiveHeader h = ReceiveHeader::parse(data, size);
    const std::size_t headerSize = std::min(size, ReceiveHeader::kSize);
    const QByteArray stream =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data) + headerSize,
                                static_cast<qsizetype>(size - headerSize));

    static const QString folder = fuzz::SubFolder(QStringLiteral("program"));
    fuzz::RemoveFile(folder + kErrorLogName);

    try {
        ManualClock clock(h.has(ReceiveHeader::OtherDay) ? kWednesday : kMonday);
        fuzz::QuietView view;
        Engine e(clock, view, folder);
        SetUp(e, h);

        qsizetype at = 0;
        for (std::size_t piece = 0; at < stream.size(); ++piece) {
            const uint8_t cut = h.pieces[piece % h.pieces.size()];
            const qsizetype n =
                cut == 0 ? stream.size() - at : std::min<qsizetype>(cut, stream.size() - at);
            const int link = (h.links >> (piece % 8)) & 1;
            e.switcher.link(link).RxBuffer.append(stream.mid(at, n));
            at += n;
            if (h.has(ReceiveHeader::DrainEachPiece))
                DrainReceiveBuffer(e.switcher, link);
            else
                ConsumeOneUnit(e.switcher, link);
            if (h.has(ReceiveHeader::TickEachPiece)) {
                clock.advance(500);
                TimerTick(e);
            }
            CheckEngine(e);
        }
        // A long burst leaves its rest to a later turn of the loop.
        QCoreApplication::processEvents();
        ConsumeRest(e, kMaster);
        ConsumeRest(e, kSlave);
        CheckEngine(e);
    } catch (...) {
        fuzz::Broken("an exception escaped the engine");
    }
    fuzz::CheckErrorLog(folder);
    return 0;
}
