// The event form and its text form: every row comes back from its text as the same row, field
// for field; every mistake in a text is named with its line and field; and --check's findings
// land on the field they are about.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>

#include <QJsonArray>
#include <QJsonDocument>

#include "scheduler/event_form.h"
#include "scheduler/text_form.h"
#include "store/engine_record.h"
#include "store/event_store.h"
#include "store/load_database.h"
#include "store/schedule_edit.h"
#include "store/sqlite.h"
#include "support/source_docs.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

// Every field a load reads (and the kept texts), by name.
#define TARVO_ROW_FIELDS(X)                                                                        \
    X(DayName) X(Time) X(Title) X(FileName) X(Message) X(Method) X(MIPAddress) X(Unreadable)       \
    X(Kept) X(MIPPort) X(MBaudRate) X(Color) X(Number) X(Day) X(Delay) X(SourceChan) X(DestChan)  \
    X(ReqSource) X(ReqDest) X(ReqSource2) X(ReqDest2) X(ReqOpto) X(ReqRelay) X(ReqOpto2)           \
    X(ReqRelay2) X(ssSource) X(ssDeviceID) X(Active) X(Relay) X(Opto) X(rcRelay) X(rcOpto)         \
    X(OptoOut) X(Salvo) X(VChan) X(Gain) X(xcontrol) X(rcontrol) X(scontrol) X(vcontrol)           \
    X(ocontrol) X(rccontrol) X(sscontrol) X(Type) X(Priority) X(Condition) X(Condition2)           \
    X(OptoCondition) X(RelayCondition) X(OptoCondition2) X(RelayCondition2) X(FileType)           \
    X(FileChannel1) X(Template) X(mcontrol) X(mtype) X(TriggerSource) X(TriggerDest) X(tControl)   \
    X(Option) X(FFrame) X(FSlot) X(MFrame) X(MSlot) X(MPort) X(MCommPort)

