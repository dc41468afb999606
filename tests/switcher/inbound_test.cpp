#include <gtest/gtest.h>

#include <QNetworkDatagram>
#include <QUdpSocket>

#include "base/clock.h"
#include "logs/failure.h"
#include "scheduler/conditions.h"
#include "support/test_support.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/inbound.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::bytes;

QByteArray stateFrame(int kind, const std::vector<std::pair<int, int>>& entries) {
    FrameBuilder b(0xF7);
    b.byte(kind).num14(static_cast<int>(entries.size()));
    for (auto [n, v] : entries) b.num14(n).byte(v);
    return test::LeaveStreamSeed(b.finish());
}

// A map of one block per output: each entry is {channel type, source, second number, device}.
struct Entry {
    int type, source, param, device;
};
QByteArray mapFrame(int kindByte, int first, const std::vector<std::vector<Entry>>& outputs,
                    int attr = 0) {
    const bool types = kindByte & 0x40;
    const bool devices = (types ? (kindByte & 0x0F) : kindByte) == 10;
    FrameBuilder b(0xF6);
    b.byte(kindByte).num14(static_cast<int>(outputs.size())).num14(first);
    for (const auto& block : outputs) {
        b.num14(static_cast<int>(block.size())).byte(attr);
        for (const Entry& en : block) {
            if (types) b.byte(en.type);
            b.num14(en.source).num14(en.param);
            if (devices) b.num14(en.device);
        }
    }
    return test::LeaveStreamSeed(b.finish());
}

AutomationEvent triggered(int16_t number, EventType type, const QString& title) {
    AutomationEvent ev;
    ev.id = static_cast<uint32_t>(number);  // runs find their entry again by it
    ev.Number = number;
    ev.Type = type;
    ev.Title = title;
    ev.Active = kActive;
    ev.Day = 0;
    ev.Time = kNotOnTheClock;
    return ev;
}

TEST(MapDecoder, ChannelTypesDevicesAndType10Entries) {
    const QByteArray f = mapFrame(0x4A, 3, {{{0, 5, 1, 2}, {10, 9, 3, 4}, {0, 7, 5, 6}}}, 0x11);
    MapProgress p;
    const auto m = DecodeCrosspointMap(f, p);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->first, 3);
    ASSERT_EQ(m->outputs.size(), 1u);
    const OutputMap& o = m->outputs[0];
    EXPECT_EQ(o.SourceCount, 3);
    EXPECT_EQ(o.OutputAttr, 0x11);
    EXPECT_EQ(o.Sources[0], 5);
    EXPECT_EQ(o.Sources[1], 7);
    EXPECT_EQ(o.SourceParams[1], 5);
    EXPECT_EQ(o.SourceDevices[0], 2);
    EXPECT_EQ(o.SourceDevices[1], 6);
    EXPECT_EQ(o.Type10Count, 1);
    EXPECT_EQ(o.Type10Sources[1], 9);
    EXPECT_EQ(o.Type10Params[1], 3);
    EXPECT_EQ(o.Type10Devices[1], 4);
}

TEST(MapDecoder, WrongChecksumOrLengthIsIgnored) {
    QByteArray f = mapFrame(0, 0, {{{0, 1, 0, 0}}, {}});
    MapProgress p;
    EXPECT_TRUE(DecodeCrosspointMap(f, p));
    QByteArray bad = f;
    bad[bad.size() - 2] = static_cast<char>(bad[bad.size() - 2] ^ 1);
    EXPECT_FALSE(DecodeCrosspointMap(bad, p));
    // One payload byte more than the blocks account for.
    FrameBuilder longer(0xF6);
    longer.bytes(f.mid(1, f.size() - 3)).byte(0);
    EXPECT_FALSE(DecodeCrosspointMap(longer.finish(), p));
    EXPECT_EQ(MapStepText(p), QStringLiteral("XMap Error - Length"));
}

