#include <gtest/gtest.h>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include "store/load_database.h"
#include "store/task_view.h"
#include "ui/about_dialog.h"
#include "ui/setup_dialog.h"
#include "ui_fixture.h"

namespace tarvo::test {
namespace {

void press(QWidget* w, Qt::Key key, const QString& text) {
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &down);
    QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &up);
}

void type(QWidget* w, const QString& keys) {
    for (QChar c : keys) press(w, static_cast<Qt::Key>(c.toUpper().unicode()), QString(c));
}

struct SetupHarness : WindowHarness {
    SetupHarness() {
        folder.createDatabase(
            {TimedRow(1, 0, "10:00:00", "Morning News"), TimedRow(2, 1, "11:00:00", "Midday")});
        folder.sql(
            "UPDATE Info SET StartMin = 0, ArchiveTally = -1, MaxTallyFile = 1000, Future1 = "
            "'Studio 2'");
        LoadDatabase(e());
        dialog = std::make_unique<SetupDialog>(e(), window.get());
        dialog->setFolderChooser([this](QWidget*, const QString& prompt, const QString&,
                                        const std::function<void(const QString&)>& answer) {
            prompts << prompt;
            answer(chosen);
        });
        dialog->show();
    }
    template <typename T>
    T* control(const char* name) {
        return dialog->findChild<T*>(QLatin1String(name));
    }
    QLineEdit* maxSize() { return control<QLineEdit>("txtMaxSize"); }
    void ok() { control<QPushButton>("cmdOk")->click(); }

    std::unique_ptr<SetupDialog> dialog;
    QString chosen;
    QStringList prompts;
};

TEST(SetupDialog, ControlsShowTheSettings) {
    SetupHarness h;
    h.e().settings.TaskViewDB = "/srv/taskview";
    SetupDialog fresh(h.e());
    auto text = [&](const char* name) {
        return fresh.findChild<QLineEdit*>(QLatin1String(name))->text();
    };
    auto label = [&](const char* name) {
        return fresh.findChild<QLabel*>(QLatin1String(name))->text();
    };
    auto box = [&](const char* name) { return fresh.findChild<QCheckBox*>(QLatin1String(name)); };
    EXPECT_EQ(fresh.windowTitle(), "Setup");
    EXPECT_EQ(box("chkMinimize")->text(), "&Minimize on Startup");  // Alt+M
    EXPECT_FALSE(box("chkMinimize")->isChecked());
    EXPECT_EQ(box("chkArchive")->text(), "&Archive Log");  // Alt+A
    EXPECT_TRUE(box("chkArchive")->isChecked());
    EXPECT_EQ(label("lblMaxSize"), "Max Size");
    EXPECT_EQ(label("lblTitle"), "Automation Engine Title");
    EXPECT_EQ(label("lblTaskViewer"), "Automation Task Viewer Path");
    EXPECT_EQ(text("txtMaxSize"), "1000");
    EXPECT_EQ(text("txtTitle"), "Studio 2");
    EXPECT_EQ(text("txtTaskView"), "/srv/taskview");
    EXPECT_EQ(fresh.findChild<QPushButton*>("cmdBrowse")->text(), "&Browse");
    EXPECT_EQ(fresh.findChild<QPushButton*>("cmdCancel")->text(), "&Cancel");
}

TEST(SetupDialog, MaxSizeTakesDigitsAndBackspaceOnly) {
    SetupHarness h;
    QLineEdit* box = h.maxSize();
    box->setFocus();
    box->end(false);
    type(box, "a.x -");
    EXPECT_EQ(box->text(), "1000");
    type(box, "25");
    EXPECT_EQ(box->text(), "100025");
    box->setText("1000");
    type(box, "2");
    press(box, Qt::Key_Backspace, "\b");
    press(box, Qt::Key_Backspace, "\b");
    EXPECT_EQ(box->text(), "100");
    // Pasted text is held to digits as well.
    box->insert("7x");
    EXPECT_EQ(box->text(), "100");
}

TEST(SetupDialog, MaxSizeAboveTheLimitGoesBackToTheStoredValueFirst) {
    SetupHarness h;
    QLineEdit* box = h.maxSize();
    box->setText("100000");
    box->end(false);
    type(box, "0");  // 100000 is not above the limit: the digit is typed
    EXPECT_EQ(box->text(), "1000000");
    type(box, "7");  // now it is: back to the stored 1000, then the digit
    EXPECT_EQ(box->text(), "10007");

    box->setText("200000");
    press(box, Qt::Key_Backspace, "\b");
    EXPECT_EQ(box->text(), "100");
}

