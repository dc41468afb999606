#include "ui/main_window.h"

#include <algorithm>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QScreen>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "engine/engine.h"
#include "engine/main_loop.h"
#include "ui/about_dialog.h"
#include "ui/icons.h"
#include "ui/schedule_window.h"
#include "ui/setup_dialog.h"

namespace tarvo {

namespace {

// The engine runs for months; the history keeps its latest lines and lets the oldest go (the
// activity log keeps them all).
constexpr int kHistoryLimit = 10000;

const QColor kHistoryRed(255, 0, 0);
const QColor kHistoryBlack(0, 0, 0);

QTreeWidget* eventList(QWidget* parent, const char* name) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QLatin1String(name));
    list->setHeaderLabels(
        {QStringLiteral("Day"), QStringLiteral("Time of Day"), QStringLiteral("Title")});
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->header()->setStretchLastSection(true);
    list->setColumnWidth(0, 110);
    list->setColumnWidth(1, 100);
    return list;
}

QAction* menuItem(QMenu* menu, const char* name, const QString& text) {
    QAction* a = menu->addAction(text);
    a->setObjectName(QLatin1String(name));
    return a;
}

QAction* separator(QMenu* menu, const char* name) {
    QAction* a = menu->addSeparator();
    a->setObjectName(QLatin1String(name));
    return a;
}

}  // namespace

QString ShownText(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

QString HelpFilePath(const QString& appFolder) {
    QString folder = appFolder.trimmed();
    if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    return folder + kHelpFileName;
}

void AskExitQuestion(QWidget* parent, std::function<void(bool)> answer) {
    auto* box = new QMessageBox(QMessageBox::Information, kConfirmExitTitle, ShownText(kConfirmExitText),
                                QMessageBox::Ok | QMessageBox::Cancel, parent);
    box->setObjectName(QStringLiteral("ConfirmExit"));
    box->setDefaultButton(QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, answer = std::move(answer)](int) { answer(box->clickedButton() == box->button(QMessageBox::Ok)); });
    box->open();
}

MainWindow::MainWindow(std::unique_ptr<TrayBackend> tray, QWidget* parent)
    : QMainWindow(parent),
      connectedIcon_(LinkIconImage(LinkIcon::Connected)),
      notConnectedIcon_(LinkIconImage(LinkIcon::NotConnected)),
      tray_(std::make_unique<TrayIcon>(std::move(tray))),
      question_(AskExitQuestion),
      helpOpener_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tarvo Automation"));
    setWindowIcon(notConnectedIcon_);
    buildControls();
    buildMenus();
    connect(tray_.get(), &TrayIcon::doubleClicked, this, &MainWindow::restoreFromTray);
    resize(660, 440);
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    lblHistory_ = new QLabel(QStringLiteral("Event History"), central);
    lblHistory_->setObjectName(QStringLiteral("lblHistory"));
    cmdClearList_ = new QPushButton(QStringLiteral("&Clear"), central);
    cmdClearList_->setObjectName(QStringLiteral("cmdClearList"));
    cmdClearList_->setToolTip(QStringLiteral("Clear Command History"));
    auto* historyHead = new QHBoxLayout;
    historyHead->addWidget(lblHistory_);
    historyHead->addStretch(1);
    historyHead->addWidget(cmdClearList_);
    layout->addLayout(historyHead);

    lvHistory_ = eventList(central, "lvHistory");
    layout->addWidget(lvHistory_, 1);

    lblNext_ = new QLabel(QStringLiteral("Next Event to Run"), central);
    lblNext_->setObjectName(QStringLiteral("lblNext"));
    layout->addWidget(lblNext_);
    lvNext_ = eventList(central, "lvNext");
    lvNext_->setSelectionMode(QAbstractItemView::NoSelection);
    lvNext_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    lvNext_->addTopLevelItem(new QTreeWidgetItem(QStringList{QString(), QString(), QString()}));
    const int row =
        lvNext_->sizeHintForRow(0) > 0 ? lvNext_->sizeHintForRow(0) : fontMetrics().height() + 4;
    lvNext_->setFixedHeight(lvNext_->header()->sizeHint().height() + row +
                            2 * lvNext_->frameWidth() + 4);
    layout->addWidget(lvNext_);
    setCentralWidget(central);

    connect(cmdClearList_, &QPushButton::clicked, this, [this] {
        lvHistory_->clear();
        lvHistory_->setFocus();
    });

    const char* names[3] = {"Panel1", "Panel2", "Panel3"};
    const QString tips[3] = {
        QStringLiteral("Number of Automation Events.  Includes each day a single event is active"),
        QStringLiteral("Current Date"), QStringLiteral("Current Time")};
    auto* bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    for (int i = 0; i < 3; ++i) {
        panels_[i] = new QLabel(bar);
        panels_[i]->setObjectName(QLatin1String(names[i]));
        panels_[i]->setToolTip(tips[i]);
        panels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panels_[i]->setContentsMargins(4, 0, 4, 0);
    }
    databaseState_ = new QLabel(kDatabaseUnreadable, bar);
    databaseState_->setObjectName(QStringLiteral("DatabaseState"));
    databaseState_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    databaseState_->setContentsMargins(4, 0, 4, 0);
    databaseState_->setStyleSheet(QStringLiteral("QLabel { color: #c00000; font-weight: bold; }"));
    databaseState_->hide();
    panels_[1]->setMinimumWidth(190);
    panels_[2]->setMinimumWidth(90);
    bar->addWidget(databaseState_);
    bar->addWidget(panels_[0], 1);
    bar->addPermanentWidget(panels_[1]);
    bar->addPermanentWidget(panels_[2]);
    setStatusBar(bar);
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mnuFIle"));
    connect(menuItem(file, "mnuSetup", QStringLiteral("&Setup")), &QAction::triggered, this,
            &MainWindow::openSetup);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->setObjectName(QStringLiteral("mnuView"));
    connect(menuItem(view, "mnuSchedule", QStringLiteral("&Schedule")), &QAction::triggered, this,
            &MainWindow::openSchedule);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("mnuHelp"));
    connect(menuItem(help, "mnuContents", QStringLiteral("&Contents")), &QAction::triggered, this,
            &MainWindow::showHelp);
    separator(help, "mnuSep1");
    connect(menuItem(help, "mnuAbout", QStringLiteral("&About")), &QAction::triggered, this,
            &MainWindow::openAbout);

    // Not in the menu bar: it is the tray icon's pop-up.
    mnuSysTray_ = new QMenu(QStringLiteral("&SysTray"), this);
    mnuSysTray_->setObjectName(QStringLiteral("mnuSysTray"));
    connect(menuItem(mnuSysTray_, "mnuRestore", QStringLiteral("&Restore")), &QAction::triggered,
            this, &MainWindow::restoreFromTray);
    // From the keyboard: the desktop's key for the tray icon's menu (or the menu key on the
    // focused icon), then R. A key that works while another program has the focus would be a
    // global hot key, which the desktops offer in no portable way.
    separator(mnuSysTray_, "mnuSep");
    connect(menuItem(mnuSysTray_, "mnuExit", QStringLiteral("E&xit")), &QAction::triggered, this,
            &MainWindow::requestExit);
    tray_->setMenu(mnuSysTray_);
}