// The fields in which two rows differ.
QStringList Differences(const AutomationEvent& a, const AutomationEvent& b) {
    QStringList out;
#define TARVO_COMPARE(f) \
    if (!(a.f == b.f)) out << QStringLiteral(#f);
    TARVO_ROW_FIELDS(TARVO_COMPARE)
#undef TARVO_COMPARE
    return out;
}

void ExpectSameRows(const std::vector<AutomationEvent>& got, const std::vector<AutomationEvent>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(Differences(got[i], want[i]), QStringList()) << "row " << want[i].Number;
}

// Export, read back: the same rows; export again: the same text.
void ExpectRoundTrip(const std::vector<AutomationEvent>& rows) {
    const QString text = ExportText(rows);
    const ImportRead read = ReadText(text);
    ASSERT_TRUE(read.mistakes.empty()) << read.mistakes.front().line << ": " << read.mistakes.front().field.toStdString()
                                       << ": " << read.mistakes.front().text.toStdString();
    ExpectSameRows(read.rows, rows);
    EXPECT_EQ(ExportText(read.rows), text);
    for (const AutomationEvent& row : rows) {
        std::vector<FieldProblem> problems;
        const std::optional<AutomationEvent> back = RowFromForm(FormOf(row), problems);
        ASSERT_TRUE(back) << problems.front().field.toStdString() << ": " << problems.front().text.toStdString();
        EXPECT_EQ(Differences(*back, row), QStringList()) << "row " << row.Number << " through JSON";
    }
}

std::vector<AutomationEvent> LoadedRows(const test::Folder& folder) {
    const DatabaseRead read = InspectAutomationDatabase(folder.file(kDatabaseFileName));
    EXPECT_EQ(read.outcome, DatabaseRead::Read) << read.failure.toStdString();
    std::vector<AutomationEvent> rows = read.rows;
    for (AutomationEvent& r : rows) r.id = 0;
    return rows;
}

TEST(TextForm, TheWorkedRowsComeBackAsTheyWereLoaded) {
    test::Folder folder;
    folder.createDatabase();
    folder.sql(test::SourceText(QStringLiteral("docs/examples/worked-rows.sql")));
    const std::vector<AutomationEvent> rows = LoadedRows(folder);
    ASSERT_EQ(rows.size(), 14u);
    ExpectRoundTrip(rows);
}

// A row left all Null but its Number and Active reads as the form with only those keys.
TEST(TextForm, KeysLeftOutReadAsNullColumns) {
    test::Folder folder;
    folder.createDatabase({{{"Number", 9}, {"Active", 1}}});
    const std::vector<AutomationEvent> loaded = LoadedRows(folder);
    ASSERT_EQ(loaded.size(), 1u);
    std::vector<FieldProblem> problems;
    const std::optional<AutomationEvent> row =
        RowFromForm(QJsonObject{{"number", 9}, {"state", "active"}}, problems);
    ASSERT_TRUE(row);
    EXPECT_EQ(Differences(*row, loaded.front()), QStringList());
    EXPECT_EQ(ExportText({*row}).section(QStringLiteral("[[event]]\n"), 1),
              "number = 9\ntitle = \"None\"\nday = \"Monday\"\nstate = \"active\"\n");
}

class RandomRows {
  public:
    explicit RandomRows(unsigned seed) : g_(seed) {}

    AutomationEvent row(int16_t number) {
        AutomationEvent r;
        r.Number = number;
        r.Title = text();
        r.Day = pick({0, 1, 2, 3, 4, 5, 6, 7, -1, 8, 32767});
        r.Time = chance() ? QString(kNotOnTheClock) : time();
        r.Active = pick({0, 1, 2, 3, -4});
        r.Type = pick({0, 1, 2, 3, 4, 5, -1});
        r.Opto = small();
        r.tControl = selector(4);
        r.TriggerSource = small(), r.TriggerDest = small();
        r.Priority = small(), r.Delay = small();
        r.Condition = selector(6), r.ReqSource = small(), r.ReqDest = small(), r.ReqRelay = small(),
        r.ReqOpto = small();
        r.Condition2 = selector(6), r.ReqSource2 = small(), r.ReqDest2 = small(), r.ReqRelay2 = small(),
        r.ReqOpto2 = small();
        r.xcontrol = selector(6), r.SourceChan = small(), r.DestChan = small(), r.Option = small();
        r.scontrol = selector(1), r.Salvo = small();
        r.rcontrol = selector(3), r.Relay = small();
        r.ocontrol = selector(2), r.OptoOut = small();
        r.sscontrol = selector(1), r.ssSource = small(), r.ssDeviceID = small();
        r.vcontrol = selector(3), r.VChan = small();
        r.Gain = chance() ? int16_t(1024) : int16_t(between(-32768, 2047));
        r.rccontrol = selector(1), r.rcRelay = small(), r.rcOpto = small();
        r.mcontrol = selector(4), r.mtype = selector(4);
        r.Message = chance() ? QStringLiteral(" ") : text();
        r.MIPAddress = chance() ? QStringLiteral("0.0.0.0") : text();
        r.MIPPort = chance() ? 0 : between(INT32_MIN, INT32_MAX);
        r.MCommPort = static_cast<uint8_t>(chance() ? 0 : between(0, 255));
        r.MBaudRate = chance() ? between(0, 9) : between(INT32_MIN, INT32_MAX);
        r.MFrame = byte(), r.MSlot = byte(), r.MPort = byte();
        r.Method = chance() ? QStringLiteral(" ") : text();
        r.FileType = selector(12), r.FileName = chance() ? QStringLiteral(" ") : text();
        r.FileChannel1 = small(), r.Template = int16_t(chance() ? 0 : between(-32768, 128));
        r.FFrame = byte(), r.FSlot = byte();
        r.Color = chance() ? 16777215 : between(INT32_MIN, INT32_MAX);
        r.OptoCondition = selector(2), r.RelayCondition = selector(2), r.OptoCondition2 = selector(2),
        r.RelayCondition2 = selector(2);
        KeptTexts kept;
        for (QString* t : {&kept.Days, &kept.Future1, &kept.Future2, &kept.Future3, &kept.Future4, &kept.Future5})
            if (!chance()) *t = text();
        r.Kept = JoinKept(kept);
        r.DayName = DayNameOf(r.Day);
        return r;
    }

  private:
    bool chance() { return between(0, 1) == 0; }
    int32_t between(int64_t lo, int64_t hi) {
        return static_cast<int32_t>(std::uniform_int_distribution<int64_t>(lo, hi)(g_));
    }
    int16_t pick(std::initializer_list<int> values) {
        return static_cast<int16_t>(*(values.begin() + between(0, static_cast<int64_t>(values.size()) - 1)));
    }
    // Mostly 0 (left out), else anywhere in the column's range.
    int16_t small() { return static_cast<int16_t>(chance() ? 0 : between(-32768, 32767)); }
    int16_t selector(int last) { return static_cast<int16_t>(chance() ? 0 : between(-3, last)); }
    uint8_t byte() { return static_cast<uint8_t>(chance() ? 0 : between(0, 255)); }
    QString time() {
        return QStringLiteral("%1:%2:%3")
            .arg(between(0, 23), 2, 10, QLatin1Char('0'))
            .arg(between(0, 59), 2, 10, QLatin1Char('0'))
            .arg(between(0, 59), 2, 10, QLatin1Char('0'));
    }
    // Quotes, backslashes, line ends, controls, letters of other scripts, a character beyond the
    // first plane, the TOML comment and table characters.
    QString text() {
        static const QStringList kPieces = {
            "a",  "News", " ", "\"", "'", "\\", "\\n", "\n", "\r", "\t", "\x01", "\x7f", "é", "日本",
            "\U0001F600", "\u2028", "#", "[[event]]", "=", "{ }", "\"\"\"", "'''", "^M", "C:\\tally\\cue.txt"};
        QString s;
        for (int n = between(0, 6); n > 0; --n) s += kPieces[between(0, kPieces.size() - 1)];
        return s;
    }
    std::mt19937 g_;
};

TEST(TextForm, RandomRowsComeBackFieldForField) {
    RandomRows random(20261209);
    std::mt19937 numbers(7);
    std::set<int16_t> used;
    std::vector<AutomationEvent> rows;
    while (rows.size() < 1500) {
        const auto n = static_cast<int16_t>(std::uniform_int_distribution<int>(1, 32767)(numbers));
        if (used.insert(n).second) rows.push_back(random.row(n));
    }
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.Number < b.Number; });
    ExpectRoundTrip(rows);

    // Through the database: written as an editor writes them, read as a load reads them.
    test::Folder folder;
    folder.createDatabase();
    std::vector<RowEdit> edits;
    for (const AutomationEvent& r : rows) edits.push_back({r.Number, QString(), r});
    const EditOutcome made = ApplyScheduleEdit(folder.file(kDatabaseFileName), folder.file(kEngineRecordFileName),
                                               QStringLiteral("test"), QStringLiteral("edit"), edits, 1000);
    ASSERT_EQ(made.result, EditOutcome::Done) << made.failure.toStdString();
    Database db(folder.file(kDatabaseFileName));
    const std::vector<AutomationEvent> back = ReadAllRows(db);
    ASSERT_EQ(back.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const QJsonObject a = FormOf(rows[i]), b = FormOf(back[i]);
        for (const QString& key : a.keys() + b.keys())
            EXPECT_TRUE(a.value(key) == b.value(key)) << "row " << rows[i].Number << " " << key.toStdString() << " " << QJsonDocument(QJsonArray{a.value(key)}).toJson(QJsonDocument::Compact).toStdString() << " vs " << QJsonDocument(QJsonArray{b.value(key)}).toJson(QJsonDocument::Compact).toStdString();
    }
}

