#include "store/automation_event.h"

#include <QStringList>

namespace tarvo {

Text DayNameOf(int day) {
    // Shared by every row of a day: a full table holds thousands of them.
    static const Text kNames[] = {QStringLiteral("Monday"),    QStringLiteral("Tuesday"),
                                  QStringLiteral("Wedensday"), QStringLiteral("Thursday"),
                                  QStringLiteral("Friday"),    QStringLiteral("Saturday"),
                                  QStringLiteral("Sunday"),    QStringLiteral("None")};
    // A negative day never matches a weekday; it is shown like a day of "None".
    if (day < 0 || day > 6) return kNames[7];
    return kNames[day];
}

namespace {
// Joins the texts; no column holds it (a control character a tool does not type).
constexpr QChar kKeptSeparator = QChar(0x1f);
}  // namespace

KeptTexts SplitKept(const Text& kept) {
    KeptTexts t;
    if (kept.isEmpty()) return t;
    const QStringList parts = kept.toString().split(kKeptSeparator);
    QString* fields[] = {&t.Days, &t.Future1, &t.Future2, &t.Future3, &t.Future4, &t.Future5};
    for (qsizetype i = 0; i < parts.size() && i < 6; ++i) *fields[i] = parts[i];
    return t;
}

Text JoinKept(const KeptTexts& t) {
    const QString* fields[] = {&t.Days, &t.Future1, &t.Future2, &t.Future3, &t.Future4, &t.Future5};
    bool any = false;
    for (const QString* f : fields) any = any || !f->isEmpty();
    if (!any) return Text();
    QString joined;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) joined += kKeptSeparator;
        joined += *fields[i];
    }
    return joined;
}

}  // namespace tarvo
