#include "halx/ttime.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

ttime_t get_ttime(boost::posix_time::ptime t)
{
    ttime_t stamp{};
    if (t.is_special()) {
        return stamp;
    }
    const boost::gregorian::date d = t.date();
    const boost::posix_time::time_duration tod = t.time_of_day();
    const auto year = static_cast<unsigned int>(d.year());
    stamp[0] = static_cast<std::uint8_t>(year & 0xFFU);
    stamp[1] = static_cast<std::uint8_t>(year >> 8U);
    stamp[2] = static_cast<std::uint8_t>(d.month().as_number());
    stamp[3] = static_cast<std::uint8_t>(d.day().as_number());
    stamp[4] = static_cast<std::uint8_t>(tod.hours());
    stamp[5] = static_cast<std::uint8_t>(tod.minutes());
    stamp[6] = static_cast<std::uint8_t>(tod.seconds());
    return stamp;
}