struct TextCase {
    const char* name;
    const char* text;
    std::vector<std::pair<int, QString>> mistakes;  // line, field
};

TEST(TextForm, EachMistakeIsNamedWithItsLineAndFieldAndNoRowIsRead) {
    const std::vector<TextCase> cases = {
        {"a syntax error", "[[event]]\nnumber = 1\nstate = \n", {{3, ""}}},
        {"a key given twice", "[[event]]\nnumber = 1\nnumber = 2\nstate = \"active\"\n", {{3, ""}}},
        {"mistakes of several events",
         "# the events of studio 1\n"
         "[[event]]\n"
         "number = 1\n"
         "state = \"active\"\n"
         "colour = 3\n"
         "take = { mode = \"take\", source = 40000 }\n"
         "\n"
         "[[event]]\n"
         "number = 2\n"
         "state = \"active\"\n"
         "time = \"25:00:00\"\n"
         "day = \"Wedensday\"\n"
         "\n"
         "[[event]]\n"
         "state = \"active\"\n"
         "number = 1\n"
         "message = { content = \"text\", via = \"tcp\", frame = 256 }\n"
         "salvo = { number = 3 }\n"
         "\n"
         "[[event]]\n"
         "title = \"no number\"\n"
         "state = \"active\"\n"
         "time = 09:00:00\n"
         "delay = 1.5\n",
         {{5, "colour"},
          {6, "take.source"},
          {11, "time"},
          {12, "day"},
          {16, "number"},
          {17, "message.frame"},
          {18, "salvo.mode"},
          {20, "number"},
          {23, "time"},
          {24, "delay"}}},
        {"a table where the events belong", "event = { number = 1 }\n", {{1, "event"}}},
        {"a key outside the events", "title = \"x\"\n[[event]]\nnumber = 1\nstate = \"active\"\n", {{1, "title"}}},
        // Found by fuzzing: a Number beyond any integer was once made one, unchecked.
        {"a Number of 1e42", "[[event]]\nnumber = 1e42\nstate = \"active\"\n", {{2, "number"}}},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ImportRead read = ReadText(QString::fromUtf8(c.text));
        EXPECT_TRUE(read.rows.empty());
        std::vector<std::pair<int, QString>> got;
        for (const TextMistake& m : read.mistakes) got.emplace_back(m.line, m.field);
        EXPECT_EQ(got, c.mistakes);
    }
    // The doubled Number names the line of the first event that has it.
    const ImportRead doubled = ReadText(
        "[[event]]\nnumber = 4\nstate = \"active\"\n\n[[event]]\nnumber = 4\nstate = \"inactive\"\n");
    ASSERT_EQ(doubled.mistakes.size(), 1u);
    EXPECT_EQ(doubled.mistakes[0], (TextMistake{6, "number", "Number 4 is also the Number of the event at line 2"}));
}