TEST(SetupDialog, OkStoresTheSettingsAndAnEmptyTitleAsABlank) {
    SetupHarness h;
    h.control<QCheckBox>("chkMinimize")->setChecked(true);
    h.control<QCheckBox>("chkArchive")->setChecked(false);
    h.maxSize()->setText("2500");
    h.control<QLineEdit>("txtTitle")->clear();
    h.ok();
    EXPECT_EQ(h.dialog->result(), QDialog::Accepted);
    EXPECT_EQ(h.folder.query("SELECT StartMin FROM Info").toInt(), -1);
    EXPECT_EQ(h.folder.query("SELECT ArchiveTally FROM Info").toInt(), 0);
    EXPECT_EQ(h.folder.query("SELECT MaxTallyFile FROM Info").toInt(), 2500);
    EXPECT_EQ(h.folder.query("SELECT Future1 FROM Info").toString(), " ");
    EXPECT_EQ(h.e().settings.Future1, " ");
    EXPECT_TRUE(h.e().settings.StartMin);
    EXPECT_EQ(h.e().settings.MaxTallyFile, 2500);
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST(SetupDialog, AMaxSizeThatIsNoNumberIsRefusedNotStoredAsNoLimit) {
    // An emptied box (or a lone minus sign) is no number at all: storing it as 0 would lift the
    // activity log's limit without a word.
    for (const char* typed : {"", "-"}) {
        SCOPED_TRACE(typed);
        SetupHarness h;
        h.control<QCheckBox>("chkMinimize")->setChecked(true);
        h.control<QLineEdit>("txtTitle")->setText("Studio 9");
        h.maxSize()->setText(typed);
        h.ok();
        EXPECT_TRUE(h.dialog->isVisible());
        EXPECT_NE(h.dialog->result(), QDialog::Accepted);
        const QStringList errors = h.folder.errorLines();
        ASSERT_EQ(errors.size(), 1);
        EXPECT_TRUE(errors[0].startsWith("Error Updating DB Info")) << errors[0].toStdString();
        EXPECT_EQ(h.folder.query("SELECT MaxTallyFile FROM Info").toInt(), 1000);
        EXPECT_EQ(h.folder.query("SELECT Future1 FROM Info").toString(), "Studio 2");
        EXPECT_EQ(h.e().settings.MaxTallyFile, 1000);
        EXPECT_EQ(h.e().logs.MaxTallyFile, 1000);

        // Put right, OK goes through.
        h.maxSize()->setText("0");
        h.ok();
        EXPECT_EQ(h.dialog->result(), QDialog::Accepted);
        EXPECT_EQ(h.folder.query("SELECT MaxTallyFile FROM Info").toInt(), 0);
        EXPECT_EQ(h.folder.query("SELECT Future1 FROM Info").toString(), "Studio 9");
    }
}

TEST(SetupDialog, OkWithoutAPathChangeDoesNotReload) {
    SetupHarness h;
    InsertRows(h.folder.file(kDatabaseFileName),
               {TimedRow(3, 2, "12:00:00", "Added Behind Our Back")});
    h.control<QCheckBox>("chkMinimize")->setChecked(true);
    h.ok();
    EXPECT_EQ(h.folder.query("SELECT StartMin FROM Info").toInt(), -1);
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 2);
}

TEST(SetupDialog, OkWithANewPathStoresItReloadsAndMakesTheCopy) {
    SetupHarness h;
    QTemporaryDir viewer;
    InsertRows(h.folder.file(kDatabaseFileName),
               {TimedRow(3, 2, "12:00:00", "Added Behind Our Back")});
    h.control<QLineEdit>("txtTaskView")->setText(viewer.path());
    h.ok();
    EXPECT_EQ(h.folder.query("SELECT TaskViewDB FROM Server").toString(), viewer.path());
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 3);
    EXPECT_TRUE(QFileInfo::exists(TaskViewCopyPath(viewer.path())));
    // The next event is chosen afresh after the reload.
    EXPECT_EQ(h.find<QTreeWidget>("lvNext")->topLevelItem(0)->text(2), "Morning News");
}

