// The names of a volume's files, as their $FILE_NAME attributes (or, where
// records were lost, their folders' index entries) give them: millions of
// them, kept compact (a name whose units all lie below 0x100, as most do, in
// a byte a unit). Each name is numbered in the order it was added, and the
// numbers never change.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "probe/ntfs/attribute-values.h"

namespace qst {

class NameStore {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  // Kept small: a volume holds millions.
  struct Name {
    std::uint32_t record;
    std::uint32_t parent;  // kNone when beyond the records
    std::uint32_t next;    // next name of the same record
    std::uint32_t text;    // kWide | block << kTextBlockBits | offset
    std::uint16_t parent_sequence;
    std::uint8_t length;
    std::uint8_t space;  // NameSpace
  };

  explicit NameStore(bool keep_times) : keep_times_(keep_times) {}

  // Adds `value` as a name of `record`, chained before `next`; returns its
  // number, or kNone when it has no text or no more can be held.
  std::uint32_t Add(std::uint64_t record, const FileNameValue& value, std::uint32_t next);

  std::size_t size() const { return names_.size(); }
  const Name& operator[](std::uint32_t name) const { return names_[name]; }
  std::uint64_t RecordOf(std::uint32_t name) const { return names_[name].record; }
  // Room for the longest name.
  using Buffer = std::array<char16_t, 255>;
  // The name's text; one kept a byte a unit is widened into `buffer`.
  std::u16string_view Text(std::uint32_t name, Buffer& buffer) const;
  // Calls `visit` with the name's text as it is kept, and returns what it
  // returns: a std::string_view whose bytes are the units (all below
  // 0x100), or a std::u16string_view.
  template <typename Visitor>
  decltype(auto) Visit(std::uint32_t name, Visitor&& visit) const {
    const Name& n = names_[name];
    const std::size_t block = (n.text & ~kWide) >> kTextBlockBits;
    const std::size_t offset = n.text & (kTextBlock - 1);
    if (n.text & kWide) return visit(std::u16string_view(wide_[block]).substr(offset, n.length));
    return visit(std::string_view(narrow_[block]).substr(offset, n.length));
  }
  // The $FILE_NAME times of a name; false unless they were kept.
  bool TimesOf(std::uint32_t name, NtfsTimes* times) const;
  void Reserve(std::size_t names) { names_.reserve(names); }

 private:
  static constexpr int kTextBlockBits = 20;
  static constexpr std::size_t kTextBlock = std::size_t{1} << kTextBlockBits;
  static constexpr std::uint32_t kWide = 0x80000000;
  static constexpr std::size_t kMaxBlocks = kWide >> kTextBlockBits;

  template <typename Block>
  static bool Room(std::vector<Block>* blocks, std::size_t length);

  bool keep_times_;
  std::vector<Name> names_;
  // Names are kept in blocks that never move, so that holding millions
  // costs no copies while they grow: a byte a unit where every unit lies
  // below 0x100, else two.
  std::vector<std::string> narrow_;
  std::vector<std::u16string> wide_;
  std::vector<NtfsTimes> times_;  // by name, when kept
};

}  // namespace qst
