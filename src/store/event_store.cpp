#include "store/event_store.h"

#include <algorithm>

#include "logs/failure.h"
#include "store/engine_record.h"

namespace tarvo {

void EventStore::writeRows(int16_t number, bool remove) {
    const bool unchangedSinceLoad = FileTimeIfExists(DatabasePath) == DatabaseFileTime;
    {
        Database db(DatabasePath, busyTimeoutMs);
        db.useRollbackJournal();
        Transaction t(db);
        Statement st(db, remove ? QStringLiteral("DELETE FROM Automation WHERE [Number] = ?1")
                                : QStringLiteral("UPDATE Automation SET Active = 1 WHERE [Number] = ?1"));
        st.bind(1, static_cast<int64_t>(number));
        st.run();
        t.commit();
    }
    if (unchangedSinceLoad) DatabaseFileTime = FileTimeText(DatabasePath);
}

void EventStore::changeRows(int16_t number, bool remove) {
    try {
        writeRows(number, remove);
    } catch (const TarvoError&) {
        pending.push_back({number, remove});
        if (record) record->setOwed(pending);
        throw;
    }
}

void EventStore::retryPending() {
    std::vector<PendingRowChange> still;
    for (const PendingRowChange& p : pending) {
        try {
            writeRows(p.number, p.remove);
        } catch (const TarvoError&) {
            still.push_back(p);  // reported when it first failed; tried again at the next check
        }
    }
    const bool changed = still.size() != pending.size();
    pending = std::move(still);
    if (changed && record) record->setOwed(pending);
}

void EventStore::applyPending(std::vector<AutomationEvent>& rows) const {
    for (int16_t number : awaitingDelete)
        std::erase_if(rows, [&](const AutomationEvent& ev) { return ev.Number == number; });
    for (const PendingRowChange& p : pending) {
        if (p.remove) {
            std::erase_if(rows, [&](const AutomationEvent& ev) { return ev.Number == p.number; });
        } else {
            for (AutomationEvent& ev : rows)
                if (ev.Number == p.number) ev.Active = kActive;
        }
    }
}

}  // namespace tarvo