TEST(MapDecoder, BlocksThatDoNotFitFail) {
    MapProgress p;
    std::vector<Entry> tooMany(66, Entry{0, 1, 0, 0});
    EXPECT_THROW(DecodeCrosspointMap(mapFrame(0, 0, {tooMany}), p), TarvoError);
    EXPECT_EQ(MapStepText(p), QStringLiteral("XMap Error - Source, Out:1"));
    std::vector<Entry> tooMany10(33, Entry{10, 1, 0, 0});
    EXPECT_THROW(DecodeCrosspointMap(mapFrame(0x40, 0, {tooMany10}), p), TarvoError);
    // 65 ordinary and 32 type-10 entries are the most a block holds.
    std::vector<Entry> full(65, Entry{0, 1, 0, 0});
    full.insert(full.end(), 32, Entry{10, 2, 0, 0});
    EXPECT_TRUE(DecodeCrosspointMap(mapFrame(0x40, 0, {full}), p));
    // A block that claims more entries than the frame holds reads past its end.
    FrameBuilder shortMap(0xF6);
    shortMap.byte(0).num14(1).num14(0).num14(40).byte(0);
    EXPECT_THROW(DecodeCrosspointMap(shortMap.finish(), p), TarvoError);
    EXPECT_EQ(MapErrorLocation(MapProgress{MapStep::Count, 0, 2, 7, 4, 8}, 12),
              QStringLiteral("XMap Error - CountT:2, O:7, P: 4, L:8, Lng:11"));
}

TEST(SmallFrames, TakeReportIdentityAndInfoRequest) {
    const auto t = DecodeTakeReport(FrameBuilder(0xFE).num14(4).num14(7).num14(2).finish());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->command, 4);
    EXPECT_EQ(t->source, 7);
    EXPECT_EQ(t->output, 2);
    EXPECT_FALSE(DecodeTakeReport(FrameBuilder(0xFE).num14(4).num14(7).finish()));
    EXPECT_FALSE(DecodeTakeReport(bytes({0xFE, 0x04, 0x00, 0x07, 0x00, 0x02, 0x00, 0x0C, 0xFF})));

    EXPECT_TRUE(IsIdentRequest(bytes({0x81, 0x64, 0x64, 0xFF})));
    EXPECT_TRUE(IsIdentRequest(FrameBuilder(0x81).byte(100).byte(3).finish()));
    EXPECT_FALSE(IsIdentRequest(bytes({0x81, 0x64, 0x63, 0xFF})));
    EXPECT_FALSE(IsIdentRequest(FrameBuilder(0x81).byte(100).byte(0).byte(0).finish()));
    EXPECT_FALSE(IsIdentRequest(FrameBuilder(0x81).byte(99).finish()));
    EXPECT_EQ(IdentAnswerFrame(), bytes({0x81, 0x7D, 0x00, 0x7D, 0xFF}));
    EXPECT_EQ(InfoRequestFrame(0x30080, 0), bytes({0xF2, 0x00, 0x01, 0x0C, 0x00, 0x00, 0x00, 0x00,
                                                   0x00, 0x00, 0x00, 0x0D, 0xFF}));
}

class Inbound : public ::testing::Test {
  protected:
    Inbound() : h(test::WeekMoment(0, 9, 0)) {
        sw().OptoState.assign(2049, 0);
        sw().RelayState.assign(2049, 0);
        h.s().CurrentDay = 0;
    }
    Switcher& sw() { return h.e().switcher; }
    std::vector<OutputMap>& map() { return h.master().Map; }
    void crosspointEvent(int dest, int source, int tControl, const QString& title) {
        AutomationEvent ev = triggered(1, kCrosspointTrigger, title);
        ev.TriggerDest = static_cast<int16_t>(dest);
        ev.TriggerSource = static_cast<int16_t>(source);
        ev.tControl = static_cast<int16_t>(tControl);
        h.s().CrosspointEvents = {ev};
        h.s().CrosspointTriggerDests = {static_cast<int16_t>(dest)};
    }
    test::Harness h;
};

