#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <optional>

#include "engine/main_loop.h"
#include "logs/logs.h"
#include "store/load_database.h"
#include "uploads/file_bytes.h"
#include "ui/about_dialog.h"
#include "ui_fixture.h"

namespace tarvo::test {
namespace {

QStringList headers(QTreeWidget* list) {
    QStringList out;
    for (int i = 0; i < list->columnCount(); ++i) out << list->headerItem()->text(i);
    return out;
}

QStringList lineTexts(QTreeWidget* list, int row) {
    const QTreeWidgetItem* item = list->topLevelItem(row);
    return {item->text(0), item->text(1), item->text(2)};
}

QStringList menuTexts(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions()) out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

TEST(MainWindow, ControlsMenusAndTheirTexts) {
    WindowHarness h;
    EXPECT_EQ(h.find<QLabel>("lblHistory")->text(), "Event History");
    EXPECT_EQ(h.find<QLabel>("lblNext")->text(), "Next Event to Run");
    auto* clear = h.find<QPushButton>("cmdClearList");
    EXPECT_EQ(clear->text(), "&Clear");
    EXPECT_EQ(clear->toolTip(), "Clear Command History");
    const QStringList columns{"Day", "Time of Day", "Title"};
    EXPECT_EQ(headers(h.find<QTreeWidget>("lvHistory")), columns);
    EXPECT_EQ(headers(h.find<QTreeWidget>("lvNext")), columns);
    EXPECT_EQ(h.find<QTreeWidget>("lvNext")->topLevelItemCount(), 1);

    EXPECT_EQ(h.find<QLabel>("Panel1")->toolTip(),
              "Number of Automation Events.  Includes each day a single event is active");
    EXPECT_EQ(h.find<QLabel>("Panel2")->toolTip(), "Current Date");
    EXPECT_EQ(h.find<QLabel>("Panel3")->toolTip(), "Current Time");

    // The menu bar holds File, View and Help only; SysTray is the tray icon's pop-up.
    QStringList bar;
    for (QAction* a : h.window->menuBar()->actions()) bar << a->text();
    EXPECT_EQ(bar, (QStringList{"&File", "&View", "&Help"}));
    EXPECT_EQ(menuTexts(h.find<QMenu>("mnuFIle")), (QStringList{"&Setup"}));
    EXPECT_EQ(menuTexts(h.find<QMenu>("mnuView")), (QStringList{"&Schedule"}));
    EXPECT_EQ(menuTexts(h.find<QMenu>("mnuHelp")), (QStringList{"&Contents", "-", "&About"}));
    auto* sysTray = h.find<QMenu>("mnuSysTray");
    EXPECT_EQ(sysTray->title(), "&SysTray");
    EXPECT_EQ(menuTexts(sysTray), (QStringList{"&Restore", "-", "E&xit"}));
    EXPECT_EQ(h.tray->menu, sysTray);
}

TEST(MainWindow, EngineDrivesCaptionPanelsAndNextEvent) {
    WindowHarness h;
    h.folder.createDatabase(
        {TimedRow(1, 0, "10:00:00", "Morning News"), TimedRow(2, 2, "11:00:00", "Midday")});
    h.folder.sql("UPDATE Info SET Future1 = 'Studio 2'");
    LoadDatabase(h.e());
    EXPECT_EQ(h.window->windowTitle(), "Tarvo Automation - Studio 2");
    EXPECT_EQ(h.find<QLabel>("Panel1")->text(), "2 Total Events");
    MainLoop loop(h.e());
    h.window->attach(h.e(), &loop);
    h.window->startUp();
    loop.disable();
    // The day name alone could be next week's: the tip has the date.
    EXPECT_EQ(h.find<QTreeWidget>("lvNext")->topLevelItem(0)->toolTip(2), "Next run on Monday 7 December 2026");

    h.window->showNextEvent({"Monday", "10:00:00", "Morning News"});
    h.window->showNextEvent({"Wedensday", "11:00:00", "Midday"});
    auto* next = h.find<QTreeWidget>("lvNext");
    ASSERT_EQ(next->topLevelItemCount(), 1);
    EXPECT_EQ(lineTexts(next, 0), (QStringList{"Wedensday", "11:00:00", "Midday"}));
}

// The colour a line is drawn in, read from the rendered list: the share of its text pixels
// that are strongly red.
double redShare(QTreeWidget* list, int row) {
    const QRect r = list->visualItemRect(list->topLevelItem(row));
    const QImage img = list->viewport()->grab(r).toImage();
    int ink = 0, red = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            if (c.lightness() > 200) continue;  // background
            ++ink;
            if (c.red() > 150 && c.green() < 120 && c.blue() < 120) ++red;
        }
    return ink == 0 ? -1 : static_cast<double>(red) / ink;
}

TEST(MainWindow, HistoryLinesKeepTheirOwnColour) {
    WindowHarness h;
    h.window->show();
    auto* history = h.find<QTreeWidget>("lvHistory");
    h.window->addHistoryLine({"Monday", "10:00:00", "Take - Not Executed"}, true);
    h.window->addHistoryLine({"Monday", "10:00:05", "Salvo"}, false);
    h.window->addHistoryLine({"Monday", "10:00:09", "Relay - Not Executed"}, true);
    processEvents();
    ASSERT_EQ(history->topLevelItemCount(), 3);
    EXPECT_EQ(lineTexts(history, 1), (QStringList{"Monday", "10:00:05", "Salvo"}));
    EXPECT_EQ(history->topLevelItem(0)->foreground(2).color(), QColor(255, 0, 0));
    EXPECT_EQ(history->topLevelItem(1)->foreground(2).color(), QColor(0, 0, 0));
    // As drawn: the refused lines red, the line between them black.
    EXPECT_GT(redShare(history, 0), 0.5);
    EXPECT_LT(redShare(history, 1), 0.05);
    EXPECT_GT(redShare(history, 2), 0.5);
}

TEST(MainWindow, HistoryKeepsItsNewestLines) {
    WindowHarness h;
    auto* history = h.find<QTreeWidget>("lvHistory");
    for (int i = 0; i < 10005; ++i)
        h.window->addHistoryLine({"Monday", "10:00:00", QString::number(i)}, false);
    EXPECT_EQ(history->topLevelItemCount(), 10000);
    EXPECT_EQ(history->topLevelItem(0)->text(2), "5");
    EXPECT_EQ(history->topLevelItem(9999)->text(2), "10004");
}

TEST(MainWindow, ClearEmptiesTheHistoryOnly) {
    WindowHarness h;
    h.folder.createDatabase();
    h.window->addHistoryLine({"Monday", "10:00:00", "One"}, false);
    h.window->addHistoryLine({"Monday", "10:00:01", "Two"}, true);
    h.window->showNextEvent({"Tuesday", "08:00:00", "Next One"});
    WriteActivityLog(h.e().logs, "before");
    const QString log = h.folder.read("Tally.dat");

    h.find<QPushButton>("cmdClearList")->click();
    EXPECT_EQ(h.find<QTreeWidget>("lvHistory")->topLevelItemCount(), 0);
    EXPECT_EQ(lineTexts(h.find<QTreeWidget>("lvNext"), 0),
              (QStringList{"Tuesday", "08:00:00", "Next One"}));
    EXPECT_EQ(h.folder.read("Tally.dat"), log);
}

TEST(TrayToolTip, StationTitleRule) {
    EXPECT_EQ(TrayToolTip(""), "Tarvo Automation Module");
    EXPECT_EQ(TrayToolTip(" "), "Tarvo Automation Module");
    EXPECT_EQ(TrayToolTip("Studio 2"), "Tarvo Automation Module - Studio 2");
    EXPECT_EQ(TrayToolTip("  "), "Tarvo Automation Module -   ");
    // The notification area keeps 63 characters.
    const QString tip = TrayToolTip(QString(100, 'x'));
    EXPECT_EQ(tip.size(), 63);
    EXPECT_TRUE(tip.startsWith("Tarvo Automation Module - xxx"));
}

TEST(MainWindow, MinimiseRestoreMinimiseShowsOneIconEachTime) {
    WindowHarness h;
    h.e().settings.Future1 = "Studio 2";
    h.window->show();

    h.window->setWindowState(Qt::WindowMinimized);
    processEvents();
    EXPECT_FALSE(h.window->isVisible());
    EXPECT_EQ(h.tray->icons, 1);
    EXPECT_EQ(h.tray->toolTip, "Tarvo Automation Module - Studio 2");
    for (int i = 0; i < 200; ++i) h.window->addHistoryLine({"Monday", "10:00:00", QString::number(i)}, false);

    h.action("mnuRestore")->trigger();
    processEvents();
    EXPECT_TRUE(h.window->isVisible());
    QScrollBar* scroll = h.find<QTreeWidget>("lvHistory")->verticalScrollBar();
    EXPECT_GT(scroll->maximum(), 0);
    EXPECT_EQ(scroll->value(), scroll->maximum());  // the newest line in view
    EXPECT_FALSE(h.window->isMinimized());
    EXPECT_EQ(h.tray->icons, 0);

    h.window->setWindowState(Qt::WindowMinimized);
    processEvents();
    EXPECT_EQ(h.tray->icons, 1);
    EXPECT_EQ(h.tray->added, 2);

    // A double-click on the icon restores as well.
    h.tray->doubleClick();
    processEvents();
    EXPECT_TRUE(h.window->isVisible());
    EXPECT_EQ(h.tray->icons, 0);

    // The engine's own minimise (StartMin) while already in the tray adds no second icon.
    h.window->minimise();
    h.window->minimise();
    EXPECT_EQ(h.tray->icons, 1);
    EXPECT_EQ(h.tray->added, 3);
}

TEST(MainWindow, TrayIconFollowsTheLinkIcon) {
    WindowHarness h;
    h.window->minimise();
    h.window->setIcon(LinkIcon::Connected);
    EXPECT_EQ(h.tray->iconKey, h.window->windowIcon().cacheKey());
    const qint64 connected = h.tray->iconKey;
    h.window->setIcon(LinkIcon::NotConnected);
    EXPECT_NE(h.tray->iconKey, connected);
    EXPECT_EQ(h.tray->iconKey, h.window->windowIcon().cacheKey());
}

TEST(MainWindow, WithoutNotificationAreaMinimisedWindowStaysReachable) {
    WindowHarness h;
    h.tray->available = false;
    h.window->show();
    h.window->setWindowState(Qt::WindowMinimized);
    processEvents();
    h.window->minimise();
    processEvents();
    EXPECT_TRUE(h.window->isVisible());
    EXPECT_EQ(h.tray->added, 0);
}

// Start-up through the window, on a real database and a real loopback switcher port.
struct StartedWindow : WindowHarness {
    explicit StartedWindow(bool startMin) {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        folder.createDatabase({TimedRow(1, 0, "10:00:00", "Morning News")});
        folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1")
                       .arg(server.serverPort()));
        folder.sql(QStringLiteral("UPDATE Info SET Future1 = 'Studio 2', StartMin = %1")
                       .arg(startMin ? -1 : 0));
        loop = std::make_unique<MainLoop>(e());
        window->attach(e(), loop.get());
        window->startUp();
    }
    QTcpServer server;
    std::unique_ptr<MainLoop> loop;
};

