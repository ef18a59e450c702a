#include "probe/ntfs/damage.h"

#include <algorithm>
#include <cstdio>

#include "util/text.h"

namespace qst {
namespace {

// Lost records named one by one in the summary; the rest are counted.
constexpr std::size_t kMaxLostListed = 4096;

// "28-31, 35": runs of consecutive numbers, the first few of them.
std::string Ranges(const std::vector<std::uint64_t>& numbers, bool more) {
  constexpr int kShown = 10;
  std::string text;
  int shown = 0;
  for (std::size_t i = 0; i < numbers.size();) {
    std::size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    if (shown++ == kShown) {
      more = true;
      break;
    }
    if (!text.empty()) text += ", ";
    text += std::to_string(numbers[i]);
    if (j > i) text += "-" + std::to_string(numbers[j]);
    i = j + 1;
  }
  if (more) text += ", ...";
  return text;
}

}  // namespace

void LostRecords::Sort() {
  std::sort(records_.begin(), records_.end());
  records_.erase(std::unique(records_.begin(), records_.end()), records_.end());
}

bool LostRecords::Contains(std::uint64_t record) const {
  return std::binary_search(records_.begin(), records_.end(), record);
}

std::vector<std::uint64_t> LostRecords::first() const {
  return {records_.begin(), records_.begin() + std::min(records_.size(), kMaxLostListed)};
}

std::string DescribeDamage(std::string_view image, const VolumeDamage& damage) {
  std::vector<std::string> parts;
  auto count = [](std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + (n == 1 ? one : many);
  };
  if (damage.mirror_used) parts.push_back("MFT record 0 unusable, its copy in $MFTMirr read");
  if (damage.mft_guessed) parts.push_back("MFT run list unreadable, MFT read on from its start");
  if (damage.lost_count != 0)
    parts.push_back(count(damage.lost_count, " MFT record", " MFT records") + " unreadable (" +
                    Ranges(damage.lost, damage.lost_count > damage.lost.size()) + ")");
  if (damage.damaged_count != 0)
    parts.push_back(count(damage.damaged_count, " MFT record", " MFT records") + " read in part (" +
                    Ranges(damage.damaged, damage.damaged_count > damage.damaged.size()) + ")");
  if (damage.upcase_unusable) parts.push_back("$UpCase unusable, the built-in table used");
  if (damage.indexes_in_part != 0)
    parts.push_back(count(damage.indexes_in_part, " folder index", " folder indexes") +
                    " read in part while placing names");
  if (damage.misplaced != 0)
    parts.push_back(count(damage.misplaced, " name", " names") +
                    " with a parent reference that fails");
  if (damage.cycles != 0)
    parts.push_back(count(damage.cycles, " folder cycle", " folder cycles") + " broken");
  if (!damage.orphan_folder.empty())
    parts.push_back("the root holds a $Orphan, orphans listed in " + damage.orphan_folder);
  if (damage.missing_bytes != 0) {
    std::string part = "image ends " + ByteCount(damage.missing_bytes) + " before its volume";
    if (damage.records_past_end != 0)
      part += ", " + count(damage.records_past_end, " MFT record", " MFT records") + " beyond it";
    parts.push_back(part);
  }
  if (parts.empty()) return {};
  std::string line = "qst: " + std::string(image) + ": ";
  for (std::size_t i = 0; i < parts.size(); ++i) line += (i ? ", " : "") + parts[i];
  return line + "\n";
}

}  // namespace qst
