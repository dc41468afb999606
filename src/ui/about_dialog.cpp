#include "ui/about_dialog.h"

#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "engine/engine.h"
#include "logs/logs.h"
#include "ui/icons.h"
#include "ui/main_window.h"

namespace tarvo {

namespace {

const QString kMakerName = QStringLiteral("Tarvo Broadcast Systems Oy");
const QString kMakerAddress = QStringLiteral("Hameentie 19\n00500 Helsinki, Finland");
const QString kMakerTelephone = QStringLiteral("Telephone +358 9 4242 1250");
const QString kMakerWeb = QStringLiteral("https://www.tarvo.example");

QLabel* valueLabel(const char* name, QWidget* parent) {
    auto* l = new QLabel(kNotSpecified, parent);
    l->setObjectName(QLatin1String(name));
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
}

}  // namespace

QString VersionInfoText() {
    return kProductName + QChar(13) + kVersionText;
}

StatusLamp::StatusLamp(QWidget* parent) : QWidget(parent) {
    setFixedSize(sizeHint());
}

void StatusLamp::setColor(const QColor& c) {
    color_ = c;
    update();
}

void StatusLamp::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(96, 96, 96), 1));
    p.setBrush(color_);
    p.drawEllipse(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
}

AboutDialog::AboutDialog(Engine& e, QWidget* parent) : QDialog(parent), e_(e) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("Tarvo Automation Engine Information"));

    // Who makes it.
    auto* logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("imgLogo"));
    logo->setPixmap(MakerLogo(64));
    auto* maker = new QLabel(
        QStringLiteral("<b>%1</b><br>%2<br>%3<br><a href=\"%4\">%4</a>")
            .arg(kMakerName,
                 QString(kMakerAddress).replace(QLatin1Char('\n'), QStringLiteral("<br>")),
                 kMakerTelephone, kMakerWeb),
        this);
    maker->setObjectName(QStringLiteral("lblMaker"));
    maker->setOpenExternalLinks(true);
    auto* head = new QHBoxLayout;
    head->addWidget(logo, 0, Qt::AlignTop);
    head->addSpacing(8);
    head->addWidget(maker, 1);

    // Setup information.
    auto* setupInfo = new QGroupBox(QStringLiteral("Setup Information"), this);
    setupInfo->setObjectName(QStringLiteral("frmSetupInfo"));
    lblIPAddr_ = valueLabel("lblIPAddr", setupInfo);
    lblTcpPort_ = valueLabel("lblTcpPort", setupInfo);
    lblSlaveIPAddr_ = valueLabel("lblSlaveIPAddr", setupInfo);
    lblSlaveIPPort_ = valueLabel("lblSlaveIPPort", setupInfo);
    lblLogFile_ = valueLabel("lblLogFile", setupInfo);
    shSwitcherStatus_ = new StatusLamp(setupInfo);
    shSwitcherStatus_->setObjectName(QStringLiteral("shSwitcherStatus"));
    shSwitcherStatus_->setToolTip(QStringLiteral("Switcher"));
    shSlaveStatus_ = new StatusLamp(setupInfo);
    shSlaveStatus_->setObjectName(QStringLiteral("shSlaveStatus"));
    shSlaveStatus_->setToolTip(QStringLiteral("Slave Switcher"));
    shClockStatus_ = new StatusLamp(setupInfo);
    shClockStatus_->setObjectName(QStringLiteral("shClockStatus"));
    shClockStatus_->setToolTip(QStringLiteral("Clock Synchronised"));
    auto* grid = new QGridLayout(setupInfo);
    grid->addWidget(new QLabel(QStringLiteral("Server IP Address"), setupInfo), 0, 0);
    grid->addWidget(lblIPAddr_, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("TCP/IP Port :"), setupInfo), 0, 2);
    grid->addWidget(lblTcpPort_, 0, 3);
    grid->addWidget(shSwitcherStatus_, 0, 4);
    grid->addWidget(new QLabel(QStringLiteral("Slave IP Address"), setupInfo), 1, 0);
    grid->addWidget(lblSlaveIPAddr_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Slave IP Port :"), setupInfo), 1, 2);
    grid->addWidget(lblSlaveIPPort_, 1, 3);
    grid->addWidget(shSlaveStatus_, 1, 4);
    grid->addWidget(new QLabel(QStringLiteral("Log File:"), setupInfo), 2, 0);
    grid->addWidget(lblLogFile_, 2, 1, 1, 4);
    grid->addWidget(new QLabel(QStringLiteral("Clock Synchronised"), setupInfo), 3, 0);
    grid->addWidget(shClockStatus_, 3, 1, Qt::AlignLeft);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    // Version information.
    auto* versionInfo = new QGroupBox(QStringLiteral("Version Information"), this);
    versionInfo->setObjectName(QStringLiteral("frmVersionInfo"));
    lblVersionInfo_ = new QLabel(versionInfo);
    lblVersionInfo_->setObjectName(QStringLiteral("lblVersionInfo"));
    lblVersionInfo_->setTextFormat(Qt::PlainText);
    auto* versionLayout = new QVBoxLayout(versionInfo);
    versionLayout->addWidget(lblVersionInfo_);

    auto* quit = new QPushButton(QStringLiteral("&Ok"), this);
    quit->setObjectName(QStringLiteral("cmdAboutquit"));
    quit->setDefault(true);
    connect(quit, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(quit);

    // A link lost or back while the dialog is open shows at once, not at its next activation.
    lampTimer_ = new QTimer(this);
    lampTimer_->setInterval(500);
    connect(lampTimer_, &QTimer::timeout, this, &AboutDialog::refreshLamps);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(head);
    layout->addWidget(setupInfo);
    layout->addWidget(versionInfo);
    layout->addLayout(buttons);
}

namespace {

// A setting as the label shows it. A link that is up on another address or port than the
// settings (a load whose table was empty takes new settings but leaves the link where it is)
// says so: the operator sees where the engine is actually connected.
QString withInUse(const QString& setting, const QString& inUse, bool connected) {
    if (!connected || inUse == setting) return setting;
    return setting + QStringLiteral(" (in use: ") + inUse + QLatin1Char(')');
}

}  // namespace

void AboutDialog::refresh() {
    const EngineSettings& s = e_.settings;
    const SwitcherLink& master = e_.switcher.master();
    const SwitcherLink& slave = e_.switcher.slave();
    lblIPAddr_->setText(withInUse(s.IPAddr, master.address, master.Connected));
    lblTcpPort_->setText(QStringLiteral("Port ") + withInUse(QString::number(s.IPPort),
                                                             QString::number(master.port),
                                                             master.Connected));
    lblSlaveIPAddr_->setText(withInUse(s.SlaveIPAddr, slave.address, slave.Connected));
    lblSlaveIPPort_->setText(QStringLiteral("Port ") + withInUse(QString::number(s.SlaveIPPort),
                                                                 QString::number(slave.port),
                                                                 slave.Connected));
    lblLogFile_->setText(kActivityLogName);
    lblVersionInfo_->setText(ShownText(VersionInfoText()));
    refreshLamps();
}

void AboutDialog::refreshLamps() {
    shSwitcherStatus_->setColor(e_.switcher.master().Online ? kLampOnline : kLampOffline);
    shSlaveStatus_->setColor(e_.switcher.slave().Online ? kLampOnline : kLampOffline);
    // Lit only when the kernel says so: unknown is not good news.
    shClockStatus_->setColor(e_.clockWatch.state() == ClockSync::Synchronised ? kLampOnline : kLampOffline);
}

void AboutDialog::showEvent(QShowEvent* event) {
    refresh();
    lampTimer_->start();
    QDialog::showEvent(event);
}

void AboutDialog::hideEvent(QHideEvent* event) {
    lampTimer_->stop();
    QDialog::hideEvent(event);
}

bool AboutDialog::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) refresh();
    return QDialog::event(event);
}

}  // namespace tarvo
