// Whether a TZ value is a POSIX rule, by Howard Hinnant's parser of them
// (date/ptz.h), which says so by throwing: this file alone is built with
// exceptions, and none leaves it.

#include <date/ptz.h>

#include <exception>
#include <string>

#include "evt-replay/replay.h"

// "EST5EDT", "<+0530>-5:30", "ABC5DEF,0,365": std offset [dst [offset] [,start[/time],end[/time]]].
bool IsPosixRule(std::string_view rule)
{
    try {
        Posix::time_zone zone{std::string(rule)};
        (void)zone;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