TEST_F(Inbound, FullMapIsStoredWithoutFiringEvents) {
    crosspointEvent(1, 6, 1, QStringLiteral("Came"));
    HandleCrosspointMap(sw(), mapFrame(0, 0, {{{0, 5, 0, 0}}, {{0, 6, 0, 0}, {0, 8, 0, 0}}}), kMaster);
    ASSERT_EQ(map().size(), 2u);
    EXPECT_TRUE(h.master().MapReceived);
    EXPECT_EQ(map()[1].SourceCount, 2);
    EXPECT_EQ(map()[1].Sources[1], 8);
    EXPECT_TRUE(h.view.history.empty());
    EXPECT_FALSE(h.slave().MapReceived);
}

TEST_F(Inbound, EachLinkKeepsItsOwnMap) {
    HandleCrosspointMap(sw(), mapFrame(0, 0, {{{0, 5, 0, 0}}, {{0, 6, 0, 0}}}), kSlave);
    EXPECT_TRUE(h.slave().MapReceived);
    ASSERT_EQ(h.slave().Map.size(), 2u);
    EXPECT_EQ(h.slave().Map[1].Sources[0], 6);
    EXPECT_FALSE(h.master().MapReceived);
    EXPECT_EQ(map().size(), 1u);
}

TEST_F(Inbound, SingleOutputMapFiresTheDestinationsTriggers) {
    // Output 3 (0-based 2) gets source 6 (0-based 5): the event waiting for source 6 on
    // destination 3 runs (and is refused, the link being down).
    crosspointEvent(3, 6, 1, QStringLiteral("Source 6 on 3"));
    HandleCrosspointMap(sw(), mapFrame(0, 2, {{{0, 5, 0, 0}}}), kMaster);
    ASSERT_EQ(map().size(), 3u);
    EXPECT_EQ(map()[2].Sources[0], 5);
    EXPECT_EQ(h.view.historyTitles(), QStringList{QStringLiteral("Source 6 on 3 - Not Executed")});
    EXPECT_EQ(h.folder.activityLines(),
              QStringList{QStringLiteral("Source 6 on 3 not executed - Server not connected")});
}

TEST_F(Inbound, MapFailureReportsWhereAndStoresNothing) {
    map().assign(1, OutputMap{});
    map()[0].SourceCount = 9;
    std::vector<Entry> tooMany(66, Entry{0, 1, 0, 0});
    HandleCrosspointMap(sw(), mapFrame(0, 0, {tooMany}), kMaster);
    EXPECT_EQ(map()[0].SourceCount, 9);
    EXPECT_FALSE(h.master().MapReceived);
    ASSERT_EQ(h.folder.errorLines().size(), 1);
    EXPECT_TRUE(
        h.folder.errorLines()[0].startsWith(QStringLiteral("XMap Error - Source, Out:1T:1, O:0,")));
    EXPECT_TRUE(
        h.folder.errorLines()[0].endsWith(QStringLiteral("Error #  9 - Subscript out of range")));
}

TEST_F(Inbound, TakeReportSetsTheOutputAndRunsTheTriggers) {
    map().assign(4, OutputMap{});
    map()[2].SourceCount = 3;
    map()[2].Sources = {1, 2, 3};
    map()[2].SourceParams[0] = 44;
    crosspointEvent(3, 8, 1, QStringLiteral("Source 8 on 3"));
    HandleTakeReport(sw(), FrameBuilder(0xFE).num14(4).num14(7).num14(2).finish(), kMaster);
    EXPECT_EQ(map()[2].SourceCount, 1);
    EXPECT_EQ(map()[2].Sources[0], 7);
    EXPECT_EQ(map()[2].SourceParams[0], 44);  // the rest of the entry is kept
    EXPECT_EQ(h.view.history.size(), 1u);

    // Another command leaves the map, but the triggers compare against an empty entry: the
    // source already there counts as come.
    HandleTakeReport(sw(), FrameBuilder(0xFE).num14(36).num14(1).num14(2).finish(), kMaster);
    EXPECT_EQ(map()[2].Sources[0], 7);
    EXPECT_EQ(h.view.history.size(), 2u);

    // An output the map does not have.
    HandleTakeReport(sw(), FrameBuilder(0xFE).num14(4).num14(1).num14(30).finish(), kMaster);
    ASSERT_EQ(h.folder.errorLines().size(), 1);
    EXPECT_TRUE(h.folder.errorLines()[0].startsWith(QStringLiteral("Error Processing Take")));
}

