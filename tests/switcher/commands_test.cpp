#include <gtest/gtest.h>

#include "logs/failure.h"
#include "support/test_support.h"
#include "switcher/codec.h"
#include "switcher/commands.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::bytes;

AutomationEvent crosspoint(int xcontrol, int source, int dest, int option = 0) {
    AutomationEvent ev;
    ev.xcontrol = static_cast<int16_t>(xcontrol);
    ev.SourceChan = static_cast<int16_t>(source);
    ev.DestChan = static_cast<int16_t>(dest);
    ev.Option = static_cast<int16_t>(option);
    return ev;
}

TEST(Commands, CrosspointFramesAndLabels) {
    const auto take = CrosspointCommand(crosspoint(1, 5, 12));
    ASSERT_TRUE(take);
    EXPECT_EQ(take->frame, bytes({0xFE, 0x04, 0x08, 0x04, 0x00, 0x0B, 0x00, 0x1B, 0xFF}));
    EXPECT_EQ(take->logText, QStringLiteral("Send Take - In:0005-->Out:0012"));
    // Bit 1 of Option adds the priority bit; bit 0 does not.
    EXPECT_EQ(CrosspointCommand(crosspoint(1, 5, 12, 2))->frame.mid(1, 2), bytes({0x04, 0x48}));
    EXPECT_EQ(CrosspointCommand(crosspoint(1, 5, 12, 1))->frame.mid(1, 2), bytes({0x04, 0x08}));

    const struct {
        int x, command;
        const char* label;
    } table[] = {{2, 0x424, "Send Sum On - In:"},
                 {3, 0x420, "Send Sum Off - In:"},
                 {4, 0x405, "Send Priority Take - In:"},
                 {5, 0x425, "Send Priority Sum On - In:"},
                 {6, 0x421, "Send Priority Sum Off - In:"}};
    for (const auto& row : table) {
        const auto c = CrosspointCommand(crosspoint(row.x, 300, 1));
        ASSERT_TRUE(c);
        EXPECT_EQ(c->frame, FrameBuilder(0xFE).num14(row.command).num14(299).num14(0).finish());
        EXPECT_EQ(c->logText, QLatin1String(row.label) + QStringLiteral("0300-->Out:0001"));
    }
    EXPECT_FALSE(CrosspointCommand(crosspoint(7, 1, 1)));
    // Numbers the wire cannot carry are failures, not wrapped bytes.
    EXPECT_THROW(CrosspointCommand(crosspoint(1, 16385, 1)), TarvoError);
    EXPECT_THROW(CrosspointCommand(crosspoint(1, -3, 1)), TarvoError);
}