TEST(MainWindowStartUp, StartMinStartsHiddenInTheTray) {
    StartedWindow h(true);
    EXPECT_FALSE(h.window->isVisible());
    EXPECT_TRUE(h.window->inTray());
    EXPECT_EQ(h.tray->icons, 1);
    EXPECT_EQ(h.tray->toolTip, "Tarvo Automation Module - Studio 2");
    EXPECT_TRUE(h.loop->enabled());
    EXPECT_EQ(lineTexts(h.find<QTreeWidget>("lvNext"), 0),
              (QStringList{"Monday", "10:00:00", "Morning News"}));
}

TEST(MainWindowStartUp, WithoutStartMinTheWindowIsShown) {
    StartedWindow h(false);
    EXPECT_TRUE(h.window->isVisible());
    EXPECT_EQ(h.tray->added, 0);
    EXPECT_EQ(h.find<QLabel>("Panel1")->text(), "1 Total Events");
}

// Counts the questions and answers them at once, or keeps the question open until told.
struct Answer {
    int asked = 0;
    bool ok = false;
    bool later = false;
    std::function<void(bool)> pending;
    std::function<void()> whileAsking;
    MainWindow::ExitQuestion question() {
        return [this](QWidget*, std::function<void(bool)> answer) {
            ++asked;
            if (whileAsking) whileAsking();
            if (later)
                pending = std::move(answer);
            else
                answer(ok);
        };
    }
};