TEST(SetupDialog, BrowseFillsThePathAndACancelledChooserEmptiesIt) {
    SetupHarness h;
    h.e().settings.TaskViewDB = "/srv/old";
    auto* path = h.control<QLineEdit>("txtTaskView");
    h.chosen = "/srv/taskview";
    h.control<QPushButton>("cmdBrowse")->click();
    EXPECT_EQ(path->text(), "/srv/taskview");
    ASSERT_EQ(h.prompts.size(), 1);
    EXPECT_EQ(h.prompts[0],
              "Select the location to save Copy of Automation Database.  Automation Task View will "
              "use this File.");

    h.chosen.clear();
    h.control<QPushButton>("cmdBrowse")->click();
    EXPECT_EQ(path->text(), "");
    h.ok();  // an empty path is stored as the blank that means "no copy"
    EXPECT_EQ(h.folder.query("SELECT TaskViewDB FROM Server").toString(), " ");
    EXPECT_EQ(h.e().settings.TaskViewDB, " ");
}

TEST(SetupDialog, CancelStoresNothing) {
    SetupHarness h;
    const EngineSettings before = h.e().settings;
    h.control<QCheckBox>("chkMinimize")->setChecked(true);
    h.control<QLineEdit>("txtTitle")->setText("Changed");
    h.control<QLineEdit>("txtTaskView")->setText("/tmp");
    h.control<QPushButton>("cmdCancel")->click();
    EXPECT_EQ(h.dialog->result(), QDialog::Rejected);
    EXPECT_FALSE(h.dialog->isVisible());
    EXPECT_EQ(h.e().settings.Future1, before.Future1);
    EXPECT_EQ(h.e().settings.TaskViewDB, before.TaskViewDB);
    EXPECT_FALSE(h.e().settings.StartMin);
    EXPECT_EQ(h.folder.query("SELECT Future1 FROM Info").toString(), "Studio 2");
    EXPECT_EQ(h.folder.query("SELECT StartMin FROM Info").toInt(), 0);
}

TEST(SetupDialog, AFailedWriteIsReportedAndTheDialogStaysOpen) {
    SetupHarness h;
    // No Server row: neither table may be written.
    h.folder.sql("DELETE FROM Server");
    h.control<QLineEdit>("txtTitle")->setText("Studio 9");
    h.ok();
    EXPECT_TRUE(h.dialog->isVisible());
    EXPECT_NE(h.dialog->result(), QDialog::Accepted);
    const QStringList errors = h.folder.errorLines();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Error Updating DB Info")) << errors[0].toStdString();
    EXPECT_EQ(h.folder.query("SELECT Future1 FROM Info").toString(), "Studio 2");
    EXPECT_EQ(h.e().settings.Future1, "Studio 9");  // taken over in memory all the same

    // Once the database can be written again, OK goes through.
    h.folder.sql("INSERT INTO Server (IPPort, IPAddr) VALUES (1250, '0.0.0.0')");
    h.ok();
    EXPECT_EQ(h.dialog->result(), QDialog::Accepted);
    EXPECT_EQ(h.folder.query("SELECT Future1 FROM Info").toString(), "Studio 9");
}

struct AboutHarness : WindowHarness {
    AboutHarness() : dialog(e(), window.get()) {
        EngineSettings& s = e().settings;
        s.IPAddr = "10.1.2.3";
        s.IPPort = 1250;
        s.SlaveIPAddr = "10.1.2.4";
        s.SlaveIPPort = 1251;
    }
    QString text(const char* name) {
        return dialog.findChild<QLabel*>(QLatin1String(name))->text();
    }
    StatusLamp* lamp(const char* name) {
        return dialog.findChild<StatusLamp*>(QLatin1String(name));
    }
    AboutDialog dialog;
};

TEST(AboutDialog, ShowsTheSettingsAndVersionWhenItComesToTheFront) {
    AboutHarness h;
    EXPECT_EQ(h.text("lblIPAddr"), "Not Specified");
    h.dialog.show();
    EXPECT_EQ(h.dialog.windowTitle(), "Tarvo Automation Engine Information");
    EXPECT_EQ(h.text("lblIPAddr"), "10.1.2.3");
    EXPECT_EQ(h.text("lblTcpPort"), "Port 1250");
    EXPECT_EQ(h.text("lblSlaveIPAddr"), "10.1.2.4");
    EXPECT_EQ(h.text("lblSlaveIPPort"), "Port 1251");
    EXPECT_EQ(h.text("lblLogFile"), "Tally.dat");
    EXPECT_EQ(VersionInfoText(),
              QString("Tarvo Automation Engine") + QChar(13) + "Version 02.00.0011 - 06/04/2015");
    EXPECT_EQ(h.text("lblVersionInfo").split('\n'),
              (QStringList{"Tarvo Automation Engine", "Version 02.00.0011 - 06/04/2015"}));
    EXPECT_TRUE(h.text("lblMaker").contains("Tarvo Broadcast Systems Oy"));
    EXPECT_EQ(h.dialog.findChild<QPushButton*>("cmdAboutquit")->text(), "&Ok");

    h.dialog.findChild<QPushButton*>("cmdAboutquit")->click();
    EXPECT_FALSE(h.dialog.isVisible());
}