TEST(Commands, SalvoRelayOptoAndGainFrames) {
    AutomationEvent ev;
    ev.Salvo = 1;
    EXPECT_EQ(SalvoCommand(ev)->frame, bytes({0xEA, 0x64, 0x00, 0x00, 0x64, 0xFF}));
    EXPECT_EQ(SalvoCommand(ev)->logText, QStringLiteral("Send Execute Salvo Number 1"));
    ev.Salvo = 0;
    EXPECT_THROW(SalvoCommand(ev), TarvoError);

    ev.Relay = 10;
    const struct {
        int selector, code;
        const char* label;
    } relays[] = {
        {1, 68, "Latch Relay #"}, {2, 64, "Release Relay #"}, {3, 72, "Momentary Relay #"}};
    for (const auto& r : relays) {
        ev.rcontrol = static_cast<int16_t>(r.selector);
        EXPECT_EQ(RelayCommand(ev)->frame,
                  bytes({0xFE, r.code, 0x00, 0x00, 0x00, 0x09, 0x00, (r.code + 9) % 128, 0xFF}));
        EXPECT_EQ(RelayCommand(ev)->logText, QLatin1String(r.label) + QStringLiteral("0010"));
    }
    ev.rcontrol = 0;
    EXPECT_FALSE(RelayCommand(ev));

    ev.OptoOut = 3;
    ev.ocontrol = 1;
    EXPECT_EQ(OptoCommand(ev)->frame,
              bytes({0xFE, 0x64, 0x00, 0x02, 0x00, 0x00, 0x00, 0x66, 0xFF}));
    EXPECT_EQ(OptoCommand(ev)->logText, QStringLiteral("Opto On #0003"));
    ev.ocontrol = 2;
    EXPECT_EQ(OptoCommand(ev)->frame,
              bytes({0xFE, 0x60, 0x00, 0x02, 0x00, 0x00, 0x00, 0x62, 0xFF}));
    EXPECT_EQ(OptoCommand(ev)->logText, QStringLiteral("Opto Off #0003"));
    ev.ocontrol = 3;
    EXPECT_FALSE(OptoCommand(ev));

    ev.VChan = 1;
    ev.Gain = 1024;
    ev.vcontrol = 1;
    EXPECT_EQ(GainCommand(ev)->frame, bytes({0xE3, 0x02, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x08,
                                             (2 + 1 + 1 + 8) % 128, 0xFF}));
    EXPECT_EQ(GainCommand(ev)->logText, QStringLiteral("Source Gain Change Chan. 0000"));
    ev.vcontrol = 2;
    EXPECT_EQ(GainCommand(ev)->frame[2], 3);
    EXPECT_EQ(GainCommand(ev)->logText, QStringLiteral("Destination Gain Change Chan. 0000"));
    ev.vcontrol = 3;
    EXPECT_EQ(GainCommand(ev)->frame, bytes({0xE3, 0x02, 0x16, 0x01, 0x00, 0x01, 0x00, 0x00, 0x08,
                                             (2 + 22 + 1 + 1 + 8) % 128, 0xFF}));
    EXPECT_EQ(GainCommand(ev)->logText, QStringLiteral("Pan Change Device ID 0001"));
    ev.vcontrol = 0;
    EXPECT_FALSE(GainCommand(ev));

    EXPECT_EQ(Digits4(12345), QStringLiteral("12345"));
    EXPECT_EQ(Digits4(-7), QStringLiteral("-0007"));
}

// A command the switcher never got is not logged as sent: with the link down, a selector that
// names no command, a number the wire cannot carry (reported under its sender's location).
TEST(Commands, NothingIsLoggedForWhatTheSwitcherDidNotGet) {
    test::Harness h(test::WeekMoment(0, 9, 0));
    Switcher& sw = h.e().switcher;
    EXPECT_EQ(test::RunToEnd(h, SendCrosspointChange(sw, crosspoint(1, 5, 12))),
              SendResult::NotConnected);
    AutomationEvent salvo;
    salvo.Salvo = 0;
    EXPECT_EQ(test::RunToEnd(h, SendSalvoExecute(sw, salvo)), SendResult::Failed);
    AutomationEvent relay;
    relay.Relay = 4;
    relay.rcontrol = 0;
    EXPECT_EQ(test::RunToEnd(h, SendRelayAction(sw, relay)), SendResult::Refused);
    EXPECT_TRUE(h.folder.activityLines().isEmpty());
    ASSERT_EQ(h.folder.errorLines().size(), 1);
    EXPECT_TRUE(h.folder.errorLines()[0].startsWith(QStringLiteral("Error Sending Salvo Execute")));
}

