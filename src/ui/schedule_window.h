// frmSchedule: what the engine's table will do in the coming week, as tarvo-engined --preview
// prints it: the timed events in the order they are decided, then the triggered events by their
// trigger. A window beside the main one, not modal; it looks again whenever a load replaces the
// table, and on Refresh.
#pragma once

#include <QDialog>

class QLabel;
class QTreeWidget;

namespace tarvo {

class Engine;

constexpr int kScheduleWindowDays = 7;

class ScheduleWindow : public QDialog {
    Q_OBJECT
  public:
    explicit ScheduleWindow(Engine& e, QWidget* parent = nullptr);
    // The preview of the engine's table from its clock's now.
    void refresh();

  private:
    Engine& e_;
    QLabel* lblRange_ = nullptr;
    QTreeWidget* lvTimed_ = nullptr;
    QTreeWidget* lvTriggered_ = nullptr;
};

}  // namespace tarvo
