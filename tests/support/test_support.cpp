#include "support/test_support.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <gtest/gtest.h>

#include "engine/main_loop.h"
#include "store/load_database.h"
#include "store/sqlite.h"

namespace tarvo::test {

QStringList RecordingView::historyTitles() const {
    QStringList out;
    for (const auto& h : history) out << h.line.title;
    return out;
}

Folder::Folder() { EXPECT_TRUE(dir_.isValid()); }

Folder::~Folder() {
    const QString seeds = qEnvironmentVariable("TARVO_FUZZ_SEEDS");
    QFile db(file(kDatabaseFileName));
    if (seeds.isEmpty() || !db.open(QIODevice::ReadOnly)) return;
    const QByteArray bytes = db.readAll();
    const QString folder = seeds + QStringLiteral("/loader-db");
    QDir().mkpath(folder);
    const QByteArray name = QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
    QFile copy(folder + QLatin1Char('/') + QString::fromLatin1(name));
    if (copy.open(QIODevice::WriteOnly)) copy.write(bytes);
}

void Folder::createDatabase(const std::vector<Row>& rows) const {
    QFile schema(QStringLiteral(TARVO_SOURCE_DIR "/docs/TarvoAutomation.sql"));
    if (!schema.open(QIODevice::ReadOnly)) throw std::runtime_error("schema not found");
    const QString sqlText = QString::fromUtf8(schema.readAll());
    const QString path = file(kDatabaseFileName);
    QFile::remove(path);
    QFile create(path);
    create.open(QIODevice::WriteOnly);
    create.close();
    {
        Database db(path);
        Transaction t(db);
        db.exec(sqlText);
        t.commit();
    }
    InsertRows(path, rows);
}

void InsertRows(const QString& dbPath, const std::vector<Row>& rows) {
    if (rows.empty()) return;
    Database db(dbPath);
    Transaction t(db);
    for (const Row& row : rows) {
        QStringList cols, marks;
        for (auto it = row.begin(); it != row.end(); ++it) {
            cols << QStringLiteral("[%1]").arg(it.key());
            marks << QStringLiteral("?%1").arg(cols.size());
        }
        Statement st(db, QStringLiteral("INSERT INTO Automation (%1) VALUES (%2)").arg(cols.join(','), marks.join(',')));
        int i = 1;
        for (auto it = row.begin(); it != row.end(); ++it, ++i) {
            const QVariant& v = it.value();
            if (!v.isValid() || v.isNull())
                st.bind(i, FieldValue{});
            else if (v.typeId() == QMetaType::QString)
                st.bind(i, v.toString());
            else if (v.typeId() == QMetaType::Double)
                st.bind(i, FieldValue{v.toDouble()});
            else if (v.typeId() == QMetaType::QByteArray)
                st.bind(i, FieldValue{v.toByteArray()});
            else
                st.bind(i, static_cast<int64_t>(v.toLongLong()));
        }
        st.run();
    }
    t.commit();
}

void Folder::sql(const QString& statement) const {
    Database db(file(kDatabaseFileName));
    db.exec(statement);
}

QVariant Folder::query(const QString& statement) const {
    Database db(file(kDatabaseFileName));
    Statement st(db, statement);
    if (!st.next()) return {};
    const FieldValue f = st.value(0);
    if (const auto* i = std::get_if<int64_t>(&f.v)) return QVariant::fromValue<qlonglong>(*i);
    if (const auto* d = std::get_if<double>(&f.v)) return *d;
    if (const auto* s = std::get_if<QString>(&f.v)) return *s;
    return {};
}

QString Folder::read(const QString& name) const {
    QFile f(file(name));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

QStringList Folder::activityLines() const {
    QStringList out;
    const QStringList lines = read(QStringLiteral("Tally.dat")).split(QStringLiteral("\r\n"));
    bool body = false;
    for (const QString& l : lines) {
        if (!body) {
            body = l.startsWith(QString(80, QLatin1Char('-')));
            continue;
        }
        if (l.isEmpty()) continue;
        if (l.startsWith(QString(80, QLatin1Char('-')))) continue;
        out << l.mid(35);
    }
    return out;
}

QStringList Folder::errorLines() const {
    QStringList out;
    const QStringList lines = read(QStringLiteral("Errorlog.txt")).split(QStringLiteral("\r\n"));
    bool body = false;
    for (const QString& l : lines) {
        if (!body) {
            body = l.startsWith(QString(80, QLatin1Char('-')));
            continue;
        }
        if (!l.isEmpty()) out << l.mid(24);
    }
    return out;
}

Row TimedRow(int number, int day, const QString& time, const QString& title, int active) {
    return Row{{"Number", number}, {"Day", day},   {"Time", time},  {"Title", title},
               {"Active", active}, {"Type", 0},    {"Delay", 0},    {"Priority", 0},
               {"FileType", 0},    {"xcontrol", 0}, {"Condition", 0}, {"Condition2", 0}};
}

QDateTime WeekMoment(int day, int h, int m, int s, int ms) {
    // 7 December 2026 is a Monday.
    return QDateTime(QDate(2026, 12, 7).addDays(day), QTime(h, m, s, ms));
}

namespace {
// Lets real sockets deliver what they have before a wait on the manual clock ends.
void pumpEvents() {
    if (QCoreApplication::instance()) QCoreApplication::processEvents();
}
}  // namespace

Harness::Harness(const QDateTime& start) : clock(start) {
    clock.beforeAlarm = pumpEvents;
    engine = std::make_unique<Engine>(clock, view, folder.path());
}

Harness::Harness(const QDateTime& start, const QTimeZone& zone) : clock(start, zone) {
    clock.beforeAlarm = pumpEvents;
    engine = std::make_unique<Engine>(clock, view, folder.path());
}

void Harness::online() {
    master().Connected = true;
    master().Online = true;
}

void Harness::startUp() {
    MainLoop loop(*engine);
    StartUp(*engine, loop);
    loop.disable();
}

void Harness::noteHistory() {
    while (historyAt.size() < view.history.size()) historyAt.push_back(clock.now());
}

void Harness::tick(int count) {
    for (int i = 0; i < count; ++i) {
        clock.advance(500);
        pumpEvents();
        TimerTick(*engine);
        noteHistory();
    }
}

void Harness::runUntil(const QDateTime& until) {
    // The manual clock keeps zoneless times; compare like with like (and cheaply).
    const QDateTime end(until.date(), until.time(), Qt::UTC);
    while (QDateTime(clock.now().date(), clock.now().time(), Qt::UTC) < end) tick();
}

void Harness::runFor(int64_t ms) {
    for (int64_t spent = 0; spent < ms; spent += 500) tick();
}

void Harness::advance(int64_t ms) {
    clock.advance(ms);
    pumpEvents();
    noteHistory();
}

void Harness::settle(int64_t limitMs) {
    // Each step goes to the next wait's end, or lets 10 ms pass for a socket to bring something.
    for (int64_t spent = 0; engine->scheduler.runs.count() > 0 && spent < limitMs;) {
        pumpEvents();
        const int64_t before = clock.tickCount();
        if (!clock.fireNextWithin(10)) clock.advance(10);
        spent += static_cast<uint32_t>(clock.tickCount() - before);
    }
    pumpEvents();
    noteHistory();
}

void Harness::run(Task<> run, int64_t limitMs) {
    engine->scheduler.runs.start(std::move(run));
    settle(limitMs);
}

}  // namespace tarvo::test
