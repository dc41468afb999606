// What the engine shows. The desktop window, the headless program and the tests each implement
// this; nothing in the engine knows which one it talks to.
#pragma once

#include <QDate>
#include <QString>

namespace tarvo {

enum class LinkIcon { Connected, NotConnected };

// One line of the history or next-event list: columns "Day", "Time of Day", "Title".
struct ListLine {
    QString day;
    QString time;
    QString title;
    bool operator==(const ListLine&) const = default;
};

class StatusView {
public:
    virtual ~StatusView() = default;
    virtual void setCaption(const QString& caption) = 0;
    // Window icon; the tray icon follows it while the window is minimised.
    virtual void setIcon(LinkIcon icon) = 0;
    // Status-bar panel 1 (event count), 2 (date) or 3 (time).
    virtual void setStatusPanel(int panel, const QString& text) = 0;
    // Adds a line to the history list, in red (refused) or black.
    virtual void addHistoryLine(const ListLine& line, bool red) = 0;
    // Replaces the next-event list with this one line.
    virtual void showNextEvent(const ListLine& line) = 0;
    // The local date the next event falls on (invalid when not known): its day name alone reads
    // as this week's.
    virtual void showNextEventDate(const QDate& date) { (void)date; }
    // A modal message box with the error icon.
    virtual void showError(const QString& text, const QString& caption) = 0;
    // Start-up with StartMin: the window goes to the tray.
    virtual void minimise() = 0;
    // A load has replaced the event table (a view of the schedule looks again; a database shown
    // as unreadable is readable again).
    virtual void databaseLoaded() {}
    // A load failed for `reason` (as the error log has it): the engine runs on with the table it
    // had, or with none at start-up, until a load succeeds.
    virtual void databaseUnreadable(const QString& reason) { (void)reason; }
};

// A view that shows nothing: for measurements and fuzzing, where only the engine's work counts.
class QuietView : public StatusView {
public:
    void setCaption(const QString&) override {}
    void setIcon(LinkIcon) override {}
    void setStatusPanel(int, const QString&) override {}
    void addHistoryLine(const ListLine&, bool) override {}
    void showNextEvent(const ListLine&) override {}
    void showError(const QString&, const QString&) override {}
    void minimise() override {}
};

}  // namespace tarvo