int countOf(const QStringList& lines, const QString& text) {
    return static_cast<int>(lines.count(text));
}

TEST(MainWindowExit, CancelKeepsTheEngineRunning) {
    StartedWindow h(false);
    Answer answer;
    h.window->setExitQuestion(answer.question());
    EXPECT_FALSE(h.window->close());
    h.action("mnuExit")->trigger();
    EXPECT_EQ(answer.asked, 2);
    EXPECT_TRUE(h.window->isVisible());
    EXPECT_FALSE(h.window->exited());
    EXPECT_TRUE(h.loop->enabled());
    EXPECT_EQ(countOf(h.folder.activityLines(), "Program Exit"), 0);
}

TEST(MainWindowExit, CloseBoxAsksThenWritesProgramExitOnce) {
    StartedWindow h(false);
    Answer answer;
    answer.ok = true;
    h.window->setExitQuestion(answer.question());
    int exits = 0;
    QObject::connect(h.window.get(), &MainWindow::programExited, [&] { ++exits; });

    EXPECT_TRUE(h.window->close());
    EXPECT_FALSE(h.window->isVisible());
    EXPECT_FALSE(h.loop->enabled());
    // Later close requests neither ask again nor write again.
    h.window->close();
    h.window->exitNow();
    EXPECT_EQ(answer.asked, 1);
    EXPECT_EQ(exits, 1);
    const QStringList lines = h.folder.activityLines();
    EXPECT_EQ(countOf(lines, "Program Exit"), 1);
    EXPECT_EQ(lines.last(), "Program Exit");
}

