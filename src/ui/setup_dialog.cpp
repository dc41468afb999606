#include "ui/setup_dialog.h"

#include <algorithm>

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "engine/engine.h"

namespace tarvo {

namespace {

constexpr int kTextColumnLength = 255;  // Info.Future1 is Text(255)

QLabel* label(const char* name, const QString& text, QWidget* buddy, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setBuddy(buddy);
    return l;
}

template <typename W>
W* named(W* w, const char* name) {
    w->setObjectName(QLatin1String(name));
    return w;
}

// The number at the start of the box (the box holds digits, perhaps after a minus sign).
long long boxNumber(const QString& text) {
    bool ok = false;
    const long long v = text.toLongLong(&ok);
    return ok ? v : 0;
}

}  // namespace

void OpenFolderChooser(QWidget* parent, const QString& prompt, const QString& start,
                       std::function<void(const QString&)> chosen) {
    auto* dialog = new QFileDialog(parent, prompt, start.trimmed());
    dialog->setObjectName(QStringLiteral("FolderChooser"));
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    QObject::connect(dialog, &QDialog::finished, dialog,
                     [dialog, chosen = std::move(chosen)](int result) {
                         const QStringList files = dialog->selectedFiles();
                         chosen(result == QDialog::Accepted && !files.isEmpty() ? files.first() : QString());
                     });
    dialog->open();
}

SetupDialog::SetupDialog(Engine& e, QWidget* parent) : QDialog(parent), e_(e) {
    setObjectName(QStringLiteral("frmSetup"));
    setWindowTitle(QStringLiteral("Setup"));
    chooser_ = OpenFolderChooser;

    chkMinimize_ = named(new QCheckBox(QStringLiteral("&Minimize on Startup"), this), "chkMinimize");
    chkArchive_ = named(new QCheckBox(QStringLiteral("&Archive Log"), this), "chkArchive");
    txtMaxSize_ = named(new QLineEdit(this), "txtMaxSize");
    // Typed keys are filtered below; the validator keeps pasted text to digits as well.
    txtMaxSize_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("-?[0-9]{0,9}")), txtMaxSize_));
    txtMaxSize_->installEventFilter(this);
    txtMaxSize_->setMaximumWidth(110);
    txtTitle_ = named(new QLineEdit(this), "txtTitle");
    txtTitle_->setMaxLength(kTextColumnLength);
    txtTaskView_ = named(new QLineEdit(this), "txtTaskView");
    cmdBrowse_ = named(new QPushButton(QStringLiteral("&Browse"), this), "cmdBrowse");
    cmdOk_ = named(new QPushButton(QStringLiteral("&OK"), this), "cmdOk");
    cmdOk_->setDefault(true);
    cmdCancel_ = named(new QPushButton(QStringLiteral("&Cancel"), this), "cmdCancel");

    auto* grid = new QGridLayout;
    grid->addWidget(chkMinimize_, 0, 0, 1, 2);
    grid->addWidget(chkArchive_, 1, 0, 1, 2);
    auto* size = new QHBoxLayout;
    size->addWidget(label("lblMaxSize", QStringLiteral("Max Size"), txtMaxSize_, this));
    size->addWidget(txtMaxSize_);
    size->addStretch(1);
    grid->addLayout(size, 1, 2);
    grid->addWidget(label("lblTitle", QStringLiteral("Automation Engine Title"), txtTitle_, this),
                    2, 0, 1, 3);
    grid->addWidget(txtTitle_, 3, 0, 1, 3);
    grid->addWidget(
        label("lblTaskViewer", QStringLiteral("Automation Task Viewer Path"), txtTaskView_, this),
        4, 0, 1, 3);
    auto* path = new QHBoxLayout;
    path->addWidget(txtTaskView_, 1);
    path->addWidget(cmdBrowse_);
    grid->addLayout(path, 5, 0, 1, 3);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOk_);
    buttons->addWidget(cmdCancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    resize(460, sizeHint().height());

    connect(cmdBrowse_, &QPushButton::clicked, this, &SetupDialog::browse);
    connect(cmdOk_, &QPushButton::clicked, this, &SetupDialog::store);
    connect(cmdCancel_, &QPushButton::clicked, this, &QDialog::reject);
    load();
}

void SetupDialog::load() {
    const EngineSettings& s = e_.settings;
    chkMinimize_->setChecked(s.StartMin);
    chkArchive_->setChecked(s.ArchiveTally);
    txtTaskView_->setText(s.TaskViewDB);
    txtMaxSize_->setText(QString::number(s.MaxTallyFile));
    txtTitle_->setText(s.Future1);
}

void SetupDialog::browse() {
    // A cancelled chooser empties the box, which OK stores as "no copy". The answer may come
    // after the dialog has gone (an exit while the chooser is open): then it is dropped.
    chooser_(this, kBrowsePrompt, txtTaskView_->text(), [box = QPointer<QLineEdit>(txtTaskView_)](const QString& path) {
        if (box) box->setText(path);
    });
}

bool SetupDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched != txtMaxSize_ || event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    const auto* key = static_cast<const QKeyEvent*>(event);
    const QString text = key->text();
    const bool digit =
        text.size() == 1 && text[0] >= QLatin1Char('0') && text[0] <= QLatin1Char('9');
    const bool backspace = key->key() == Qt::Key_Backspace;
    if (digit || backspace) {
        if (boxNumber(txtMaxSize_->text()) > kMaxSizeResetAbove) {
            txtMaxSize_->setText(QString::number(e_.settings.MaxTallyFile));
            txtMaxSize_->end(false);
        }
        return false;  // the key then applies to the box as it is now
    }
    // Any other typed character is swallowed; keys that type nothing (arrows, Delete, Tab,
    // Enter, Escape, shortcuts) keep their usual meaning.
    return !text.isEmpty() && text[0].isPrint();
}

void SetupDialog::store() {
    if (txtTaskView_->text().isEmpty()) txtTaskView_->setText(QStringLiteral(" "));
    EngineSettings edited = e_.settings;
    edited.TaskViewDB = txtTaskView_->text();
    edited.StartMin = chkMinimize_->isChecked();
    edited.ArchiveTally = chkArchive_->isChecked();
    edited.Future1 = txtTitle_->text().isEmpty() ? QStringLiteral(" ") : txtTitle_->text();
    // Takes effect at once; runs in progress find their rows again by themselves.
    if (!StoreSetup(e_, edited, txtMaxSize_->text())) return;  // reported; the dialog stays open
    accept();
}

}  // namespace tarvo
