#pragma once

#include <optional>

#include <QString>

namespace tarvo {

class Engine;

inline const QString kDatabaseFileName = QStringLiteral("TarvoAutomation.mdb");
constexpr int kMaxEvents = 32767;

// Reads the whole automation database into the engine: settings, the event table in running
// order, the triggered-event lists, the caption and the event count.
void LoadDatabase(Engine& e);

// Checks and normalises a dotted IPv4 address text; empty when it is not one.
std::optional<QString> ValidateAddress(const QString& text);

// Puts the event table in running order: Day, then Time (as text), then Priority, then Delay,
// leaving rows that tie on all four in the order the classic exchange passes leave them.
void SortEvents(Engine& e);

// The caption for a station title.
QString CaptionFor(const QString& future1);
QString TotalEventsText(long long count);

}  // namespace tarvo
