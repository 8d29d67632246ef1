// Buffered sequential writer over a platform file handle, shared by the POSIX and
// Windows file layers. `WriteAll` writes every byte it is given or throws a
// core::Failure naming the file.
#ifndef IDAPI_ENGINE_BUFFERED_WRITER_H
#define IDAPI_ENGINE_BUFFERED_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace idapi::engine {

template <typename Handle, void (*WriteAll)(Handle, const void*, size_t, const std::string&)>
class BufferedWriter {
 public:
  static constexpr size_t kDefaultSize = 1 << 20;

  // `size` 0: every write goes straight to the file.
  BufferedWriter(Handle handle, std::string path, size_t size = kDefaultSize)
      : handle_(handle), path_(std::move(path)), size_(size) {
    buffer_.reserve(size_);
  }
  void write(const void* data, size_t length) {
    if (buffer_.size() + length > size_) flush();
    if (length >= size_) {
      WriteAll(handle_, data, length, path_);
      written_ += length;
      return;
    }
    auto* in = static_cast<const char*>(data);
    buffer_.insert(buffer_.end(), in, in + length);
    written_ += length;
  }
  void flush() {
    if (!buffer_.empty()) WriteAll(handle_, buffer_.data(), buffer_.size(), path_);
    buffer_.clear();
  }
  // Flushes and gives the buffer's memory back (a finished scratch run keeps none).
  void release() {
    flush();
    std::vector<char>().swap(buffer_);
  }
  uint64_t written() const { return written_; }

 private:
  Handle handle_;
  std::string path_;
  size_t size_;
  std::vector<char> buffer_;
  uint64_t written_ = 0;
};

}  // namespace idapi::engine

#endif  // IDAPI_ENGINE_BUFFERED_WRITER_H
