#include "store/automation_event.h"

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

}  // namespace tarvo
