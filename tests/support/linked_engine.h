// The engine library linked into a host test, found by the names the launcher binds:
// the one list of exports (idapi/exports.h) maps each name to the linked function.
#pragma once

#include <map>
#include <string>

#include "idapi/dbi.h"

namespace testsupport {

inline void* engineFunction(const std::string& name) {
  static const std::map<std::string, void*> table = {
#define IDAPI_EXPORT(name, argumentBytes) {#name, reinterpret_cast<void*>(&name)},
#include "idapi/exports.h"
  };
  const auto it = table.find(name);
  return it == table.end() ? nullptr : it->second;
}

}  // namespace testsupport
