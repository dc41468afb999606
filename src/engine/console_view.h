// The window of the headless program: every text the window would show, one line each on
// standard output (a caption or icon only when it changes), flushed at once so that a service manager's log shows it immediately.
#pragma once

#include <cstdio>

#include "base/status_view.h"

namespace tarvo {

class ConsoleView : public StatusView {
public:
    explicit ConsoleView(std::FILE* out = stdout) : out_(out) {}
    void setCaption(const QString& caption) override;
    void setIcon(LinkIcon icon) override;
    // Panel 3 (the clock) is not printed: every line of a service log carries the time already.
    void setStatusPanel(int panel, const QString& text) override;
    void addHistoryLine(const ListLine& line, bool red) override;
    void showNextEvent(const ListLine& line) override;
    void showError(const QString& text, const QString& caption) override;
    void minimise() override;

    static QString formatLine(const ListLine& line);

private:
    void print(const QString& text);
    std::FILE* out_;
    QString panels_[4];
    QString caption_;
    QString icon_;
};

}  // namespace tarvo
