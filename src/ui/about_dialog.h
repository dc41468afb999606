// frmAbout: the connection settings, the link state of both switchers, whether the system clock
// is synchronised, the log file name, the version, and who makes the engine.
#pragma once

#include <QColor>
#include <QDialog>
#include <QWidget>

class QLabel;
class QTimer;

namespace tarvo {

class Engine;

inline const QColor kLampOnline(0, 255, 0);
inline const QColor kLampOffline(224, 224, 224);
inline const QString kNotSpecified = QStringLiteral("Not Specified");

// "Tarvo Automation Engine", a carriage return, then the version.
QString VersionInfoText();

// A round status lamp.
class StatusLamp : public QWidget {
    Q_OBJECT
  public:
    explicit StatusLamp(QWidget* parent = nullptr);
    void setColor(const QColor& c);
    QColor color() const { return color_; }
    QSize sizeHint() const override { return {18, 18}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor color_ = kLampOffline;
};

class AboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(Engine& e, QWidget* parent = nullptr);
    // Fills the values from the engine; runs each time the dialog comes to the front.
    void refresh();
    // The lamps alone, from the engine's state now: every half second while the dialog is shown.
    void refreshLamps();

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;

  private:
    Engine& e_;
    QLabel* lblIPAddr_ = nullptr;
    QLabel* lblTcpPort_ = nullptr;
    QLabel* lblSlaveIPAddr_ = nullptr;
    QLabel* lblSlaveIPPort_ = nullptr;
    QLabel* lblLogFile_ = nullptr;
    QLabel* lblVersionInfo_ = nullptr;
    StatusLamp* shSwitcherStatus_ = nullptr;
    StatusLamp* shSlaveStatus_ = nullptr;
    StatusLamp* shClockStatus_ = nullptr;
    QTimer* lampTimer_ = nullptr;
};

}  // namespace tarvo
