#include "engine/console_view.h"

#include "base/text.h"

namespace tarvo {

void ConsoleView::print(const QString& text) {
    const QByteArray bytes = VisibleControls(text).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

QString ConsoleView::formatLine(const ListLine& line) {
    return line.day + QStringLiteral(" | ") + line.time + QStringLiteral(" | ") + line.title;
}

// The switcher's every ping answer sets the caption again; only a change is worth a line.
void ConsoleView::setCaption(const QString& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    print(QStringLiteral("caption: ") + caption);
}

void ConsoleView::setIcon(LinkIcon icon) {
    const QString text =
        icon == LinkIcon::Connected ? QStringLiteral("icon: connected") : QStringLiteral("icon: not connected");
    if (text == icon_) return;
    icon_ = text;
    print(text);
}

void ConsoleView::setStatusPanel(int panel, const QString& text) {
    if (panel < 1 || panel > 2 || panels_[panel] == text) return;
    panels_[panel] = text;
    print(QStringLiteral("status %1: ").arg(panel) + text);
}

void ConsoleView::addHistoryLine(const ListLine& line, bool red) {
    print((red ? QStringLiteral("history (red): ") : QStringLiteral("history: ")) + formatLine(line));
}

void ConsoleView::showNextEvent(const ListLine& line) { print(QStringLiteral("next: ") + formatLine(line)); }

void ConsoleView::showError(const QString& text, const QString& caption) {
    print(QStringLiteral("message box [") + caption + QStringLiteral("]: ") + text);
}

void ConsoleView::minimise() { print(QStringLiteral("minimised to the tray")); }

}  // namespace tarvo
