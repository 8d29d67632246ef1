#include "app/clock.h"

#include <chrono>

namespace app {

int currentLocalYear() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    return local.tm_year + 1900;
}

}  // namespace app
