// What the two file layers share: helpers of platform_common.cpp for
// platform_posix.cpp and platform_win.cpp only.
#ifndef IDAPI_ENGINE_PLATFORM_DETAIL_H
#define IDAPI_ENGINE_PLATFORM_DETAIL_H

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "idapi/engine/platform.h"

namespace idapi::engine::detail {

// What every system's file layer does the same way: the clock.
class SystemPlatform : public Platform {
 public:
  CalendarDate todayUtc() override;
};

// One system error code and what it means to the engine.
struct ErrorMeaning {
  uint32_t native;
  OsStatus status;
};

// The meaning of `native` in `table`; OsStatus::Other when the table does not name it.
OsStatus meaningOf(uint32_t native, std::initializer_list<ErrorMeaning> table);

// The engine's code for a temporary file that could not be created, from what the
// system's error meant.
DBIResult createFailureCode(OsStatus status);

// 16 lower-case hex digits for a temporary name, mixed from `entropy` (what the
// system gives: a clock, the process id) and a count that never repeats in this
// process, so that names made one after the other differ in every digit.
std::string uniqueHex(uint64_t entropy);

// True when `text` from `from` on is one or more lower-case hex digits.
bool isLowerHex(const std::string& text, size_t from = 0);

// Makes scratch files of type `Scratch`, each from the same naming rule `Name`.
template <class Scratch, class Name>
class ScratchStoreOf final : public core::ScratchStore {
 public:
  explicit ScratchStoreOf(Name name) : name_(std::move(name)) {}
  std::unique_ptr<core::ScratchFile> create() override { return std::make_unique<Scratch>(name_); }

 private:
  Name name_;
};

}  // namespace idapi::engine::detail

#endif  // IDAPI_ENGINE_PLATFORM_DETAIL_H
