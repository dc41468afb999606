// The notification-area icon of the main window, kept in a class of its own. The desktop's
// tray is reached through TrayBackend, so the rule "one icon at a time" can be held and
// checked where no tray exists (a server without a desktop, the tests).
#pragma once

#include <functional>
#include <memory>

#include <QIcon>
#include <QObject>
#include <QString>

class QMenu;
class QSystemTrayIcon;

namespace tarvo {

inline const QString kTrayToolTip = QStringLiteral("Tarvo Automation Module");

// The tool tip of the icon for a station title: "Tarvo Automation Module", followed by " - "
// and the title when it is neither empty nor a single blank. The desktop keeps 63 characters.
QString TrayToolTip(const QString& future1);

class TrayBackend {
  public:
    virtual ~TrayBackend() = default;
    // False where the desktop has no notification area.
    virtual bool available() const = 0;
    virtual void show(const QIcon& icon, const QString& toolTip) = 0;
    virtual void setIcon(const QIcon& icon) = 0;
    virtual void hide() = 0;
    virtual void setMenu(QMenu* menu) = 0;
    // Called on a double-click of the icon.
    std::function<void()> onDoubleClick;
};

// The desktop's own notification area.
class SystemTrayBackend : public TrayBackend {
  public:
    SystemTrayBackend();
    ~SystemTrayBackend() override;
    bool available() const override;
    void show(const QIcon& icon, const QString& toolTip) override;
    void setIcon(const QIcon& icon) override;
    void hide() override;
    void setMenu(QMenu* menu) override;

  private:
    QSystemTrayIcon& icon();  // created on first use
    std::unique_ptr<QSystemTrayIcon> icon_;
};

class TrayIcon : public QObject {
    Q_OBJECT
  public:
    explicit TrayIcon(std::unique_ptr<TrayBackend> backend, QObject* parent = nullptr);
    ~TrayIcon() override;

    bool available() const { return backend_->available(); }
    // Adds the icon, or updates the one already shown: never a second icon.
    void show(const QIcon& icon, const QString& toolTip);
    // Keeps the picture up to date, also while the icon is shown.
    void setIcon(const QIcon& icon);
    // Removes the icon; harmless when none is shown.
    void remove();
    bool shown() const { return shown_; }
    QString toolTip() const { return toolTip_; }
    // The pop-up menu of the icon (the window's hidden SysTray menu).
    void setMenu(QMenu* menu);

  signals:
    void doubleClicked();

  private:
    std::unique_ptr<TrayBackend> backend_;
    QIcon icon_;
    QString toolTip_;
    bool shown_ = false;
};

}  // namespace tarvo