TEST(MainWindowExit, TrayExitAsksFirstAndRemovesTheIcon) {
    StartedWindow h(true);
    Answer answer;
    h.window->setExitQuestion(answer.question());
    h.action("mnuExit")->trigger();
    EXPECT_EQ(answer.asked, 1);
    EXPECT_EQ(countOf(h.folder.activityLines(), "Program Exit"), 0);  // nothing before the answer
    EXPECT_EQ(h.tray->icons, 1);

    answer.ok = true;
    h.action("mnuExit")->trigger();
    EXPECT_EQ(answer.asked, 2);
    EXPECT_EQ(h.tray->icons, 0);
    EXPECT_EQ(countOf(h.folder.activityLines(), "Program Exit"), 1);
}

TEST(MainWindowExit, CloseRequestsWhileTheQuestionIsOpenAreIgnored) {
    StartedWindow h(false);
    Answer answer;
    answer.later = true;
    h.window->setExitQuestion(answer.question());
    EXPECT_FALSE(h.window->close());  // the question is open, nothing answered yet
    h.action("mnuExit")->trigger();   // the tray's Exit while it is open
    h.window->close();
    EXPECT_EQ(answer.asked, 1);
    EXPECT_EQ(countOf(h.folder.activityLines(), "Program Exit"), 0);
    answer.pending(true);
    EXPECT_TRUE(h.window->exited());
    EXPECT_FALSE(h.window->isVisible());
    EXPECT_EQ(countOf(h.folder.activityLines(), "Program Exit"), 1);
}

