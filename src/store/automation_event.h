// One row of the Automation table in memory. A plain value: every list holds copies.
#pragma once

#include <cstdint>

#include <QString>

#include "base/text.h"

namespace tarvo {

// Event kinds (column Type).
enum EventType : int16_t {
    kTimed = 0,
    kOptoOn = 1,
    kOptoOff = 2,
    kCrosspointTrigger = 3,
    kRelayOn = 4,
    kRelayOff = 5,
};

// Active column.
enum ActiveState : int16_t { kInactive = 0, kActive = 1, kSkipNext = 2, kRunOnce = 3 };

inline const QString kNotOnTheClock = QStringLiteral("24:00:00");

// The fields are the table's columns (read in the column order, see the loader); here they are
// grouped by size so that a full table of 32767 rows wastes no padding.
struct AutomationEvent {
    Text DayName;  // from Day when read; a delayed copy keeps its row's
    Text Time;
    Text Title;
    Text FileName;
    Text Message;
    Text Method, MIPAddress;
    // Not a column: the number columns whose stored value is no number in their range ("Day holds
    // 'Wednesday'"), each read as 0; empty for a sound row.
    Text Unreadable;
    // The columns kept for the editing tool that the engine never reads (Days, Future1 to
    // Future5), joined by KeptTexts; empty when all of them are. Not part of a delayed copy.
    Text Kept;
    // Not a column: which row read from the file this is. Every copy of the row (in Events, in
    // a trigger table, in a run) carries the same id, and no two rows read share one, so a run
    // finds its own entry again exactly, whatever moved meanwhile.
    uint32_t id = 0;
    int32_t MIPPort = 0;
    int32_t MBaudRate = 0;
    int32_t Color = 0;
    int16_t Number = 0;
    int16_t Day = 0;
    int16_t Delay = 0;
    int16_t SourceChan = 0, DestChan = 0, ReqSource = 0, ReqDest = 0, ReqSource2 = 0,
            ReqDest2 = 0, ReqOpto = 0, ReqRelay = 0, ReqOpto2 = 0, ReqRelay2 = 0, ssSource = 0,
            ssDeviceID = 0, Active = 0, Relay = 0, Opto = 0, rcRelay = 0, rcOpto = 0,
            OptoOut = 0, Salvo = 0, VChan = 0, Gain = 0, xcontrol = 0, rcontrol = 0,
            scontrol = 0, vcontrol = 0, ocontrol = 0, rccontrol = 0, sscontrol = 0, Type = 0,
            Priority = 0, Condition = 0, Condition2 = 0, OptoCondition = 0, RelayCondition = 0,
            OptoCondition2 = 0, RelayCondition2 = 0;
    int16_t FileType = 0, FileChannel1 = 0, Template = 0;
    int16_t mcontrol = 0, mtype = 0;
    int16_t TriggerSource = 0, TriggerDest = 0, tControl = 0, Option = 0;
    uint8_t FFrame = 0, FSlot = 0;
    uint8_t MFrame = 0, MSlot = 0, MPort = 0, MCommPort = 0;
};

// The texts of Kept, one by one (Null and empty are the same here).
struct KeptTexts {
    QString Days, Future1, Future2, Future3, Future4, Future5;
    bool operator==(const KeptTexts&) const = default;
};
KeptTexts SplitKept(const Text& kept);
Text JoinKept(const KeptTexts& texts);

// Days 0 (Monday) to 6 (Sunday); 7 is "None" and anything else never matches a weekday.
inline bool IsWeekday(int day) { return day >= 0 && day <= 6; }

// "Wedensday" is spelled so: it is the text operators have always seen in the lists and logs.
Text DayNameOf(int day);

}  // namespace tarvo
