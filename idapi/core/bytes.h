// Little-endian field access over byte buffers, and in-memory byte sources and sinks.
//
// Every multi-byte integer in the table and index files is little-endian. The
// readers here take a span and an offset and refuse to read past the span's end, so
// a length or offset that came from a file can never move a read out of bounds.
#ifndef IDAPI_CORE_BYTES_H
#define IDAPI_CORE_BYTES_H

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "idapi/core/core.h"

namespace idapi::core {

using Bytes = std::span<const uint8_t>;

// Thrown by the checked readers below; callers turn it into their own Failure.
struct OutOfBounds {};

inline void requireRange(Bytes b, size_t offset, size_t length) {
  if (offset > b.size() || length > b.size() - offset) throw OutOfBounds{};
}

inline uint16_t u16At(Bytes b, size_t offset) {
  requireRange(b, offset, 2);
  return static_cast<uint16_t>(b[offset] | (b[offset + 1] << 8));
}

inline uint32_t u32At(Bytes b, size_t offset) {
  requireRange(b, offset, 4);
  return static_cast<uint32_t>(b[offset]) | (static_cast<uint32_t>(b[offset + 1]) << 8) |
         (static_cast<uint32_t>(b[offset + 2]) << 16) | (static_cast<uint32_t>(b[offset + 3]) << 24);
}

// Text of at most `maxLength` bytes starting at `offset`, up to the first NUL.
// `terminated` tells whether a NUL was found inside that range.
inline std::string cStringAt(Bytes b, size_t offset, size_t maxLength, bool* terminated = nullptr) {
  requireRange(b, offset, maxLength);
  const uint8_t* p = b.data() + offset;
  const void* nul = std::memchr(p, 0, maxLength);
  size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : maxLength;
  if (terminated) *terminated = nul != nullptr;
  return std::string(reinterpret_cast<const char*>(p), n);
}

inline void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void putU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// A ByteSource over bytes held in memory (tests, fuzzing, small files).
class MemorySource : public ByteSource {
 public:
  MemorySource() = default;
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    if (offset > bytes_.size() || length > bytes_.size() - offset)
      throw Failure(DBIERR_READERR, "read beyond the end of the data");
    if (length) std::memcpy(buffer, bytes_.data() + offset, length);
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// A ByteSink collecting everything in memory.
class VectorSink : public ByteSink {
 public:
  void write(const void* data, size_t length) override {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + length);
  }
  std::vector<uint8_t> bytes;
};

// Scratch files kept in memory; counts how many were made (tests of the spill path).
class MemoryScratchStore : public ScratchStore {
 public:
  class File : public ScratchFile {
   public:
    explicit File(MemoryScratchStore& store) : store_(store) {
      if (++store_.live > store_.peak) store_.peak = store_.live;
    }
    ~File() override { --store_.live; }
    void write(const void* data, size_t length) override {
      const auto* p = static_cast<const uint8_t*>(data);
      bytes_.insert(bytes_.end(), p, p + length);
    }
    uint64_t size() const override { return bytes_.size(); }
    void readAt(uint64_t offset, void* buffer, size_t length) const override {
      if (offset > bytes_.size() || length > bytes_.size() - offset)
        throw Failure(DBIERR_READERR, "read beyond the end of a scratch file");
      if (length) std::memcpy(buffer, bytes_.data() + offset, length);
    }

   private:
    MemoryScratchStore& store_;
    std::vector<uint8_t> bytes_;
  };

  std::unique_ptr<ScratchFile> create() override {
    ++created;
    return std::make_unique<File>(*this);
  }
  int created = 0;
  int live = 0;
  int peak = 0;  // most files alive at once
};

}  // namespace idapi::core

#endif  // IDAPI_CORE_BYTES_H