TEST(MainWindowExit, OpenDialogsCloseBeforeTheWindow) {
    StartedWindow h(false);
    h.action("mnuAbout")->trigger();  // opens it and returns at once
    h.action("mnuSetup")->trigger();
    processEvents();
    ASSERT_NE(h.window->findChild<QDialog*>("frmAbout"), nullptr);
    ASSERT_NE(h.window->findChild<QDialog*>("frmSetup"), nullptr);
    h.window->exitNow();
    processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(h.window->findChild<QDialog*>("frmAbout"), nullptr);
    EXPECT_EQ(h.window->findChild<QDialog*>("frmSetup"), nullptr);
    EXPECT_TRUE(h.window->exited());
    EXPECT_EQ(countOf(h.folder.activityLines(), "Program Exit"), 1);
}

TEST(MainWindowExit, TheQuestionBox) {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        poll.stop();
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->standardButtons();
        box->button(QMessageBox::Cancel)->click();
    });
    poll.start(10);
    std::optional<bool> answered;
    AskExitQuestion(nullptr, [&](bool ok) { answered = ok; });  // returns at once
    ASSERT_TRUE(waitUntil([&] { return answered.has_value(); }));
    EXPECT_FALSE(*answered);
    EXPECT_EQ(title, " Confirm Exit");
    EXPECT_EQ(kConfirmExitText,
              QString("Do You Wish To Exit?") + QChar(13) + "Scheduled Events Will Not Run!");
    EXPECT_EQ(text.split('\n'),
              (QStringList{"Do You Wish To Exit?", "Scheduled Events Will Not Run!"}));
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(buttons, QMessageBox::Ok | QMessageBox::Cancel);
}

QStringList itemTexts(const QTreeWidgetItem* item) {
    QStringList out;
    for (int i = 0; i < item->columnCount(); ++i) out << item->text(i);
    return out;
}

