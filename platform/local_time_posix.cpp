#include <ctime>

#include "platform/clock.h"

namespace platform {

LocalTime local_time_now() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    if (localtime_r(&now, &t) == nullptr) return {};
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

}  // namespace platform
