// Sequential reading of a table's records in large chunks.
#ifndef IDAPI_CORE_RECORDS_H
#define IDAPI_CORE_RECORDS_H

#include <cstdint>
#include <vector>

#include "idapi/core/core.h"

namespace idapi::core {

// Reads records 1..recordCount in order. The header must come from readTableHeader,
// which has already checked that every record lies inside the file.
class RecordReader {
 public:
  RecordReader(const TableHeader& table, const ByteSource& dbf, size_t bufferBytes = 1u << 20);

  // The next record's bytes (recordLength of them, deletion flag first), or nullptr
  // after the last one. The pointer stays valid until the next call.
  const uint8_t* next();
  // Number (1-based) of the record last returned by next().
  uint32_t recordNumber() const { return current_; }

 private:
  const TableHeader& table_;
  const ByteSource& dbf_;
  std::vector<uint8_t> buffer_;
  uint32_t perChunk_ = 1;
  uint32_t chunkFirst_ = 1;  // record number of buffer_[0]
  uint32_t chunkCount_ = 0;  // records held in buffer_
  uint32_t current_ = 0;
};

}  // namespace idapi::core

#endif  // IDAPI_CORE_RECORDS_H
