// A volume held in memory, for MFT files read whole, tests and fuzzing.
#pragma once

#include <cstring>
#include <string_view>

#include "probe/ntfs/ntfs-volume.h"

namespace qst {

class MemoryVolumeReader : public VolumeReader {
 public:
  // `bytes` must outlive the reader.
  explicit MemoryVolumeReader(std::string_view bytes) : bytes_(bytes) {}
  bool Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size != 0) std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
  }
  const std::uint8_t* View(std::uint64_t offset, std::size_t size) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return nullptr;
    return reinterpret_cast<const std::uint8_t*>(bytes_.data()) + offset;
  }
  std::uint64_t Size() const override { return bytes_.size(); }

 private:
  std::string_view bytes_;
};

}  // namespace qst
