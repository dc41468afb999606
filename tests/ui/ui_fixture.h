// A main window on a manual clock in a temporary program folder, with a notification area that
// records what the window does with it.
#pragma once

#include <memory>

#include <functional>

#include <QApplication>
#include <QDeadlineTimer>
#include <QMenu>
#include <QTreeWidget>

#include "engine/engine.h"
#include "support/test_support.h"
#include "ui/main_window.h"
#include "ui/tray_icon.h"

namespace tarvo::test {

// The desktop's notification area as the tests see it: how many of our icons it shows.
struct TrayState {
    bool available = true;
    int icons = 0;
    int added = 0;
    QString toolTip;
    qint64 iconKey = 0;
    QMenu* menu = nullptr;
    TrayBackend* backend = nullptr;
    void doubleClick() const { backend->onDoubleClick(); }
};

class FakeTray : public TrayBackend {
  public:
    explicit FakeTray(std::shared_ptr<TrayState> s) : s_(std::move(s)) { s_->backend = this; }
    bool available() const override { return s_->available; }
    void show(const QIcon& icon, const QString& toolTip) override {
        if (s_->icons == 0) {
            ++s_->icons;
            ++s_->added;
        }
        s_->toolTip = toolTip;
        s_->iconKey = icon.cacheKey();
    }
    void setIcon(const QIcon& icon) override { s_->iconKey = icon.cacheKey(); }
    void hide() override { s_->icons = 0; }
    void setMenu(QMenu* menu) override { s_->menu = menu; }

  private:
    std::shared_ptr<TrayState> s_;
};

struct WindowHarness {
    WindowHarness() : clock(WeekMoment(0, 9, 0)) {
        window = std::make_unique<MainWindow>(std::make_unique<FakeTray>(tray));
        engine = std::make_unique<Engine>(clock, *window, folder.path());
        window->attach(*engine, nullptr);
    }
    ~WindowHarness() {
        engine.reset();
        window.reset();
    }
    Engine& e() { return *engine; }
    template <typename T>
    T* find(const char* name) {
        return window->findChild<T*>(QLatin1String(name));
    }
    QAction* action(const char* name) { return window->findChild<QAction*>(QLatin1String(name)); }

    Folder folder;
    ManualClock clock;
    std::shared_ptr<TrayState> tray = std::make_shared<TrayState>();
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<Engine> engine;
};

inline void processEvents() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
}

// Lets the loop turn until `condition` holds; the deadline only ends a test that would hang.
inline bool waitUntil(const std::function<bool()>& condition, int ms = 15000) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace tarvo::test