void MainWindow::attach(Engine& e, MainLoop* loop) {
    engine_ = &e;
    loop_ = loop;
}

void MainWindow::startUp() {
    if (engine_ && loop_) StartUp(*engine_, *loop_);
    if (!inTray() && !isVisible()) show();
}

// --- StatusView

void MainWindow::setCaption(const QString& caption) {
    setWindowTitle(caption);
}

void MainWindow::setIcon(LinkIcon icon) {
    const QIcon& picture = icon == LinkIcon::Connected ? connectedIcon_ : notConnectedIcon_;
    setWindowIcon(picture);
    tray_->setIcon(picture);
}

void MainWindow::setStatusPanel(int panel, const QString& text) {
    if (panel < 1 || panel > 3) return;
    panels_[panel - 1]->setText(text);
}

void MainWindow::addHistoryLine(const ListLine& line, bool red) {
    // Each line keeps its own colour. (Recolouring the whole list with the newest line's colour
    // would show earlier refusals in black after one success, and successes in red after one
    // refusal.)
    while (lvHistory_->topLevelItemCount() >= kHistoryLimit) delete lvHistory_->takeTopLevelItem(0);
    auto* item = new QTreeWidgetItem(QStringList{line.day, line.time, line.title});
    for (int column = 0; column < 3; ++column)
        item->setForeground(column, red ? kHistoryRed : kHistoryBlack);
    lvHistory_->addTopLevelItem(item);
    // Keep the newest line in view; a burst of lines scrolls once.
    if (!scrollPending_) {
        scrollPending_ = true;
        QTimer::singleShot(0, this, [this] {
            scrollPending_ = false;
            lvHistory_->scrollToBottom();
        });
    }
}

void MainWindow::showNextEvent(const ListLine& line) {
    QTreeWidgetItem* item = lvNext_->topLevelItem(0);
    item->setText(0, line.day);
    item->setText(1, line.time);
    item->setText(2, line.title);
}

void MainWindow::showNextEventDate(const QDate& date) {
    // The specified line stays as it is; the tip tells "Wednesday" next week from this week's.
    const QString tip = date.isValid() ? QStringLiteral("Next run on ") + QLocale::c().toString(date, QStringLiteral("dddd d MMMM yyyy"))
                                       : QString();
    QTreeWidgetItem* item = lvNext_->topLevelItem(0);
    for (int column = 0; column < 3; ++column) item->setToolTip(column, tip);
}