// View / Schedule: the engine's table from its clock's now, beside the main window and holding
// nothing up; a load shows the new table, and the exit closes it.
TEST(MainWindowSchedule, ShowsThePreviewAndLooksAgainAfterALoad) {
    WindowHarness h;  // Monday 09:00
    const Row opto{{"Number", 3}, {"Type", 1},          {"Opto", 5},
                   {"Day", 0},    {"Time", "24:00:00"}, {"Title", "Mic live"},
                   {"Active", 1}, {"ocontrol", 1},      {"OptoOut", 3}};
    h.folder.createDatabase({TimedRow(1, 0, "10:00:00", "Morning News"), opto});
    LoadDatabase(h.e());
    h.window->show();
    h.action("mnuSchedule")->trigger();
    processEvents();
    auto* schedule = h.window->findChild<QDialog*>("frmSchedule");
    ASSERT_NE(schedule, nullptr);
    EXPECT_TRUE(schedule->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    auto* timed = schedule->findChild<QTreeWidget*>("lvTimed");
    ASSERT_EQ(timed->topLevelItemCount(), 1);  // one day
    EXPECT_EQ(timed->topLevelItem(0)->text(0), "Monday 2026-12-07");
    ASSERT_EQ(timed->topLevelItem(0)->childCount(), 1);
    EXPECT_EQ(itemTexts(timed->topLevelItem(0)->child(0)),
              (QStringList{"10:00:00", "Morning News", "", "", "", "Morning News: does nothing - no action is set"}));
    auto* triggered = schedule->findChild<QTreeWidget*>("lvTriggered");
    ASSERT_EQ(triggered->topLevelItemCount(), 1);
    EXPECT_EQ(triggered->topLevelItem(0)->text(0), "opto 5 on");
    ASSERT_EQ(triggered->topLevelItem(0)->childCount(), 1);
    EXPECT_EQ(itemTexts(triggered->topLevelItem(0)->child(0)),
              (QStringList{"Monday", "Mic live", "opto 3 on", "", "", ""}));

    h.action("mnuSchedule")->trigger();  // the same window, to the front
    EXPECT_EQ(h.window->findChildren<QDialog*>("frmSchedule").size(), 1);

    h.folder.sql(
        "INSERT INTO Automation (Number, Day, Time, Title, Type, Active) VALUES (2, 0, '09:30:00', "
        "'Half nine', 0, 3)");
    LoadDatabase(h.e());
    ASSERT_EQ(timed->topLevelItem(0)->childCount(), 2);
    EXPECT_EQ(itemTexts(timed->topLevelItem(0)->child(0)),
              (QStringList{"09:30:00", "Half nine", "", "", "once, then deleted", "Half nine: does nothing - no action is set"}));

    h.window->exitNow();
    processEvents();
    EXPECT_EQ(h.window->findChild<QDialog*>("frmSchedule"), nullptr);
}

TEST(MainWindowHelp, OpensTheHelpFileWhenThereIsOne) {
    WindowHarness h;
    QList<QUrl> opened;
    h.window->setHelpOpener([&](const QUrl& url) { opened << url; });
    h.window->show();
    h.action("mnuContents")->trigger();
    EXPECT_TRUE(opened.isEmpty());  // no help file: a box says so
    auto* box = h.window->findChild<QMessageBox*>("NoHelp");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_TRUE(box->text().contains(h.folder.file("Cuebook.HLP")));
    box->accept();

    QFile help(h.folder.file("Cuebook.HLP"));
    ASSERT_TRUE(help.open(QIODevice::WriteOnly));
    help.close();
    h.action("mnuContents")->trigger();
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(h.folder.file("Cuebook.HLP")));
}

}  // namespace
}  // namespace tarvo::test

namespace tarvo::test {
namespace {

// The exit question, About and Setup on the screen while a timed run waits on its message: the
// engine answers the switcher's pings and runs the next timed event all the same.
TEST(MainWindowDialogs, OpenDialogsHoldNothingUp) {
    QTcpServer switcher, peer;
    ASSERT_TRUE(switcher.listen(QHostAddress::LocalHost, 0));
    ASSERT_TRUE(peer.listen(QHostAddress::LocalHost, 0));
    QTcpSocket* link = nullptr;
    QByteArray fromEngine;
    QObject::connect(&switcher, &QTcpServer::newConnection, [&] {
        link = switcher.nextPendingConnection();
        QObject::connect(link, &QTcpSocket::readyRead, [&] { fromEngine += link->readAll(); });
    });
    QObject::connect(&peer, &QTcpServer::newConnection, [&] {
        QTcpSocket* c = peer.nextPendingConnection();
        QObject::connect(c, &QTcpSocket::readyRead, c, [c] { c->readAll(); });
    });

    WindowHarness h;
    h.clock.setNow(WeekMoment(0, 8, 59, 58, 2));
    h.clock.beforeAlarm = [] { QApplication::processEvents(); };
    Row message = TimedRow(1, 0, "09:00:00", "Message");
    message["mcontrol"] = 1;
    message["mtype"] = 1;
    message["Message"] = "hello";
    message["MIPAddress"] = "127.0.0.1";
    message["MIPPort"] = peer.serverPort();
    h.folder.createDatabase({message, TimedRow(2, 0, "09:00:05", "Five past")});
    h.folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(switcher.serverPort()));
    MainLoop loop(h.e());
    h.window->attach(h.e(), &loop);
    h.window->startUp();
    loop.disable();  // ticked by hand on the manual clock
    auto tick = [&](int n) {
        for (int k = 0; k < n; ++k) {
            h.clock.advance(500);
            processEvents();
            TimerTick(h.e());
        }
    };
    tick(1);
    ASSERT_TRUE(waitUntil([&] { return link != nullptr && h.e().switcher.master().Connected; }));
    link->write(QByteArray(1, char(0xF4)));
    ASSERT_TRUE(waitUntil([&] { return h.e().switcher.master().Online; }));

