// The user's regional formats for what the window shows: the thousands separator handed to the
// engine, and dates on the status line.
#pragma once

#include <QString>
#include <ctime>

namespace vontal {

// The locale's group separator as one ASCII character: space-like separators (no-break and
// narrow no-break spaces) become a blank, anything else that is not ASCII becomes a comma.
char LocaleThousandsSeparator();
// Date and time in the short date format and the long time format without the time zone.
QString LocaleDateTimeText(std::time_t t);
// Date alone in the short date format.
QString LocaleDateText(std::time_t t);

}  // namespace vontal
