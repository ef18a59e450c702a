#include "probe/ntfs/damage.h"

#include <algorithm>
#include <cstdio>

namespace qst {
namespace {

// Lost records named one by one in the summary; the rest are counted.
constexpr std::size_t kMaxLostListed = 4096;

std::string ByteCount(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

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

void LostRecords::Note(std::uint64_t record) {
  if (first_.size() < kMaxLostListed) first_.push_back(record);
  ++count_;
}

void LostRecords::Sort() { std::sort(first_.begin(), first_.end()); }

void LostRecords::Clear() {
  first_.clear();
  count_ = 0;
}

std::string DescribeDamage(std::string_view image, const VolumeDamage& damage) {
  std::vector<std::string> parts;
  if (damage.mft_guessed) parts.push_back("MFT run list unreadable, MFT read on from its start");
  if (damage.lost_count != 0)
    parts.push_back(std::to_string(damage.lost_count) +
                    (damage.lost_count == 1 ? " MFT record" : " MFT records") + " unreadable (" +
                    Ranges(damage.lost, damage.lost_count > damage.lost.size()) + ")");
  if (damage.missing_bytes != 0)
    parts.push_back("image ends " + ByteCount(damage.missing_bytes) + " before its volume");
  if (parts.empty()) return {};
  std::string line = "qst: " + std::string(image) + ": ";
  for (std::size_t i = 0; i < parts.size(); ++i) line += (i ? ", " : "") + parts[i];
  return line + "\n";
}

}  // namespace qst
