// Bytes of a volume, a disk or a bare MFT, from its first byte: what every
// reader of on-disk structures reads through.
//
// Errors: Read tells a range that reaches past the end of the data
// (kPastEnd, nothing read) apart from one the medium failed to give
// (kFailed); the buffer holds the bytes only on kOk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qst {

enum class ReadStatus { kOk, kPastEnd, kFailed };

class VolumeReader {
 public:
  virtual ~VolumeReader() = default;
  // Fills `buffer` with the `size` bytes at `offset`.
  virtual ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) = 0;
  // How many bytes there are to read.
  virtual std::uint64_t Size() const = 0;
  // Tells the reader that the `size` bytes at `offset` will be read soon, so
  // that it may start fetching them while the caller works on others.
  virtual void Prefetch(std::uint64_t /*offset*/, std::uint64_t /*size*/) {}
  // The `size` bytes at `offset` in place, without a copy, where the reader
  // can show them so and they need not come from the medium; null
  // otherwise (then Read them). Shown until given to Unview.
  virtual const std::uint8_t* View(std::uint64_t /*offset*/, std::size_t /*size*/) {
    return nullptr;
  }
  virtual void Unview(const std::uint8_t* /*view*/, std::size_t /*size*/) {}
  // Of a sparse file: the first offset at or after `offset` that holds
  // data, and the first at or after `offset` where a hole (or the end)
  // starts. Every byte is data where the reader cannot tell.
  virtual std::uint64_t DataFrom(std::uint64_t offset) const { return offset; }
  virtual std::uint64_t HoleFrom(std::uint64_t /*offset*/) const { return Size(); }
  // Whether Read, View and Unview may be called from several threads at once.
  virtual bool ConcurrentReads() const { return false; }

  // Whether all `size` bytes at `offset` were read.
  bool ReadAll(std::uint64_t offset, void* buffer, std::size_t size) {
    return Read(offset, buffer, size) == ReadStatus::kOk;
  }

 protected:
  // Whether `size` bytes at `offset` lie inside `total`, without overflow.
  static bool Inside(std::uint64_t offset, std::size_t size, std::uint64_t total) {
    return offset <= total && size <= total - offset;
  }
};

}  // namespace qst
