#include "probe/ntfs/name-store.h"

#include <type_traits>

#include "probe/ntfs/mft-record.h"

namespace qst {

template <typename Block>
bool NameStore::Room(std::vector<Block>* blocks, std::size_t length) {
  if (!blocks->empty() && blocks->back().size() + length <= kTextBlock) return true;
  if (blocks->size() >= kMaxBlocks) return false;
  blocks->emplace_back();
  blocks->back().reserve(kTextBlock);
  return true;
}

std::uint32_t NameStore::Add(std::uint64_t record, const FileNameValue& value, std::uint32_t next) {
  if (value.length == 0 || names_.size() >= kNone) return kNone;
  // UTF-16LE: a unit below 0x100 has a zero high byte.
  bool wide = false;
  for (std::uint8_t i = 0; i < value.length; ++i) wide |= value.name[2 * i + 1] != 0;
  if (wide ? !Room(&wide_, value.length) : !Room(&narrow_, value.length)) return kNone;
  Name n;
  n.record = static_cast<std::uint32_t>(record);
  std::uint64_t parent = RecordNumber(value.parent);
  n.parent = parent < kNone ? static_cast<std::uint32_t>(parent) : kNone;
  n.parent_sequence = SequenceNumber(value.parent);
  n.space = value.space;
  n.length = value.length;
  n.next = next;
  if (wide) {
    std::u16string& block = wide_.back();
    n.text =
        kWide | static_cast<std::uint32_t>((wide_.size() - 1) << kTextBlockBits | block.size());
    for (std::uint8_t i = 0; i < value.length; ++i) block.push_back(value.Unit(i));
  } else {
    std::string& block = narrow_.back();
    const std::size_t at = block.size();
    n.text = static_cast<std::uint32_t>((narrow_.size() - 1) << kTextBlockBits | at);
    block.resize(at + value.length);
    for (std::uint8_t i = 0; i < value.length; ++i)
      block[at + i] = static_cast<char>(value.name[2 * i]);
  }
  if (keep_times_) times_.push_back(value.times);
  names_.push_back(n);
  return static_cast<std::uint32_t>(names_.size() - 1);
}

std::u16string_view NameStore::Text(std::uint32_t name, Buffer& buffer) const {
  return Visit(name, [&](auto text) -> std::u16string_view {
    if constexpr (std::is_same_v<decltype(text), std::u16string_view>) {
      return text;
    } else {
      for (std::size_t i = 0; i < text.size(); ++i) buffer[i] = static_cast<unsigned char>(text[i]);
      return std::u16string_view(buffer.data(), text.size());
    }
  });
}

bool NameStore::TimesOf(std::uint32_t name, NtfsTimes* times) const {
  if (name >= times_.size()) return false;
  *times = times_[name];
  return true;
}

}  // namespace qst
