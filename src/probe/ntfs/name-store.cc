#include "probe/ntfs/name-store.h"

#include "probe/ntfs/mft-record.h"

namespace qst {

std::uint32_t NameStore::Add(std::uint64_t record, const FileNameValue& value, std::uint32_t next) {
  if (value.length == 0 || names_.size() >= kNone) return kNone;
  if (text_.empty() || text_.back().size() + value.length > kTextBlock) {
    if (text_.size() >= (std::uint64_t{kNone} >> kTextBlockBits)) return kNone;
    text_.emplace_back();
    text_.back().reserve(kTextBlock);
  }
  Name n;
  n.record = static_cast<std::uint32_t>(record);
  std::uint64_t parent = RecordNumber(value.parent);
  n.parent = parent < kNone ? static_cast<std::uint32_t>(parent) : kNone;
  n.parent_sequence = SequenceNumber(value.parent);
  n.space = value.space;
  n.length = value.length;
  n.next = next;
  std::u16string& block = text_.back();
  n.text = static_cast<std::uint32_t>((text_.size() - 1) << kTextBlockBits | block.size());
  for (std::uint8_t i = 0; i < value.length; ++i) block.push_back(value.Unit(i));
  if (keep_times_) times_.push_back(value.times);
  names_.push_back(n);
  return static_cast<std::uint32_t>(names_.size() - 1);
}

std::u16string_view NameStore::Text(std::uint32_t name) const {
  const Name& n = names_[name];
  return std::u16string_view(text_[n.text >> kTextBlockBits])
      .substr(n.text & (kTextBlock - 1), n.length);
}

bool NameStore::TimesOf(std::uint32_t name, NtfsTimes* times) const {
  if (name >= times_.size()) return false;
  *times = times_[name];
  return true;
}

}  // namespace qst