// Each fault says no exactly where its builder builds nothing or fails, so a refusal found before
// the run is the sender's own.
TEST(Commands, AFaultIsFoundExactlyWhereTheBuilderRefuses) {
    using Fault = std::optional<OperandFault> (*)(const AutomationEvent&);
    using Build = std::optional<Command> (*)(const AutomationEvent&);
    using Field = int16_t AutomationEvent::*;
    using E = AutomationEvent;
    const struct {
        Fault fault;
        Build build;
        Field selector, number;
    } commands[] = {{&CrosspointFault, &CrosspointCommand, &E::xcontrol, &E::SourceChan},
                    {&CrosspointFault, &CrosspointCommand, &E::xcontrol, &E::DestChan},
                    {&SalvoFault, &SalvoCommand, &E::scontrol, &E::Salvo},
                    {&RelayFault, &RelayCommand, &E::rcontrol, &E::Relay},
                    {&OptoFault, &OptoCommand, &E::ocontrol, &E::OptoOut},
                    {&GainFault, &GainCommand, &E::vcontrol, &E::VChan},
                    {&GainFault, &GainCommand, &E::vcontrol, &E::Gain}};
    for (const auto& c : commands)
        for (int selector : {-1, 1, 3, 7})
            for (int n : {-32768, -3, 0, 1, 16383, 16384, 16385, 32767}) {
                AutomationEvent ev = crosspoint(1, 5, 12);
                ev.Salvo = ev.Relay = ev.OptoOut = ev.VChan = 2;
                ev.Gain = 1024;
                ev.*c.selector = static_cast<int16_t>(selector);
                ev.*c.number = static_cast<int16_t>(n);
                bool built = false;
                try {
                    built = c.build(ev).has_value();
                } catch (const TarvoError&) {
                }
                EXPECT_EQ(c.fault(ev).has_value(), !built) << "selector " << selector << ", " << n;
            }
}

// Every sender puts its own frame on the wire and its own line in the activity log, and fails
// under its own location.
TEST(Commands, EachSenderWritesItsFrameAndLine) {
    test::Harness h(test::WeekMoment(0, 9, 0));
    test::Peer peer;
    Switcher& sw = h.e().switcher;
    h.master().wantedAddress = QStringLiteral("127.0.0.1");
    h.master().wantedPort = peer.port();
    ConnectSwitcher(sw);
    ASSERT_TRUE(test::waitUntil([&] { return h.master().Connected; }));
    ASSERT_TRUE(peer.waitForClient());
    QByteArray wire(1, static_cast<char>(kPing));  // every connection's first ping

    AutomationEvent ev = crosspoint(1, 5, 12);
    ev.Salvo = 2;
    ev.Relay = 10;
    ev.rcontrol = 1;
    ev.OptoOut = 3;
    ev.ocontrol = 2;
    ev.VChan = 1;
    ev.Gain = 1024;
    ev.vcontrol = 1;
    using Sender = Task<SendResult> (*)(Switcher&, const AutomationEvent&);
    const struct {
        Sender send;
        std::optional<Command> (*build)(const AutomationEvent&);
    } senders[] = {{&SendCrosspointChange, &CrosspointCommand},
                   {&SendSalvoExecute, &SalvoCommand},
                   {&SendRelayAction, &RelayCommand},
                   {&SendOptoAction, &OptoCommand},
                   {&SendGainChange, &GainCommand}};
    QStringList lines;
    for (const auto& s : senders) {
        EXPECT_EQ(test::RunToEnd(h, s.send(sw, ev)), SendResult::Sent);
        wire += s.build(ev)->frame;
        lines << s.build(ev)->logText;
    }
    EXPECT_TRUE(test::waitUntil([&] { return peer.received.size() >= wire.size(); }));
    EXPECT_EQ(peer.received, wire);
    EXPECT_EQ(h.folder.activityLines(), lines);

    // A number the wire cannot carry: nothing is sent or logged, and the failure is reported
    // where the operator looks for that command.
    const struct {
        Sender send;
        const char* location;
    } failing[] = {{&SendCrosspointChange, "Error Sending Crosspoint Change"},
                   {&SendRelayAction, "Error Sending Relay Action"},
                   {&SendOptoAction, "Error Sending Opto Action"},
                   {&SendGainChange, "Error Sending Gain Message"}};
    AutomationEvent bad = ev;
    bad.SourceChan = bad.Relay = bad.OptoOut = -3;
    bad.VChan = bad.Gain = -3;
    for (const auto& f : failing) EXPECT_EQ(test::RunToEnd(h, f.send(sw, bad)), SendResult::Failed);
    const QStringList errors = h.folder.errorLines();
    ASSERT_EQ(errors.size(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(errors[i].startsWith(QLatin1String(failing[i].location))) << errors[i].toStdString();
    EXPECT_EQ(h.folder.activityLines(), lines);
    EXPECT_FALSE(test::waitUntil([&] { return peer.received.size() > wire.size(); }, 200));
}

}  // namespace
}  // namespace tarvo
