// The eras of a host's alternative calendar, found by asking the host to
// format dates. Windows publishes era names and year offsets in forms that
// differ from calendar to calendar; formatting a date is the one question
// every era calendar answers the same way.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "text/DateRules.h"

namespace qelmor::platform {

// Formats `date` with a date picture ("gg", "g", "yyyy") in the host's
// alternative calendar; empty when the host cannot format that date.
using EraFormatter = std::function<std::string(const CalendarDate& date, const char* picture)>;

// Walks back from `today` through at most `maxEras` eras and returns them
// oldest first, each with its first day. An era that begins before the
// host can format dates keeps the first of January of its first year.
std::vector<Era> FindEras(const CalendarDate& today, const EraFormatter& format, int maxEras);

}  // namespace qelmor::platform
