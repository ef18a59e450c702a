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
  bool mft_guessed = false;            // record 0's run list was lost: MFT read from its start
  bool mirror_used = false;            // record 0 unusable: $MFTMirr's copy read instead
  std::uint64_t missing_bytes = 0;     // how far the image ends before its volume
  std::uint64_t records_past_end = 0;  // MFT records beyond the image's end
  // Records read in part: an attribute walk that stopped on damage, or an
  // extension record that its base's attribute list does not name.
  std::vector<std::uint64_t> damaged;
  std::uint64_t damaged_count = 0;
  // Names whose parent reference fails (not a folder, another sequence, the
  // file itself), listed where a folder's index holds them or as orphans.
  std::uint64_t misplaced = 0;
  // Folders that were their own ancestors, each cycle listed as an orphan.
  std::uint64_t cycles = 0;
  // $UpCase was read but is no table NTFS makes: the built-in one is used.
  bool upcase_unusable = false;
  // Folders whose $I30 index, read to place names their records could not,
  // broke off: the names past the break stay unplaced.
  std::uint64_t indexes_in_part = 0;
  // The made-up folder of orphans, when the root holds a real "$Orphan".
  std::string orphan_folder;
};

// The records lost (or damaged) while a volume is read, each noted once by
// its reader.
class LostRecords {
 public:
  void Note(std::uint64_t record) { records_.push_back(record); }
  // Puts the records in order, once all are noted.
  void Sort();
  void Clear() { records_.clear(); }
  bool Contains(std::uint64_t record) const;
  std::uint64_t count() const { return records_.size(); }
  // The first few, in order, as the summary names them.
  std::vector<std::uint64_t> first() const;

 private:
  std::vector<std::uint64_t> records_;
};

// The line that tells what of `image` could not be read ("qst: IMG: 3 MFT
// records unreadable (28-29, 35), image ends 1.2 MiB before its volume"),
// and what was worked around, with its line break; empty when nothing was.
std::string DescribeDamage(std::string_view image, const VolumeDamage& damage);

}  // namespace qst
