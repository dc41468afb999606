// frmSetup: edits the engine settings kept in the database (start minimised, activity-log
// archiving and size limit, the station title, the folder of the task-view copy) and writes
// them back.
#pragma once

#include <functional>

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace tarvo {

class Engine;

inline const QString kBrowsePrompt = QStringLiteral(
    "Select the location to save Copy of Automation Database.  Automation Task View will use this "
    "File.");
// Typing into a Max Size above this first puts the stored limit back in the box.
constexpr int kMaxSizeResetAbove = 100000;

// The desktop's folder chooser as a window-modal dialog of `parent` (opened with open()); it is
// a child of `parent`, so it goes with it.
void OpenFolderChooser(QWidget* parent, const QString& prompt, const QString& start,
                       std::function<void(const QString&)> chosen);

class SetupDialog : public QDialog {
    Q_OBJECT
  public:
    // The operating system's folder chooser, opened without waiting for it: `chosen` is called
    // once it is answered, with an empty path when it was cancelled.
    using FolderChooser = std::function<void(QWidget* parent, const QString& prompt, const QString& start,
                                             std::function<void(const QString&)> chosen)>;

    explicit SetupDialog(Engine& e, QWidget* parent = nullptr);
    void setFolderChooser(FolderChooser chooser) { chooser_ = std::move(chooser); }

    void browse();  // cmdBrowse
    // cmdOk: takes the settings over, stores them and closes; on a failure to store the dialog
    // stays open.
    void store();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void load();

    Engine& e_;
    FolderChooser chooser_;
    QCheckBox* chkMinimize_ = nullptr;
    QCheckBox* chkArchive_ = nullptr;
    QLineEdit* txtMaxSize_ = nullptr;
    QLineEdit* txtTitle_ = nullptr;
    QLineEdit* txtTaskView_ = nullptr;
    QPushButton* cmdBrowse_ = nullptr;
    QPushButton* cmdOk_ = nullptr;
    QPushButton* cmdCancel_ = nullptr;
};

}  // namespace tarvo