struct FormCase {
    const char* name;
    QJsonObject form;
    QString field;  // of the one problem
};

TEST(EventForm, AMistakeInAFormIsNamedByItsField) {
    const QJsonObject base{{"number", 3}, {"state", "active"}};
    const auto with = [&](const char* key, const QJsonValue& v) {
        QJsonObject f = base;
        f.insert(QLatin1String(key), v);
        return f;
    };
    const QJsonObject message{{"content", "text"}, {"via", "serial"}};
    const auto withMessage = [&](const char* key, const QJsonValue& v) {
        QJsonObject m = message;
        m.insert(QLatin1String(key), v);
        return with("message", m);
    };
    const std::vector<FormCase> cases = {
        {"no number", QJsonObject{{"state", "active"}}, "number"},
        {"no state", QJsonObject{{"number", 1}}, "state"},
        {"Number 0", with("number", 0), "number"},
        {"Number above 32767", with("number", 32768), "number"},
        {"a state the load reads as inactive", with("state", 4), "state"},
        {"a fraction", with("delay", 2.5), "delay"},
        {"a title that is no string", with("title", 5), "title"},
        {"an unknown word", with("trigger", "opto"), "trigger"},
        {"an unknown key", with("colour", 1), "colour"},
        {"a table that is a word", with("take", "take"), "take"},
        {"a table without its selector", with("take", QJsonObject{{"source", 1}}), "take.mode"},
        {"an unknown key in a table", with("take", QJsonObject{{"mode", "take"}, {"src", 1}}), "take.src"},
        {"a number outside 16 bits", with("take", QJsonObject{{"mode", "take"}, {"source", -32769}}), "take.source"},
        {"a gain level the load replaces", with("gain", QJsonObject{{"mode", "source"}, {"level", 2048}}), "gain.level"},
        {"a template the load replaces", with("upload", QJsonObject{{"kind", "salvos"}, {"template", 129}}), "upload.template"},
        {"COM0", withMessage("com", 0), "message.com"},
        {"COM257", withMessage("com", 257), "message.com"},
        {"no such speed", withMessage("baud", 9601), "message.baud"},
        {"a speed's choice by number", withMessage("baud_choice", 3), "message.baud_choice"},
        {"a frame above 255", withMessage("frame", 256), "message.frame"},
        {"a port above 32 bits", withMessage("port", 4294967296.0), "message.port"},
        {"a kept colour as text", with("kept", QJsonObject{{"Color", "white"}}), "kept.Color"},
        {"a kept text with the separator", with("kept", QJsonObject{{"Days", "Mo\x1fTu"}}), "kept.Days"},
        {"a time without seconds", with("time", "9:00"), "time"},
        {"a list", with("day", QJsonArray{1}), "day"},
    };
    for (const FormCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<FieldProblem> problems;
        EXPECT_FALSE(RowFromForm(c.form, problems));
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0].field, c.field) << problems[0].text.toStdString();
    }
    // A choice that names no speed, an integer selector without a word, a day that is no day:
    // each is kept as stored.
    std::vector<FieldProblem> problems;
    const auto row = RowFromForm(QJsonObject{{"number", 3}, {"state", "active"}, {"day", 9},
                                             {"message", QJsonObject{{"content", 2}, {"via", "udp"}, {"baud_choice", 12}}}},
                                 problems);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->mcontrol, 2);
    EXPECT_EQ(row->mtype, 4);
    EXPECT_EQ(row->MBaudRate, 12);
    EXPECT_EQ(row->Day, 9);
    EXPECT_EQ(row->DayName, "None");
}

