// Named values served from the last completed poll cycle.
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "device/DeltaNHNT.h"
#include "record/ServedSignals.h"

namespace
{

// Data older than this, in seconds, is refused as timed out.
constexpr std::int64_t kFreshSeconds = 60;

} // namespace

float DeltaNHNT::Get_Value(unsigned int /*channel*/, const std::string& name) const
{
    if (data_valid_ != 1) {
        throw std::out_of_range("数据未就绪");
    }
    const boost::posix_time::time_duration age =
        boost::posix_time::second_clock::local_time() - last_round_time_;
    // Whole seconds as a 64-bit count (total_seconds() is 32-bit and would
    // wrap for a clock set decades away).  A clock set back gives a negative
    // age, which counts as fresh.
    if (age.is_special() ||
        static_cast<std::int64_t>(age.ticks()) / age.ticks_per_second() > kFreshSeconds) {
        throw std::out_of_range("数据已超时");
    }
    const auto* record = reinterpret_cast<const unsigned char*>(&record_);
    for (const ServedSignal& signal : kServedSignals) {
        if (name == signal.name) {
            if (signal.integer) {
                std::int32_t value = 0;
                std::memcpy(&value, record + signal.offset, sizeof value);
                return static_cast<float>(value);
            }
            float value = 0.0F;
            std::memcpy(&value, record + signal.offset, sizeof value);
            return value;
        }
    }
    throw std::out_of_range("不支持变量");
}
