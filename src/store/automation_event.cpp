#include "store/automation_event.h"

namespace tarvo {

QString DayNameOf(int day) {
    static const char* const kNames[] = {"Monday",   "Tuesday",  "Wedensday", "Thursday",
                                         "Friday",   "Saturday", "Sunday"};
    // A negative day never matches a weekday; it is shown like a day of "None".
    if (day < 0 || day > 6) return QStringLiteral("None");
    return QString::fromLatin1(kNames[day]);
}

}  // namespace tarvo
