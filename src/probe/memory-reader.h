// A volume held in memory, for MFT files read whole, tests and fuzzing.
#pragma once

#include <cstring>
#include <string_view>

#include "probe/volume-reader.h"

namespace qst {

class MemoryVolumeReader : public VolumeReader {
 public:
  // `bytes` must outlive the reader.
  explicit MemoryVolumeReader(std::string_view bytes) : bytes_(bytes) {}
  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (!Inside(offset, size, bytes_.size())) return ReadStatus::kPastEnd;
    if (size != 0) std::memcpy(buffer, bytes_.data() + offset, size);
    return ReadStatus::kOk;
  }
  const std::uint8_t* View(std::uint64_t offset, std::size_t size) override {
    if (!Inside(offset, size, bytes_.size())) return nullptr;
    return reinterpret_cast<const std::uint8_t*>(bytes_.data()) + offset;
  }
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ConcurrentReads() const override { return true; }

 private:
  std::string_view bytes_;
};

}  // namespace qst
