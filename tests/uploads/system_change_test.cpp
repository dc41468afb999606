// System changes through the engine: the file check, the dispatch, and what each upload
// returns, logs and reports, in a real program folder.
#include <QDir>

#include <gtest/gtest.h>

#include "scheduler/actions.h"
#include "support/test_support.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"
#include "uploads/file_bytes.h"
#include "uploads/system_change.h"
#include "uploads/uploads.h"

namespace tarvo::test {
namespace {

struct ErrorEntry {
    QString location, message;
    bool operator==(const ErrorEntry&) const = default;
};

void PrintTo(const ErrorEntry& x, std::ostream* os) {
    *os << x.location.toStdString() << " | " << x.message.toStdString();
}

class SystemChange : public ::testing::Test {
  protected:
    Harness h{WeekMoment(0, 10, 0)};
    Engine& e = h.e();
    Peer switcher;

    // An upload is logged once the switcher has taken it: each test has one to take it.
    void SetUp() override {
        h.master().wantedAddress = QStringLiteral("127.0.0.1");
        h.master().wantedPort = switcher.port();
        ConnectSwitcher(e.switcher);
        ASSERT_TRUE(waitUntil([&] { return h.master().Connected; }));
    }

    void write(const QString& name, const QByteArray& data) {
        WriteFile(h.folder.file(name), data);
    }

    AutomationEvent event(int fileType, const QString& name, int templateNumber = 0) {
        AutomationEvent ev;
        ev.Title = QStringLiteral("Load");
        ev.FileType = static_cast<int16_t>(fileType);
        ev.FileName = name;
        ev.Template = static_cast<int16_t>(templateNumber);
        return ev;
    }

