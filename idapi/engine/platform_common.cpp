// The parts of the file layer that are the same on every system: which layer is
// installed, the date, the mixing of temporary names and the shape of the error
// tables. The system calls themselves are in platform_posix.cpp and platform_win.cpp.
#include <atomic>
#include <chrono>
#include <cstdio>

#include "idapi/engine/platform.h"
#include "idapi/engine/platform_detail.h"
#include "idapi/engine/tuning.h"

namespace idapi::engine {
namespace {

std::atomic<Platform*> installed{nullptr};

}  // namespace

Platform& platform() {
  Platform* layer = installed.load();
  return layer ? *layer : systemPlatform();
}

Platform* setPlatform(Platform* layer) {
  Platform* previous = installed.exchange(layer);
  return previous ? previous : &systemPlatform();
}

namespace detail {

CalendarDate SystemPlatform::todayUtc() {
  using namespace std::chrono;
  const year_month_day ymd{floor<days>(system_clock::now())};
  return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day()))};
}

OsStatus meaningOf(uint32_t native, std::initializer_list<ErrorMeaning> table) {
  for (const ErrorMeaning& m : table)
    if (m.native == native) return m.status;
  return OsStatus::Other;
}

DBIResult createFailureCode(OsStatus status) {
  switch (status) {
    case OsStatus::NoSpace: return DBIERR_NODISKSPACE;
    case OsStatus::AccessDenied:
    case OsStatus::ReadOnly: return DBIERR_READONLYDIR;
    case OsStatus::BadName: return DBIERR_INVALIDFILENAME;
    default: return DBIERR_WRITEERR;
  }
}

std::string uniqueHex(uint64_t entropy) {
  static std::atomic<uint64_t> counter{0};
  uint64_t value = entropy ^ (0x9E3779B97F4A7C15ull * ++counter);
  value ^= value >> 31;
  value *= 0xBF58476D1CE4E5B9ull;
  value ^= value >> 29;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

bool isLowerHex(const std::string& text, size_t from) {
  return text.size() > from && text.find_first_not_of("0123456789abcdef", from) == std::string::npos;
}

}  // namespace detail
}  // namespace idapi::engine
