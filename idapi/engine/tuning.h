// Settings of the engine that programs linking the static library may change (tests,
// benchmarks). Not exported from the shared library.
#ifndef IDAPI_ENGINE_TUNING_H
#define IDAPI_ENGINE_TUNING_H

#include <cstddef>

namespace idapi::engine {

// Bytes of keys a rebuild keeps in memory before it spills sorted runs to scratch
// files in the table's folder (default 64 MiB). Returns the previous value.
size_t setRebuildMemoryBudget(size_t bytes);

class Platform;
// Installs the file layer the engine uses from now on (nullptr: the system's own, see
// platform.h); returns the one used until now. A test installs a layer that wraps the
// system's to inject faults; only call it while no table is open.
Platform* setPlatform(Platform* layer);

}  // namespace idapi::engine

#endif  // IDAPI_ENGINE_TUNING_H