void MainWindow::showError(const QString& text, const QString& caption) {
    // Opened and left: the engine goes on while it is on the screen. The same message again
    // while its box is open (a table that stays wrong through several edits) opens no other.
    std::erase_if(errorBoxes_, [](const auto& b) { return b.second.isNull(); });
    const QString key = caption + QChar(0) + text;
    for (const auto& [shown, box] : errorBoxes_)
        if (shown == key) return;
    // Window-modal to the main window even while it is hidden (at start-up, in the tray): it
    // holds up that window once shown, never the tray menu or the other windows.
    auto* box = new QMessageBox(QMessageBox::Critical, caption, ShownText(text), QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("ErrorBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    errorBoxes_.emplace_back(key, box);
    openDialog(box);
}

void MainWindow::databaseUnreadable(const QString& reason) {
    databaseState_->setToolTip(reason);
    databaseState_->show();
}

void MainWindow::databaseLoaded() {
    databaseState_->hide();
    if (auto* window = qobject_cast<ScheduleWindow*>(schedule_.data())) window->refresh();
}

void MainWindow::minimise() {
    if (tray_->available())
        goToTray();
    else
        showMinimized();  // without a notification area the window stays reachable
}

// --- tray

QString MainWindow::stationTitle() const {
    return engine_ ? engine_->settings.Future1 : QString();
}

void MainWindow::goToTray() {
    hide();
    tray_->show(windowIcon(), TrayToolTip(stationTitle()));
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || restoring_) return;
    // Without a notification area a hidden window could never be brought back.
    if (!isMinimized() || !tray_->available()) return;
    // Hiding is left until the state change has been handled by the window system.
    QTimer::singleShot(0, this, [this] {
        if (isMinimized() && !restoring_ && !exited_) goToTray();
    });
}

void MainWindow::restoreFromTray() {
    restoring_ = true;
    showNormal();
    raise();
    activateWindow();
    tray_->remove();
    restoring_ = false;
    // Lines added while hidden: the newest is in view once the list has its size again.
    QTimer::singleShot(0, this, [this] { lvHistory_->scrollToBottom(); });
}

// --- help and dialogs

void MainWindow::showHelp() {
    if (!engine_) return;
    const QString path = HelpFilePath(engine_->AppFolder);
    if (!QFileInfo(path).isFile()) {
        // Said in a box rather than nothing at all; opened and left, like the other boxes.
        openOnce(noHelp_, [this, path] {
            auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Help"),
                                        QStringLiteral("No help is installed: %1 was not found.").arg(path),
                                        QMessageBox::Ok, this);
            box->setObjectName(QStringLiteral("NoHelp"));
            return box;
        });
        return;
    }
    helpOpener_(QUrl::fromLocalFile(path));
}

void MainWindow::openDialog(QDialog* dialog, bool modal) {
    std::erase_if(openDialogs_, [](const QPointer<QDialog>& d) { return d.isNull(); });
    openDialogs_.emplace_back(dialog);
    if (!modal) {
        dialog->show();
        return;
    }
    dialog->setWindowModality(dialog->parentWidget() ? Qt::WindowModal : Qt::ApplicationModal);
    dialog->open();
}

void MainWindow::openOnce(QPointer<QDialog>& slot, const std::function<QDialog*()>& make,
                          bool modal) {
    if (!engine_ || exited_) return;
    if (slot) {
        slot->raise();
        slot->activateWindow();
        return;
    }
    QDialog* dialog = make();
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    slot = dialog;
    openDialog(dialog, modal);
}

void MainWindow::openSetup() {
    openOnce(setup_, [this] {
        auto* dialog = new SetupDialog(*engine_, this);
        if (folderChooser_) dialog->setFolderChooser(folderChooser_);
        return dialog;
    });
}

void MainWindow::openAbout() {
    openOnce(about_, [this] { return new AboutDialog(*engine_, this); });
}

void MainWindow::openSchedule() {
    const bool fresh = schedule_.isNull();
    openOnce(schedule_, [this] { return new ScheduleWindow(*engine_, this); }, /*modal=*/false);
    if (fresh && schedule_) placeBeside(schedule_);
}

void MainWindow::placeBeside(QWidget* window) {
    const QRect main = frameGeometry();
    const QRect room = screen()->availableGeometry();
    const QSize size = window->frameGeometry().size();
    constexpr int kGap = 8;
    int x = main.right() + kGap;
    if (x + size.width() > room.right()) x = main.left() - kGap - size.width();
    if (x < room.left()) x = std::max(room.left(), room.right() - size.width());
    const int y = std::clamp(main.top(), room.top(), std::max(room.top(), room.bottom() - size.height()));
    window->move(x, y);
}

// --- exit

void MainWindow::requestExit() {
    if (exited_ || asking_) return;  // the question is on the screen already
    asking_ = true;
    question_(isVisible() ? this : nullptr, [this](bool ok) {
        asking_ = false;
        if (exited_ || !ok) return;  // a stop signal may have ended the run while it was open
        closingSteps();
        close();
    });
}

void MainWindow::exitNow() {
    if (exited_) return;
    closingSteps();
    close();
}

void MainWindow::closingSteps() {
    exited_ = true;
    if (engine_) ProgramExit(*engine_, loop_);
    // Open dialogs close before the main window, the latest first.
    for (auto it = openDialogs_.rbegin(); it != openDialogs_.rend(); ++it)
        if (*it) (*it)->reject();
    tray_->remove();
    emit programExited();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // An answer given at once (OK) has run the closing steps by the time this returns.
    if (!exited_) requestExit();
    if (exited_)
        event->accept();
    else
        event->ignore();
}

}  // namespace tarvo
