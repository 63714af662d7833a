#pragma once
// Which logged events a reader answers, and in what order.
//
// Every condition given must hold. Events come oldest first, by LogDate and LogTime,
// then in the order they were written; with a limit, only the newest `limit` of the
// matching events, still oldest first.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "recordkit/reader/logged_event.h"

namespace recordkit {

struct EventFilter {
  // Bounds on when the event was logged, "YYYY-MM-DD HH:MM:SS", both inclusive.
  std::optional<std::string> since;
  std::optional<std::string> until;
  std::optional<std::string> appName;   // AppName is exactly this text
  std::optional<std::string> userName;  // UserName is exactly this text
  std::optional<int64_t> severity;      // Severity is this number
  // Description or AddlText holds this text; case counts.
  std::optional<std::string> grep;
  std::optional<size_t> limit;
};

// Whether `event` meets every condition of `filter` (the limit aside).
bool Matches(const EventFilter& filter, const LoggedEvent& event);

// A bound for `since` or `until`: a date YYYY-MM-DD (its first second for a lower
// bound, its last for an upper one), a date and time YYYY-MM-DDTHH:MM:SS (or with a
// blank for the T), or an age before `now` (a date value, local time): a whole
// number followed by s, m, h or d. Nullopt for anything else.
std::optional<std::string> ParseTimeBound(const std::string& text, double now, bool upper);

}  // namespace recordkit