TEST(AboutDialog, ALinkStillOnAnotherAddressThanTheSettingSaysSo) {
    AboutHarness h;
    // A load whose table was empty took the new settings but left the links where they were.
    SwitcherLink& master = h.e().switcher.master();
    SwitcherLink& slave = h.e().switcher.slave();
    master.Connected = true;
    master.address = "10.1.2.9";
    master.port = 1250;
    slave.Connected = true;
    slave.address = "10.1.2.4";
    slave.port = 1260;
    h.dialog.show();
    EXPECT_EQ(h.text("lblIPAddr"), "10.1.2.3 (in use: 10.1.2.9)");
    EXPECT_EQ(h.text("lblTcpPort"), "Port 1250");
    EXPECT_EQ(h.text("lblSlaveIPAddr"), "10.1.2.4");
    EXPECT_EQ(h.text("lblSlaveIPPort"), "Port 1251 (in use: 1260)");

    // A link that is down uses no address: the settings alone are shown.
    h.dialog.hide();
    master.Connected = false;
    slave.Connected = false;
    h.dialog.show();
    EXPECT_EQ(h.text("lblIPAddr"), "10.1.2.3");
    EXPECT_EQ(h.text("lblSlaveIPPort"), "Port 1251");
}

TEST(AboutDialog, LampsShowWhichSwitchersAreOnline) {
    AboutHarness h;
    h.e().switcher.master().Online = true;
    h.e().switcher.slave().Online = false;
    h.dialog.show();
    EXPECT_EQ(h.lamp("shSwitcherStatus")->color(), QColor(0, 255, 0));
    EXPECT_EQ(h.lamp("shSlaveStatus")->color(), QColor(224, 224, 224));
    const QImage drawn = h.lamp("shSwitcherStatus")->grab().toImage();
    EXPECT_EQ(drawn.pixelColor(drawn.width() / 2, drawn.height() / 2), QColor(0, 255, 0));

    // Shown again after the links changed: the lamps follow.
    h.dialog.hide();
    h.e().switcher.master().Online = false;
    h.e().switcher.slave().Online = true;
    h.e().settings.IPPort = 1300;
    h.dialog.show();
    EXPECT_EQ(h.lamp("shSwitcherStatus")->color(), QColor(224, 224, 224));
    EXPECT_EQ(h.lamp("shSlaveStatus")->color(), QColor(0, 255, 0));
    EXPECT_EQ(h.text("lblTcpPort"), "Port 1300");

    // While it stays open: the lamp follows a link that goes.
    h.e().switcher.slave().Online = false;
    EXPECT_TRUE(waitUntil([&] { return h.lamp("shSlaveStatus")->color() == QColor(224, 224, 224); }));
}

TEST(AboutDialog, ClockLampIsLitOnlyWhileTheKernelSaysTheClockIsSynchronised) {
    AboutHarness h;
    auto answer = std::make_shared<ClockSync>(ClockSync::Unknown);
    h.e().clockWatch.setSource(std::make_unique<SetClockSync>(answer));
    const QColor on(0, 255, 0), off(224, 224, 224);
    // Each answer as the kernel gives it at one look, and the lamp at the next showing. An
    // unknown answer leaves what was known.
    const struct {
        ClockSync answer;
        QColor lamp;
    } looks[] = {
        {ClockSync::Unknown, off},
        {ClockSync::Synchronised, on},
        {ClockSync::Unknown, on},
        {ClockSync::Unsynchronised, off},
        {ClockSync::Synchronised, on},
    };
    for (const auto& look : looks) {
        *answer = look.answer;
        h.e().clockWatch.check();
        h.dialog.hide();
        h.dialog.show();
        EXPECT_EQ(h.lamp("shClockStatus")->color(), look.lamp) << static_cast<int>(look.answer);
    }
    QStringList captions;
    for (QLabel* l : h.dialog.findChildren<QLabel*>()) captions << l->text();
    EXPECT_TRUE(captions.contains("Clock Synchronised"));
}

}  // namespace
}  // namespace tarvo::test
