#include "ui/tray_icon.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace tarvo {

namespace {
// The notification area's tip holds 64 characters with the terminating NUL.
constexpr int kToolTipLength = 63;
}  // namespace

QString TrayToolTip(const QString& future1) {
    QString tip = kTrayToolTip;
    if (!future1.isEmpty() && future1 != QLatin1String(" ")) tip += QStringLiteral(" - ") + future1;
    return tip.left(kToolTipLength);
}

SystemTrayBackend::SystemTrayBackend() = default;
SystemTrayBackend::~SystemTrayBackend() = default;

bool SystemTrayBackend::available() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QSystemTrayIcon& SystemTrayBackend::icon() {
    if (!icon_) {
        icon_ = std::make_unique<QSystemTrayIcon>();
        QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                         [this](QSystemTrayIcon::ActivationReason r) {
                             if (r == QSystemTrayIcon::DoubleClick && onDoubleClick)
                                 onDoubleClick();
                         });
    }
    return *icon_;
}

void SystemTrayBackend::show(const QIcon& picture, const QString& toolTip) {
    icon().setIcon(picture);
    icon().setToolTip(toolTip);
    icon().show();
}

void SystemTrayBackend::setIcon(const QIcon& picture) {
    icon().setIcon(picture);
}

void SystemTrayBackend::hide() {
    if (icon_) icon_->hide();
}

void SystemTrayBackend::setMenu(QMenu* menu) {
    icon().setContextMenu(menu);
}

TrayIcon::TrayIcon(std::unique_ptr<TrayBackend> backend, QObject* parent)
    : QObject(parent), backend_(std::move(backend)) {
    backend_->onDoubleClick = [this] { emit doubleClicked(); };
}

TrayIcon::~TrayIcon() {
    remove();
}

void TrayIcon::show(const QIcon& icon, const QString& toolTip) {
    icon_ = icon;
    toolTip_ = toolTip;
    backend_->show(icon, toolTip);
    shown_ = true;
}

void TrayIcon::setIcon(const QIcon& icon) {
    icon_ = icon;
    if (shown_) backend_->setIcon(icon);
}

void TrayIcon::remove() {
    if (!shown_) return;
    backend_->hide();
    shown_ = false;
}

void TrayIcon::setMenu(QMenu* menu) {
    backend_->setMenu(menu);
}

}  // namespace tarvo