// Entries of channel type 10 are kept apart from the sources that feed an output: neither the
// crosspoint triggers nor the conditions may see them, nor the unused places they leave in
// Sources (which read as source 1).
class Type10Entries : public Inbound {
  protected:
    Type10Entries() {
        map().assign(4, OutputMap{});
        std::vector<AutomationEvent> events;
        for (int source : {1, 5, 8, 10, 60}) {
            AutomationEvent on = triggered(static_cast<int16_t>(source), kCrosspointTrigger,
                                           QStringLiteral("%1 on").arg(source));
            on.TriggerDest = 3;
            on.TriggerSource = static_cast<int16_t>(source);
            on.tControl = 1;
            AutomationEvent off = on;
            off.id = off.Number = static_cast<int16_t>(100 + source);
            off.Title = QStringLiteral("%1 off").arg(source);
            off.tControl = 2;
            events.push_back(on);
            events.push_back(off);
        }
        h.s().CrosspointEvents = events;
        h.s().CrosspointTriggerDests = {3};
    }
    QStringList ran() {
        h.settle();
        QStringList out =
            h.view.historyTitles().replaceInStrings(QStringLiteral(" - Not Executed"), QString());
        h.view.history.clear();
        return out;
    }
    // Source (1-based) on destination 3, as a condition sees it.
    bool feeds(int source) {
        AutomationEvent ev;
        ev.Condition = 1;
        ev.ReqSource = static_cast<int16_t>(source);
        ev.ReqDest = 3;
        AutomationEvent notOn = ev;
        notOn.Condition = 2;
        const bool on = VerifyConditions(h.s(), ev);
        EXPECT_NE(on, VerifyConditions(h.s(), notOn)) << "source " << source;
        return on;
    }
};