struct CheckCase {
    const char* name;
    std::function<void(AutomationEvent&)> make;
    QString field;
    bool warning = false;
};

TEST(EventForm, CheckProblemsLandOnTheirField) {
    const auto timed = [] {
        AutomationEvent r;
        r.Number = 5;
        r.Title = QStringLiteral("Row");
        r.Time = QStringLiteral("09:00:00");
        r.Active = kActive;
        r.Message = QStringLiteral(" ");
        r.MIPAddress = QStringLiteral("0.0.0.0");
        r.Gain = 1024;
        return r;
    };
    const std::vector<CheckCase> cases = {
        {"a take from nowhere", [](AutomationEvent& r) { r.xcontrol = 1, r.DestChan = 3; }, "take.source"},
        {"a take to output 20000",
         [](AutomationEvent& r) { r.xcontrol = 1, r.SourceChan = 1, r.DestChan = 20000; }, "take.output"},
        {"salvo 0", [](AutomationEvent& r) { r.scontrol = 1; }, "salvo.number"},
        {"a relay command without a code", [](AutomationEvent& r) { r.rcontrol = -1, r.Relay = 2; }, "relay.mode"},
        {"an association without an opto",
         [](AutomationEvent& r) { r.rccontrol = 1, r.rcRelay = 2; }, "relay_opto.opto"},
        {"a pan of device 0", [](AutomationEvent& r) { r.vcontrol = 3, r.VChan = -1; }, "gain.channel"},
        {"a peer address that is no address",
         [](AutomationEvent& r) { r.mcontrol = 1, r.mtype = 1, r.MIPAddress = QStringLiteral("10.0.9"), r.MIPPort = 5000; },
         "message.address"},
        {"a peer port of 0",
         [](AutomationEvent& r) { r.mcontrol = 1, r.mtype = 4, r.MIPAddress = QStringLiteral("10.0.0.9"); },
         "message.port"},
        {"a message file that is missing",
         [](AutomationEvent& r) { r.mcontrol = 3, r.mtype = 1, r.Message = QStringLiteral("cue.txt"); },
         "message.text"},
        {"a message through the switcher", [](AutomationEvent& r) { r.mcontrol = 1, r.mtype = 3; }, "message.via"},
        {"a serial port that is not here",
         [](AutomationEvent& r) { r.mcontrol = 1, r.mtype = 2, r.MCommPort = 190; }, "message.com", true},
        {"an upload file that is missing",
         [](AutomationEvent& r) { r.FileType = 1, r.FileName = QStringLiteral("inputs.alp"); }, "upload.file"},
        {"a day that never comes", [](AutomationEvent& r) { r.Day = 7, r.scontrol = 1, r.Salvo = 1; }, "day"},
        {"a timed row not on the clock",
         [](AutomationEvent& r) { r.Time = kNotOnTheClock, r.scontrol = 1, r.Salvo = 1; }, "time"},
        {"a trigger on opto 0", [](AutomationEvent& r) { r.Type = kOptoOn, r.scontrol = 1, r.Salvo = 1; }, "trigger_number"},
        {"a crosspoint trigger that watches nothing",
         [](AutomationEvent& r) { r.Type = kCrosspointTrigger, r.TriggerDest = 3, r.scontrol = 1, r.Salvo = 1; },
         "trigger_crosspoint.on"},
        {"a second condition on relay 0",
         [](AutomationEvent& r) { r.Condition2 = 3, r.scontrol = 1, r.Salvo = 1; }, "condition2.relay"},
        {"a first condition on output 0",
         [](AutomationEvent& r) { r.Condition = 1, r.ReqSource = 2, r.Condition2 = 1, r.ReqSource2 = 2, r.ReqDest2 = 4,
                                  r.scontrol = 1, r.Salvo = 1; },
         "condition.output"},
        {"no action", [](AutomationEvent&) {}, ""},
    };
    // The table holds another row of Number 5 (run once, which a shared Number would be a
    // problem of) and a row of its own problems, neither of which is this row's.
    AutomationEvent old = timed();
    old.Active = kRunOnce, old.scontrol = 1, old.Salvo = 1;
    AutomationEvent other = timed();
    other.Number = 6;
    const std::vector<AutomationEvent> table = {old, other};
    test::Folder folder;
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        AutomationEvent row = timed();
        c.make(row);
        const std::vector<FieldProblem> problems = CheckRowInTable(row, table, folder.path());
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0].field, c.field) << problems[0].text.toStdString();
        EXPECT_EQ(problems[0].warning, c.warning);
    }
}

}  // namespace
}  // namespace tarvo
