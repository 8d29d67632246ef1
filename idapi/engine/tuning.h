// Settings of the engine that programs linking the static library may change (tests,
// benchmarks). Not exported from the shared library.
#ifndef IDAPI_ENGINE_TUNING_H
#define IDAPI_ENGINE_TUNING_H

#include <cstddef>

namespace idapi::engine {

// Bytes of keys a rebuild keeps in memory before it spills sorted runs to scratch
// files in the table's folder (default 64 MiB). Returns the previous value.
size_t setRebuildMemoryBudget(size_t bytes);

}  // namespace idapi::engine

#endif  // IDAPI_ENGINE_TUNING_H