TEST_F(Type10Entries, NeitherTriggersNorConditionsSeeThemOrTheirEmptyPlaces) {
    // Output 3: source 5, then an entry of channel type 10 naming source 10.
    HandleCrosspointMap(sw(),
                        bytes({0xF6, 0x40, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04,
                               0x00, 0x00, 0x00, 0x0A, 0x09, 0x00, 0x00, 0x00, 0x5C, 0xFF}),
                        kMaster);
    ASSERT_EQ(map()[2].SourceCount, 2);
    ASSERT_EQ(map()[2].Type10Count, 1);
    EXPECT_EQ(ran(), QStringList{QStringLiteral("5 on")});
    const struct {
        int source;
        bool on;
    } picture[] = {{1, false}, {5, true}, {10, false}, {8, false}};
    for (const auto& c : picture) EXPECT_EQ(feeds(c.source), c.on) << "source " << c.source;

    // A plain take leaves the output fed by the one source it names: the switcher reports no
    // type-10 entries with it, so none are kept.
    HandleTakeReport(sw(), FrameBuilder(0xFE).num14(4).num14(7).num14(2).finish(), kMaster);
    EXPECT_EQ(map()[2].SourceCount, 1);
    EXPECT_EQ(map()[2].Type10Count, 0);
    EXPECT_EQ(ran(), (QStringList{QStringLiteral("5 off"), QStringLiteral("8 on")}));
    const struct {
        int source;
        bool on;
    } afterTake[] = {{8, true}, {5, false}, {1, false}, {10, false}};
    for (const auto& c : afterTake)
        EXPECT_EQ(feeds(c.source), c.on) << "after the take, source " << c.source;
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST_F(Type10Entries, AFullOutputWithType10EntriesIsCompared) {
    // 60 ordinary entries (sources 1 .. 60) and 10 of type 10: 70 entries in all, more than the
    // 65 places of Sources, yet a valid map.
    std::vector<Entry> block;
    for (int k = 0; k < 60; ++k) block.push_back(Entry{0, k, 0, 0});
    for (int k = 0; k < 10; ++k) block.push_back(Entry{10, 200 + k, 0, 0});
    HandleCrosspointMap(sw(), mapFrame(0x40, 2, {block}), kMaster);
    EXPECT_EQ(map()[2].SourceCount, 70);
    EXPECT_EQ(ran(),
              (QStringList{QStringLiteral("1 on"), QStringLiteral("5 on"), QStringLiteral("8 on"),
                           QStringLiteral("10 on"), QStringLiteral("60 on")}));
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
    EXPECT_TRUE(feeds(60));

    // The same output left with its type-10 entries only: every source went.
    HandleCrosspointMap(
        sw(), mapFrame(0x40, 2, {std::vector<Entry>(block.begin() + 60, block.end())}), kMaster);
    EXPECT_EQ(ran(), (QStringList{QStringLiteral("1 off"), QStringLiteral("5 off"),
                                  QStringLiteral("8 off"), QStringLiteral("10 off"),
                                  QStringLiteral("60 off")}));
    for (int source : {1, 60, 201}) EXPECT_FALSE(feeds(source)) << "source " << source;
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST_F(Inbound, ShortStateMessagesFireAndDumpsDoNot) {
    AutomationEvent ev = triggered(1, kRelayOn, QStringLiteral("Relay 1 on"));
    ev.Opto = 1;
    h.s().RelayEvents = {ev};
    std::vector<std::pair<int, int>> entries;
    for (int n = 0; n < 31; ++n) entries.push_back({n, 1});
    HandleRelayOptoState(sw(), stateFrame(40, entries), kMaster);
    EXPECT_EQ(h.view.history.size(), 1u);
    entries.push_back({31, 1});
    HandleRelayOptoState(sw(), stateFrame(40, entries), kSlave);
    EXPECT_EQ(h.view.history.size(), 1u);
    EXPECT_EQ(sw().RelayState[31], 1);
    EXPECT_EQ(sw().OptoState[31], 0);
}

TEST_F(Inbound, StateTablesGrowToFitInsteadOfLosingState) {
    std::vector<std::pair<int, int>> dump;
    for (int n = 0; n < 3000; ++n) dump.push_back({n, n % 2});
    HandleRelayOptoState(sw(), stateFrame(30, dump), kMaster);
    ASSERT_EQ(sw().OptoState.size(), 3000u);
    EXPECT_EQ(sw().OptoState[2999], 1);
    // A single change naming a relay far beyond the table.
    HandleRelayOptoState(sw(), stateFrame(40, {{3, 1}, {9000, 1}}), kMaster);
    ASSERT_EQ(sw().RelayState.size(), 9001u);
    EXPECT_EQ(sw().RelayState[9000], 1);
    EXPECT_EQ(sw().RelayState[3], 1);
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST_F(Inbound, BadStateMessagesChangeNothing) {
    QByteArray bad = stateFrame(30, {{4, 1}});
    bad[bad.size() - 2] = 0;
    HandleRelayOptoState(sw(), bad, kMaster);
    EXPECT_EQ(sw().OptoState[4], 0);
    ASSERT_EQ(h.folder.errorLines().size(), 1);
    EXPECT_TRUE(h.folder.errorLines()[0].startsWith(QStringLiteral("Relay/Opto State")));
    EXPECT_TRUE(h.folder.errorLines()[0].endsWith(QStringLiteral("Check Sum Error")));
    // A count that does not match the length, and a kind that is neither optos nor relays.
    HandleRelayOptoState(sw(), FrameBuilder(0xF7).byte(30).num14(2).num14(4).byte(1).finish(), kMaster);
    HandleRelayOptoState(sw(), stateFrame(35, {{4, 1}}), kMaster);
    EXPECT_EQ(sw().OptoState[4], 0);
    EXPECT_EQ(sw().RelayState[4], 0);
    EXPECT_EQ(h.folder.errorLines().size(), 1);
}

// A window that, like a real one, lets pending socket data be handled while it draws: the
// second opto message is consumed from inside the run fired by the first.
class ReentrantView : public test::RecordingView {
  public:
    Engine* engine = nullptr;
    void addHistoryLine(const ListLine& line, bool red) override {
        RecordingView::addHistoryLine(line, red);
        if (engine) ConsumeOneUnit(engine->switcher, kMaster);
    }
};

TEST(InboundReentry, AUnitIsCutOffBeforeItsHandlerRuns) {
    test::Folder folder;
    ManualClock clock(test::WeekMoment(0, 9, 0));
    ReentrantView view;
    Engine e(clock, view, folder.path());
    view.engine = &e;
    e.switcher.OptoState.assign(2049, 0);
    AutomationEvent one = triggered(1, kOptoOn, QStringLiteral("Opto 1"));
    one.Opto = 1;
    AutomationEvent two = triggered(2, kOptoOn, QStringLiteral("Opto 2"));
    two.Opto = 2;
    e.scheduler.OptoEvents = {one, two};
    e.switcher.master().RxBuffer = stateFrame(30, {{0, 1}}) + stateFrame(30, {{1, 1}});
    ConsumeOneUnit(e.switcher, kMaster);
    EXPECT_TRUE(e.switcher.master().RxBuffer.isEmpty());
    EXPECT_EQ(view.historyTitles(), (QStringList{QStringLiteral("Opto 1 - Not Executed"),
                                                 QStringLiteral("Opto 2 - Not Executed")}));
    EXPECT_EQ(e.switcher.OptoState[0], 1);
    EXPECT_EQ(e.switcher.OptoState[1], 1);
}

// A run fired by one unit that waits (here for its message's connection) is suspended; the
// units behind it are taken at once and fire runs of their own, which wait alongside it.
TEST(InboundRuns, ARunThatWaitsDoesNotHoldUpTheNextUnit) {
    test::Harness h(test::WeekMoment(0, 9, 0));
    h.online();
    h.e().switcher.OptoState.assign(2049, 0);
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    std::vector<AutomationEvent> events;
    for (int n = 1; n <= 2; ++n) {
        AutomationEvent ev = triggered(static_cast<int16_t>(n), kOptoOn, QStringLiteral("Opto %1").arg(n));
        ev.Opto = static_cast<int16_t>(n);
        ev.mcontrol = 1;
        ev.mtype = 4;  // UDP
        ev.Message = QStringLiteral("cue %1").arg(n);
        ev.MIPAddress = QStringLiteral("127.0.0.1");
        ev.MIPPort = peer.localPort();
        events.push_back(ev);
    }
    h.s().OptoEvents = events;
    h.master().RxBuffer = stateFrame(30, {{0, 1}}) + stateFrame(30, {{1, 1}});
    DrainReceiveBuffer(h.e().switcher, kMaster);

    EXPECT_TRUE(h.master().RxBuffer.isEmpty());
    EXPECT_EQ(h.e().switcher.OptoState[1], 1);
    EXPECT_EQ(h.s().runs.count(), 2);
    EXPECT_TRUE(h.view.history.empty());

    h.settle();
    EXPECT_EQ(h.s().runs.count(), 0);
    EXPECT_EQ(h.view.historyTitles(), (QStringList{QStringLiteral("Opto 1"), QStringLiteral("Opto 2")}));
    QStringList got;
    ASSERT_TRUE(test::waitUntil([&] {
        while (peer.hasPendingDatagrams()) got << QString::fromLatin1(peer.receiveDatagram().data());
        return got.size() == 2;
    }));
    EXPECT_EQ(got, (QStringList{QStringLiteral("cue 1"), QStringLiteral("cue 2")}));
}

}  // namespace
}  // namespace tarvo