    tick(4);  // 09:00:00.5: "Message" has sent and waits its second
    ASSERT_EQ(h.e().scheduler.runs.count(), 1);
    Answer answer;
    answer.later = true;
    h.window->setExitQuestion(answer.question());
    h.action("mnuAbout")->trigger();
    h.action("mnuSetup")->trigger();
    h.window->requestExit();
    ASSERT_EQ(answer.asked, 1);

    fromEngine.clear();
    link->write(QByteArray(1, char(0xF5)));
    ASSERT_TRUE(waitUntil([&] { return fromEngine.contains(char(0xF4)); })) << "the ping was not answered";
    tick(10);  // 09:00:05.5
    EXPECT_EQ(h.e().scheduler.runs.count(), 0);
    const QStringList titles = [&] {
        QStringList t;
        auto* list = h.find<QTreeWidget>("lvHistory");
        for (int i = 0; i < list->topLevelItemCount(); ++i) t << list->topLevelItem(i)->text(2);
        return t;
    }();
    EXPECT_EQ(titles, (QStringList{"Message", "Five past"}));
    answer.pending(false);
    EXPECT_FALSE(h.window->exited());
}

// A database that cannot be read is shown while the engine runs on without it, at start-up too,
// and the state goes with the next load that succeeds.
TEST(MainWindowDatabase, AnUnreadableDatabaseIsShownUntilALoadSucceeds) {
    WindowHarness h;
    auto* state = h.find<QLabel>("DatabaseState");
    const auto damage = [&] { WriteFile(h.e().store.DatabasePath, QByteArray(4096, 'x')); };
    damage();
    MainLoop loop(h.e());
    h.window->attach(h.e(), &loop);
    h.window->startUp();
    loop.disable();
    EXPECT_TRUE(state->isVisible());
    EXPECT_EQ(state->text(), "Database unreadable");
    EXPECT_FALSE(state->toolTip().isEmpty());
    EXPECT_TRUE(h.folder.errorLines().join('|').contains(state->toolTip())) << state->toolTip().toStdString();

    QFile::remove(h.e().store.DatabasePath);
    h.folder.createDatabase({TimedRow(1, 0, "10:00:00", "Morning News")});
    LoadDatabase(h.e());
    EXPECT_FALSE(state->isVisible());
    EXPECT_EQ(h.find<QLabel>("Panel1")->text(), "1 Total Events");
    damage();  // while running: the last table stays, and the state shows it
    LoadDatabase(h.e());
    EXPECT_TRUE(state->isVisible());
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 1);
}

// The same box again while it is open opens no second one, and holds nothing up.
TEST(MainWindowDatabase, OneInvalidFileBoxForRepeatedBadLoads) {
    WindowHarness h;
    h.folder.createDatabase({TimedRow(1, 0, "10:00:00", "Morning News")});
    h.folder.sql("UPDATE [Type] SET [Type] = 'Inventory'");
    h.window->show();
    const auto boxes = [&] {
        int shown = 0;
        for (QMessageBox* b : h.window->findChildren<QMessageBox*>("ErrorBox")) shown += b->isVisible();
        return shown;
    };
    for (int i = 0; i < 5; ++i) {
        LoadDatabase(h.e());
        processEvents();
    }
    EXPECT_EQ(boxes(), 1);
    EXPECT_NE(QApplication::activeModalWidget(), h.window.get());  // open(), the loop turns
    h.window->findChild<QMessageBox*>("ErrorBox")->accept();
    processEvents();
    LoadDatabase(h.e());
    EXPECT_EQ(boxes(), 1);  // closed: the next one opens
}

}  // namespace
}  // namespace tarvo::test
