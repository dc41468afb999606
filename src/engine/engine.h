// The one owner of the engine's state. What the automation system treats as program-wide values
// lives here, grouped by module; the procedures (LoadDatabase, ExecuteEvent, ...) are free
// functions that take the Engine they work on.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QString>

#include "store/automation_event.h"
#include "store/settings.h"
#include "switcher/output_map.h"

namespace tarvo {

class Clock;
class StatusView;
class SwitcherLinks;
class PeerPorts;

constexpr int kMaster = 0;
constexpr int kSlave = 1;

enum class TriggerTable { Opto, Crosspoint, Relay };

class Engine {
public:
    // `folder` is the program folder; the database and both logs live there.
    Engine(Clock& clock, StatusView& view, const QString& folder);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    Clock& clock;
    StatusView& view;

    // --- files (AppFolder always ends in the folder separator)
    QString AppFolder;
    QString DatabasePath;
    QString DatabaseFileTime;
    // How long the engine's own writes wait for a lock held by another writer.
    int databaseBusyTimeoutMs = 5000;
    // One-time deletes and skip re-arms that could not be written (the file was locked or
    // missing). They are written at the next chance, and a reload in the meantime applies them
    // to the tables in memory, so an event deleted or re-armed never runs again as before.
    struct PendingUpkeep {
        int16_t number;
        bool remove;  // delete the rows; otherwise set Active = 1
    };
    std::vector<PendingUpkeep> pendingUpkeep;
    // An activity log that cannot be written (disk full, folder not writable) is reported once
    // when it starts failing and once when it works again, with the count of lines it lost in
    // between: a report for every lost line would move the whole activity into the error log,
    // which has no size limit.
    bool activityLogFailing = false;
    int64_t activityLinesLost = 0;

    // --- settings of the Server and Info tables
    EngineSettings settings;

    // --- event tables
    std::vector<AutomationEvent> Events{1};
    int32_t TotalEvents = 0;
    std::vector<AutomationEvent> OptoEvents{1};
    int32_t OptoEventCount = 0;
    std::vector<AutomationEvent> CrosspointEvents{1};
    int32_t CrosspointEventCount = 0;
    std::vector<int16_t> CrosspointTriggerDests{16383};
    std::vector<AutomationEvent> RelayEvents{1};
    int32_t RelayEventCount = 0;
    // --- delayed-event queue (lives for the whole run; a reload does not touch it). The entry's
    // Day and Time are the due day and time; `due` is the due moment itself, which orders the
    // queue across midnight and the turn of the week.
    struct DelayedEvent {
        AutomationEvent event;
        QDateTime due;
    };
    std::vector<DelayedEvent> DelayedEvents;
    int32_t DelayedEventCount = 0;

    // --- scheduler
    int CurrentTime = 0;      // seconds since midnight, whole seconds
    int16_t CurrentDay = 0;   // 0 Monday .. 6 Sunday
    QDate CurrentDate;        // the date of the same sample
    int16_t NextEventIndex = 0;
    int16_t TimerTicks = 0;
    // The runner's hold: until this tick count the due-timed-event step is suspended, so the
    // event just run is not run again within its catch-up window. The rest of the tick runs on.
    bool holdActive = false;
    int32_t holdStart = 0;
    int32_t holdLength = 0;
    bool inTick = false;
    // The timed rows (by Number) the runner decided at the second `decidedAt`: a reload later in
    // that same second chooses the next event afresh and must not choose them again.
    QDateTime decidedAt;
    std::vector<int16_t> decidedNumbers;

    // --- switcher links (index 0 master, 1 slave)
    bool SwitcherConnected = false;
    bool SlaveConnected = false;
    bool SwitcherOnline = false;
    bool SlaveSwitcherOnline = false;
    bool SlaveSocketLoaded = false;
    std::array<QByteArray, 2> RxBuffer;
    std::array<int16_t, 2> NoReplyCount{0, 0};
    std::array<bool, 2> MapReceived{false, false};

    // --- the switcher picture
    std::vector<OutputMap> SwitcherMap{1};
    std::vector<OutputMap> SlaveSwitcherMap{1};
    std::vector<uint8_t> OptoState;
    std::vector<uint8_t> RelayState;

    // --- sockets and the serial port; created on first use
    SwitcherLinks& links();
    PeerPorts& peers();

    // Per-link flags by link index; any other index is a failure.
    bool& connectedFlag(int link);
    bool& onlineFlag(int link);
    std::vector<OutputMap>& mapOf(int link);

    // A triggered runner's table and its count.
    std::vector<AutomationEvent>& triggerTable(TriggerTable t);
    int32_t& triggerCount(TriggerTable t);

private:
    std::unique_ptr<SwitcherLinks> links_;
    std::unique_ptr<PeerPorts> peers_;
};

}  // namespace tarvo
