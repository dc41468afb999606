// frmMain: the engine's status window. It shows what has run, what runs next, the date, the time
// and the number of events, hides in the notification area and opens the dialogs and the help.
// It is one view of the engine among others: the engine talks to it only as a StatusView.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QUrl>

#include "base/status_view.h"
#include "ui/tray_icon.h"

class QAction;
class QDialog;
class QLabel;
class QMenu;
class QPushButton;
class QTreeWidget;

namespace tarvo {

class Engine;
class MainLoop;

inline const QString kConfirmExitTitle = QStringLiteral(" Confirm Exit");
inline const QString kConfirmExitText =
    QStringLiteral("Do You Wish To Exit?\rScheduled Events Will Not Run!");
inline const QString kHelpFileName = QStringLiteral("Cuebook.HLP");
inline const QString kDatabaseUnreadable = QStringLiteral("Database unreadable");

// A text as a label shows it: the carriage return that separates the lines of a message is a
// line break here (a label would show it as a blank).
QString ShownText(const QString& text);

// The help file in the program folder.
QString HelpFilePath(const QString& appFolder);

// Opens the exit question (information icon, OK / Cancel) without waiting for it; `answer` is
// called with true for OK once it is answered.
void AskExitQuestion(QWidget* parent, std::function<void(bool)> answer);

class MainWindow : public QMainWindow, public StatusView {
    Q_OBJECT
  public:
    using ExitQuestion = std::function<void(QWidget* parent, std::function<void(bool)> answer)>;
    using HelpOpener = std::function<void(const QUrl&)>;
    using FolderChooser = std::function<void(QWidget* parent, const QString& prompt, const QString& start,
                                             std::function<void(const QString&)> chosen)>;

    explicit MainWindow(std::unique_ptr<TrayBackend> tray = std::make_unique<SystemTrayBackend>(),
                        QWidget* parent = nullptr);
    ~MainWindow() override;

    // The engine shown here and the main loop that the exit stops (may be null in tests).
    void attach(Engine& e, MainLoop* loop);
    // The start-up sequence; afterwards the window is shown, or sits in the tray with StartMin.
    void startUp();

    // StatusView
    void setCaption(const QString& caption) override;
    void setIcon(LinkIcon icon) override;
    void setStatusPanel(int panel, const QString& text) override;
    void addHistoryLine(const ListLine& line, bool red) override;
    void showNextEvent(const ListLine& line) override;
    void showNextEventDate(const QDate& date) override;
    void showError(const QString& text, const QString& caption) override;
    void minimise() override;
    void databaseLoaded() override;
    void databaseUnreadable(const QString& reason) override;

    // Any close request: the question first, opened without holding anything up; on OK the
    // closing steps. A request while the question is open is ignored.
    void requestExit();
    // The closing steps without the question, where nobody can be asked (a stop signal).
    void exitNow();
    bool exited() const { return exited_; }

    void restoreFromTray();
    bool inTray() const { return tray_->shown(); }
    TrayIcon& tray() { return *tray_; }

    // Replaceable desktop services, so the tests can answer them.
    void setExitQuestion(ExitQuestion q) { question_ = std::move(q); }
    void setHelpOpener(HelpOpener h) { helpOpener_ = std::move(h); }
    void setFolderChooser(FolderChooser c) { folderChooser_ = std::move(c); }

    void showHelp();
    void openSetup();
    void openAbout();
    // View / Schedule: beside the main window, not modal.
    void openSchedule();

  signals:
    // The closing steps are done: the program may end.
    void programExited();

  protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildControls();
    void buildMenus();
    void goToTray();
    void closingSteps();
    // Opens a dialog, window-modally unless `modal` is false, and keeps it in the list that the
    // exit closes.
    void openDialog(QDialog* dialog, bool modal = true);
    // Moves a window beside this one, to the right where the screen has room, else to the left.
    void placeBeside(QWidget* window);
    // Opens the dialog `make` builds, or brings the one already open to the front.
    void openOnce(QPointer<QDialog>& slot, const std::function<QDialog*()>& make,
                  bool modal = true);
    QString stationTitle() const;

    Engine* engine_ = nullptr;
    MainLoop* loop_ = nullptr;

    QLabel* lblHistory_ = nullptr;
    QTreeWidget* lvHistory_ = nullptr;
    QPushButton* cmdClearList_ = nullptr;
    QLabel* lblNext_ = nullptr;
    QTreeWidget* lvNext_ = nullptr;
    QLabel* panels_[3] = {};
    QLabel* databaseState_ = nullptr;  // "Database unreadable" while the engine runs without it
    QMenu* mnuSysTray_ = nullptr;

    QIcon connectedIcon_;
    QIcon notConnectedIcon_;
    std::unique_ptr<TrayIcon> tray_;
    ExitQuestion question_;
    HelpOpener helpOpener_;
    FolderChooser folderChooser_;
    std::vector<QPointer<QDialog>> openDialogs_;
    QPointer<QDialog> setup_;
    QPointer<QDialog> about_;
    QPointer<QDialog> schedule_;
    QPointer<QDialog> noHelp_;
    // The error boxes on the screen, by caption and text: a repeat opens no second one.
    std::vector<std::pair<QString, QPointer<QDialog>>> errorBoxes_;

    bool restoring_ = false;  // RestoringWindow
    bool asking_ = false;
    bool scrollPending_ = false;
    bool exited_ = false;
};

}  // namespace tarvo
