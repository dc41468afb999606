// frmSchedule: what the engine's table will do in the coming week, as tarvo-engined --preview
// prints it: the timed events in the order they are decided, grouped by day, then the triggered
// events by their trigger; beside each row what tarvo-engined --check finds wrong with it. A
// window beside the main one, not modal; it looks again whenever a load replaces the table, and
// on Refresh; what has passed since is greyed as the clock goes on.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QTimer;
class QTreeWidget;

namespace tarvo {

class Engine;

constexpr int kScheduleWindowDays = 7;
// The widest a column grows to fit its content; the last one takes the rest of the window.
constexpr int kScheduleColumnMax = 360;

class ScheduleWindow : public QDialog {
    Q_OBJECT
  public:
    explicit ScheduleWindow(Engine& e, QWidget* parent = nullptr);
    // The preview of the engine's table from its clock's now, and the check of its rows.
    void refresh();
    // Greys the timed rows whose moment the engine's clock has passed.
    void markPassed();
    // Shows only the rows with `text` in one of their columns (or in their trigger).
    void filter(const QString& text);

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    Engine& e_;
    QLabel* lblRange_ = nullptr;
    QLineEdit* txtFilter_ = nullptr;
    QTreeWidget* lvTimed_ = nullptr;
    QTreeWidget* lvTriggered_ = nullptr;
    QTimer* passing_ = nullptr;
};

}  // namespace tarvo
