// What of a volume could not be read: MFT records lost (unreadable,
// damaged, or in use without their times), an MFT whose run list was lost,
// and an image that ends before its volume. Told once, at the end of a run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qst {

struct VolumeDamage {
  // The first of the MFT records that could not be read or were damaged (in
  // order); `lost_count` counts all.
  std::vector<std::uint64_t> lost;
  std::uint64_t lost_count = 0;
  bool mft_guessed = false;         // record 0's run list was lost: MFT read from its start
  std::uint64_t missing_bytes = 0;  // how far the image ends before its volume
};

// The records lost while a volume is read, each noted once by its reader.
class LostRecords {
 public:
  void Note(std::uint64_t record);
  // Puts the records named in order, once all are noted.
  void Sort();
  void Clear();
  std::uint64_t count() const { return count_; }
  const std::vector<std::uint64_t>& first() const { return first_; }

 private:
  std::vector<std::uint64_t> first_;
  std::uint64_t count_ = 0;
};

// The line that tells what of `image` could not be read ("qst: IMG: 3 MFT
// records unreadable (28-29, 35), image ends 1.2 MiB before its volume"),
// with its line break; empty when nothing was lost.
std::string DescribeDamage(std::string_view image, const VolumeDamage& damage);

}  // namespace qst