    QStringList activity() const { return h.folder.activityLines(); }
    std::vector<ErrorEntry> errors() const {
        std::vector<ErrorEntry> out;
        for (const QString& l : h.folder.errorLines())
            out.push_back({l.left(36).trimmed(), l.mid(36)});
        return out;
    }
    int32_t ticks() const { return h.clock.tickCount(); }
    SendResult upload(const AutomationEvent& ev) {
        return RunToEnd(h, ProcessSystemChange(e.switcher, e.AppFolder, ev));
    }
    bool change(const AutomationEvent& ev) { return upload(ev) == SendResult::Sent; }
};

QByteArray inputAlphas(int typeWord = 200) {
    FileBytes f;
    f.words({typeWord, 4, 0, 1}).text("Mic", 4).fill(258);
    return f.data;
}

TEST_F(SystemChange, FileIsLoadedOnlyAsTheKindItSays) {
    write("out.alp", inputAlphas(300));
    EXPECT_TRUE(change(event(2, "out.alp")));
    EXPECT_EQ(activity(), QStringList{"Output Alphas Changed"});

    EXPECT_FALSE(change(event(1, "out.alp")));
    EXPECT_EQ(activity().size(), 1);
    EXPECT_TRUE(errors().empty());

    // The event's runner names the refusal.
    AutomationEvent ev = event(1, "out.alp");
    EXPECT_FALSE(RunToEnd(h, RunActionSequence(h.s(), ev, RunnerKind::Timed)));
    EXPECT_EQ(activity().last(), "Load not executed - Invalid File");
}

// An upload the switcher did not get is not logged as done, and its event names why.
TEST_F(SystemChange, AnUploadWithTheLinkDownIsNotExecuted) {
    write("in.alp", inputAlphas());
    CloseSwitcherLink(e.switcher);
    EXPECT_EQ(upload(event(1, "in.alp")), SendResult::NotConnected);
    EXPECT_TRUE(activity().isEmpty());
    EXPECT_FALSE(RunToEnd(h, RunActionSequence(h.s(), event(1, "in.alp"), RunnerKind::Timed)));
    EXPECT_EQ(activity(), QStringList{"Load not executed - Server not connected"});
}

TEST_F(SystemChange, TypeWordMustMatchWhole) {
    write("lists.dat", Bytes({0xE8, 0x03}));
    EXPECT_TRUE(CheckConfigFile(e.logs, e.AppFolder, event(8, "lists.dat")));
    EXPECT_TRUE(CheckConfigFile(e.logs, e.AppFolder, event(9, "lists.dat")));
    EXPECT_FALSE(CheckConfigFile(e.logs, e.AppFolder, event(1, "lists.dat")));
    write("almost.alp", Bytes({0xC8, 0x01}));
    EXPECT_FALSE(CheckConfigFile(e.logs, e.AppFolder, event(1, "almost.alp")));
    // A FileType that loads nothing compares the word with itself, and still loads nothing.
    write("thirteen.dat", Bytes({13, 0, 1, 2}));
    EXPECT_TRUE(CheckConfigFile(e.logs, e.AppFolder, event(13, "thirteen.dat")));
    EXPECT_FALSE(change(event(13, "thirteen.dat")));
    EXPECT_FALSE(change(event(0, "thirteen.dat")));
    EXPECT_TRUE(errors().empty());
    EXPECT_TRUE(activity().isEmpty());
}

TEST_F(SystemChange, EmptyFileIsRefusedSilentlyAndAMissingOneIsReported) {
    e.logs.errorRepeatWindowMs = 0;  // each report its own line
    write("empty.alp", {});
    EXPECT_FALSE(change(event(1, "empty.alp")));
    EXPECT_TRUE(errors().empty());

    QDir(h.folder.path()).mkdir("configs");
    for (const char* name : {"missing.alp", " ", "", "configs"})
        EXPECT_FALSE(change(event(1, name))) << name;
    const ErrorEntry notFound{"Error Reading File", "Error #  53 - File not found"};
    EXPECT_EQ(errors(), std::vector<ErrorEntry>(4, notFound));
    // A one-byte file has no whole type word.
    write("one.alp", Bytes({0xC8}));
    EXPECT_FALSE(change(event(1, "one.alp")));
    EXPECT_EQ(errors().back(),
              (ErrorEntry{"Error Reading File", "Error #  62 - Input past end of file"}));
}

TEST_F(SystemChange, RelativeNamesAreInTheProgramFolderAbsoluteOnesAnywhere) {
    QDir(h.folder.path()).mkdir("configs");
    write("configs/in.alp", inputAlphas());
    EXPECT_TRUE(change(event(1, "configs/in.alp")));
    EXPECT_TRUE(change(event(1, h.folder.file("configs/in.alp"))));
    EXPECT_EQ(activity(), (QStringList{"Input Alphas Changed", "Input Alphas Changed"}));
}

TEST_F(SystemChange, EachAlphasKindHasItsLine) {
    FileBytes names;
    names.words({350, 2, 0, 2}).text("a", 2).text("b", 2);
    write("opto.alp", names.data);
    names.data[0] = 0x68;  // 360
    names.data[1] = 0x01;
    write("relay.alp", names.data);
    write("in.alp", inputAlphas());
    EXPECT_TRUE(change(event(1, "in.alp")));
    EXPECT_TRUE(change(event(3, "opto.alp")));
    EXPECT_TRUE(change(event(4, "relay.alp")));
    EXPECT_EQ(activity(),
              (QStringList{"Input Alphas Changed", "Opto Alphas Changed", "Relay Alphas Changed"}));
}

TEST_F(SystemChange, BrokenAlphasAreRefusedOrReported) {
    QByteArray odd = inputAlphas();
    odd.chop(1);
    write("odd.alp", odd);
    EXPECT_FALSE(change(event(1, "odd.alp")));
    EXPECT_TRUE(errors().empty());

    FileBytes cut;
    cut.words({350, 4, 0, 3}).text("A", 4);
    write("cut.alp", cut.data);
    EXPECT_FALSE(change(event(3, "cut.alp")));
    EXPECT_EQ(errors(), (std::vector<ErrorEntry>{
                            {"Error Sending New Alphas", "Error #  62 - Input past end of file"}}));
    EXPECT_TRUE(activity().isEmpty());
}

TEST_F(SystemChange, InhibitsOfAllOutputsOrOneAfterAPause) {
    FileBytes f;
    f.words({400, 3, 1, 2}).text("011", 3).text("100", 3);
    write("inh.dat", f.data);
    AutomationEvent ev = event(5, "inh.dat");
    int32_t before = ticks();
    EXPECT_TRUE(change(ev));
    EXPECT_EQ(ticks(), before);
    ev.FileChannel1 = 16383;
    EXPECT_TRUE(change(ev));
    ev.FileChannel1 = 2;
    before = ticks();
    EXPECT_TRUE(change(ev));
    EXPECT_GE(ticks() - before, 200);
    EXPECT_EQ(activity(), (QStringList{"Inhibits Changed: inh.dat", "Inhibits Changed: inh.dat",
                                       "Inhibits Changed: Out 0002 - inh.dat"}));

    ev.FileChannel1 = 3;
    EXPECT_FALSE(change(ev));
    EXPECT_EQ(errors(), (std::vector<ErrorEntry>{{"Error Sending New Inhibits",
                                                  "Error #  9 - Subscript out of range"}}));

    f.data[8] = '2';
    write("inh.dat", f.data);
    EXPECT_FALSE(change(event(5, "inh.dat")));
    EXPECT_EQ(errors().size(), 1u);
    EXPECT_EQ(activity().size(), 3);
}

TEST_F(SystemChange, DisplayListsOfEitherDirection) {
    FileBytes f;
    f.words({1000, 1, 0, 8, 8, 2})
        .text("In", 2)
        .text("10000000", 8)
        .text("Ou", 2)
        .text("01000000", 8);
    write("lists.dat", f.data);
    EXPECT_TRUE(change(event(8, "lists.dat")));
    EXPECT_TRUE(change(event(9, "lists.dat")));
    EXPECT_EQ(activity(),
              (QStringList{"Input Display Lists Changed", "Output Display Lists Changed"}));
    EXPECT_EQ(RunToEnd(h, SendDisplayLists(e.switcher, e.AppFolder, 30, "lists.dat")),
              SendResult::Refused);
    EXPECT_EQ(activity().size(), 2);
    EXPECT_TRUE(errors().empty());
}

QByteArray twoTemplates() {
    FileBytes f;
    f.words({500, 0, 2, 1});
    for (int t = 0; t < 2; ++t) f.text("T", 20).text("", 255).text("B", 9).words({1, 2, 3, 4});
    return f.data;
}

QByteArray templateBlocks(int nt) {
    FileBytes f;
    f.words({500, 1, nt, 0, 0, 1});
    for (int t = 0; t < nt; ++t) f.text("T", 20);
    for (int t = 0; t < nt; ++t) f.text("B", 9).words({t, 0, 0, 0});
    return f.data;
}

TEST_F(SystemChange, ButtonTemplatesWaitBetweenMessages) {
    write("two.btn", twoTemplates());
    int32_t before = ticks();
    EXPECT_TRUE(change(event(7, "two.btn", 3)));
    EXPECT_GE(ticks() - before, 1000);
    EXPECT_EQ(activity(), QStringList{"Buttons Changed"});

    // 40 templates: blocks at 0 and 32, one pause. 33: the block of one template still waits.
    for (int nt : {40, 33}) {
        write("many.btn", templateBlocks(nt));
        before = ticks();
        EXPECT_TRUE(change(event(7, "many.btn", 0)));
        EXPECT_GE(ticks() - before, 1000) << nt;
        EXPECT_LT(ticks() - before, 2000) << nt;
    }
    EXPECT_EQ(activity().size(), 3);
    EXPECT_TRUE(errors().empty());
}

TEST_F(SystemChange, ButtonTemplateNumbersThatCannotBeUsed) {
    write("many.btn", templateBlocks(40));
    EXPECT_FALSE(change(event(7, "many.btn", 5)));
    write("two.btn", twoTemplates());
    const int32_t before = ticks();
    EXPECT_FALSE(change(event(7, "two.btn", 0)));
    EXPECT_EQ(ticks(), before);
    const auto errs = errors();
    ASSERT_EQ(errs.size(), 2u);
    // The location is cut where the error line's column begins.
    EXPECT_EQ(errs[0].location, "Error Sndng Btns - Invalid Tmplt Cn");
    EXPECT_EQ(errs[1], (ErrorEntry{"Error Sending Buttons", "Error #  6 - Overflow"}));
    EXPECT_TRUE(activity().isEmpty());
}

QByteArray salvos(std::initializer_list<std::pair<int, long long>> numberAndP1, int mark = 1) {
    FileBytes f;
    f.words({600, static_cast<int>(numberAndP1.size()), mark});
    for (const auto& [number, p1] : numberAndP1)
        f.word(number)
            .text("Salvo", 8)
            .word(0)
            .long32(p1)
            .long32(0)
            .long32(0)
            .long32(0)
            .words({0, 1, 1, 1});
    return f.data;
}

TEST_F(SystemChange, SalvosNeedEveryNumberAndSendableSteps) {
    write("good.slv", salvos({{1, 1}, {2, 5}}));
    EXPECT_TRUE(change(event(6, "good.slv")));
    EXPECT_EQ(activity(), QStringList{"Salvos Changed"});

    write("gap.slv", salvos({{1, 0}, {1, 0}, {3, 0}}));
    EXPECT_FALSE(change(event(6, "gap.slv")));
    write("wide.slv", salvos({{1, 20000}}));
    EXPECT_FALSE(change(event(6, "wide.slv")));
    write("mark.slv", salvos({{1, 0}}, 2));
    EXPECT_FALSE(change(event(6, "mark.slv")));
    const auto errs = errors();
    ASSERT_EQ(errs.size(), 3u);
    EXPECT_EQ(errs[0].location, "Error Sending Salvo Alphas");
    EXPECT_EQ(errs[1], (ErrorEntry{"Error Sending Salvo Events", "Error #  6 - Overflow"}));
    EXPECT_EQ(errs[2].location, "Error Sending Salvo Alphas");
    EXPECT_EQ(activity().size(), 1);
}

TEST_F(SystemChange, RelayModuleAndConsoleLogNothingWhenTheyGoOut) {
    FileBytes relays;
    relays.words({900, 1, 2, 0, 0, 0});
    write("relay.cfg", relays.data);
    EXPECT_TRUE(change(event(10, "relay.cfg")));

    FileBytes modules;
    modules.words({100, 0, 0, 0, 0, 0});
    write("module.cfg", modules.data);
    AutomationEvent ev = event(11, "module.cfg");
    ev.FFrame = 2;
    ev.FSlot = 9;
    const int32_t before = ticks();
    EXPECT_TRUE(change(ev));
    EXPECT_GE(ticks() - before, 500);

    FileBytes consoles;
    consoles.words({218, 1, 0, 0, 0}).fill(70);
    write("console.cfg", consoles.data);
    EXPECT_TRUE(change(event(12, "console.cfg", 1)));
    EXPECT_TRUE(change(event(12, "console.cfg", 2)));
    EXPECT_TRUE(activity().isEmpty());
    EXPECT_TRUE(errors().empty());

    ev.FFrame = 200;
    EXPECT_FALSE(change(ev));
    EXPECT_FALSE(change(event(12, "console.cfg", 0)));
    EXPECT_FALSE(change(event(12, "console.cfg", 3)));
    relays.data[2] = static_cast<char>(0xFE);  // a negative relay count
    write("relay.cfg", relays.data);
    EXPECT_FALSE(change(event(10, "relay.cfg")));
    const auto errs = errors();
    ASSERT_EQ(errs.size(), 4u);
    EXPECT_EQ(errs[0].location, "Error Sending Module Configuration");
    EXPECT_EQ(errs[1].location, "Error Sending Console Configuration");
    EXPECT_EQ(errs[2].location, "Error Sending Console Configuration");
    EXPECT_EQ(errs[3].location, "Error Sending Relay Configuration");
    // The console upload checks the type word itself as well, and refuses silently.
    write("other.cfg", Bytes({219, 0, 0, 0}));
    EXPECT_EQ(RunToEnd(h, SendConsoleConfiguration(e.switcher, e.AppFolder, "other.cfg", 0)),
              SendResult::Refused);
    EXPECT_EQ(errors().size(), 4u);
}

TEST_F(SystemChange, RelayAssociationLine) {
    e.logs.errorRepeatWindowMs = 0;  // each report its own line
    AutomationEvent ev;
    ev.rcRelay = 5;
    ev.rcOpto = 12;
    RunToEnd(h, SendRelayAssociation(e.switcher, ev));
    EXPECT_EQ(activity(), QStringList{"Associate Relay 0005 with Opto 0012"});
    ev.rcRelay = 0;
    RunToEnd(h, SendRelayAssociation(e.switcher, ev));
    ev.rcRelay = -32768;
    RunToEnd(h, SendRelayAssociation(e.switcher, ev));
    EXPECT_EQ(activity().size(), 1);
    EXPECT_EQ(errors(), (std::vector<ErrorEntry>(
                            2, {"Error Sending Relay Configuration", "Error #  6 - Overflow"})));
}

}  // namespace
}  // namespace tarvo::test
