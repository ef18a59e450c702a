#include "probe/witnesses/usn/usn-journal.h"

#include <algorithm>
#include <cstdio>

#include "probe/le.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::size_t kLength = 0x00;
constexpr std::size_t kMajor = 0x04;
constexpr std::size_t kMinor = 0x06;
constexpr std::size_t kFile = 0x08;
constexpr std::size_t kV2Header = 0x3C;
constexpr std::size_t kV3Header = 0x4C;
constexpr std::size_t kV4Header = 0x40;
constexpr std::size_t kV4Extent = 16;
constexpr std::size_t kAlign = 8;
constexpr std::size_t kReadPiece = 1u << 20;

// The fields from the USN on, at their offsets in V2 or V3.
struct Offsets {
  std::size_t parent, usn, time, reason, source, security, attributes, name_length, name_offset;
};
constexpr Offsets kV2 = {0x10, 0x18, 0x20, 0x28, 0x2C, 0x30, 0x34, 0x38, 0x3A};
constexpr Offsets kV3 = {0x18, 0x28, 0x30, 0x38, 0x3C, 0x40, 0x44, 0x48, 0x4A};
// V4 has no time, attributes, security ID or name; its extents follow.
struct V4Offsets {
  std::size_t parent, usn, reason, source, extents;
};
constexpr V4Offsets kV4 = {0x18, 0x28, 0x30, 0x34, 0x3C};

constexpr std::pair<std::uint32_t, const char*> kReasonNames[] = {
    {0x00000001, "Data overwrite"},
    {0x00000002, "Data extend"},
    {0x00000004, "Data truncation"},
    {0x00000010, "Named data overwrite"},
    {0x00000020, "Named data extend"},
    {0x00000040, "Named data truncation"},
    {0x00000100, "File create"},
    {0x00000200, "File delete"},
    {0x00000400, "EA change"},
    {0x00000800, "Security change"},
    {0x00001000, "Rename: old name"},
    {0x00002000, "Rename: new name"},
    {0x00004000, "Indexable change"},
    {0x00008000, "Basic info change"},
    {0x00010000, "Hard link change"},
    {0x00020000, "Compression change"},
    {0x00040000, "Encryption change"},
    {0x00080000, "Object ID change"},
    {0x00100000, "Reparse point change"},
    {0x00200000, "Stream change"},
    {0x00400000, "Transacted change"},
    {0x00800000, "Integrity change"},
    {0x80000000, "Close"},
};

}  // namespace

std::vector<std::string> UsnReasonNames(std::uint32_t reason) {
  std::vector<std::string> names;
  for (int bit = 0; bit < 32; ++bit) {
    std::uint32_t flag = std::uint32_t{1} << bit;
    if ((reason & flag) == 0) continue;
    auto known = std::find_if(std::begin(kReasonNames), std::end(kReasonNames),
                              [&](const auto& n) { return n.first == flag; });
    if (known != std::end(kReasonNames)) {
      names.emplace_back(known->second);
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08x", flag);
      names.emplace_back(hex);
    }
  }
  return names;
}

std::string UsnReasonText(std::uint32_t reason) {
  std::string text;
  for (const std::string& name : UsnReasonNames(reason))
    text.append(text.empty() ? "" : ", ").append(name);
  return text;
}

std::size_t DecodeUsnRecord(const std::uint8_t* data, std::size_t available, UsnRecord* out) {
  if (available < kV4Header) return 0;
  std::uint32_t length = LoadLe32(data + kLength);
  std::uint16_t major = LoadLe16(data + kMajor);
  std::size_t header = major == 2 ? kV2Header : major == 3 ? kV3Header : major == 4 ? kV4Header : 0;
  // Windows writes minor version 0 of each, the name right after the
  // header and the record no longer than its name needs: anything else is
  // not a record (a stretch of other bytes that happens to start like one).
  if (header == 0 || LoadLe16(data + kMinor) != 0 || length < header || length % kAlign != 0 ||
      length > available)
    return 0;
  const Offsets& o = major == 2 ? kV2 : kV3;
  std::size_t name_length = 0, name_offset = 0;
  if (major == 4) {
    if (kV4Header + std::size_t{LoadLe16(data + kV4.extents)} * kV4Extent > length) return 0;
  } else {
    name_length = LoadLe16(data + o.name_length);
    name_offset = LoadLe16(data + o.name_offset);
    if (name_length % 2 != 0 || name_length == 0 || name_offset != header ||
        length != (name_offset + name_length + kAlign - 1) / kAlign * kAlign)
      return 0;
  }
  // Filled in place: a reader that reuses `*out` reuses its name's buffer.
  UsnRecord& r = *out;
  r.major = major;
  r.minor = LoadLe16(data + kMinor);
  r.file = LoadLe64(data + kFile);
  r.name.clear();
  if (major == 4) {
    r.parent = LoadLe64(data + kV4.parent);
    r.usn = LoadLe64(data + kV4.usn);
    r.has_time = false;
    r.time = 0;
    r.reason = LoadLe32(data + kV4.reason);
    r.source_info = LoadLe32(data + kV4.source);
    r.security_id = r.attributes = 0;
    return length;
  }
  r.parent = LoadLe64(data + o.parent);
  r.usn = LoadLe64(data + o.usn);
  r.has_time = true;
  r.time = LoadLe64(data + o.time);
  r.reason = LoadLe32(data + o.reason);
  r.source_info = LoadLe32(data + o.source);
  r.security_id = LoadLe32(data + o.security);
  r.attributes = LoadLe32(data + o.attributes);
  r.name.resize(name_length / 2);
  for (std::size_t i = 0; i < r.name.size(); ++i) r.name[i] = LoadLe16(data + name_offset + 2 * i);
  return length;
}

std::uint64_t ForEachUsnRecord(const std::uint8_t* data, std::size_t size,
                               const std::function<void(const UsnRecord&)>& visit) {
  std::uint64_t damaged = 0;
  UsnRecord record;
  for (std::size_t page = 0; page < size; page += kUsnPage) {
    const std::size_t end = std::min(size, page + kUsnPage);
    bool in_damage = false;
    for (std::size_t pos = page; pos + 8 <= end;) {
      if (LoadLe32(data + pos) == 0 && LoadLe32(data + pos + 4) == 0) {
        // Padding, or the start of an unused page: the page ends here unless
        // a record follows after damage.
        if (!in_damage) break;
        pos += kAlign;
        continue;
      }
      std::size_t length = DecodeUsnRecord(data + pos, end - pos, &record);
      if (length == 0) {
        damaged += !in_damage;
        in_damage = true;
        pos += kAlign;
        continue;
      }
      in_damage = false;
      visit(record);
      pos += length;
    }
  }
  return damaged;
}

std::uint64_t ReadUsnJournal(VolumeReader& reader, const Runs& listed, std::uint64_t size,
                             const std::function<void(const UsnRecord&)>& visit, bool* read) {
  bool overlapped = false;
  const Runs runs = DistinctClusters(listed, &overlapped);
  *read = !overlapped;
  // The stream is read as one, whatever its runs: the pages that hold some
  // data (a run may start inside a page where clusters are under 4 KiB),
  // each from its start, the sparse ones passed over.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pages;  // [from, to) of the stream
  std::uint64_t pos = 0;
  for (const auto& [start, length] : runs) {
    if (pos >= size) break;
    const std::uint64_t held = std::min(length, size - pos);
    if (start != kSparse && held != 0) {
      const std::uint64_t from = pos / kUsnPage * kUsnPage;
      const std::uint64_t end = pos + held;
      const std::uint64_t to = std::min(end + (kUsnPage - end % kUsnPage) % kUsnPage, size);
      if (!pages.empty() && from <= pages.back().second)
        pages.back().second = std::max(pages.back().second, to);
      else
        pages.emplace_back(from, to);
    }
    pos += held;
  }
  std::uint64_t damaged = 0;
  std::vector<std::uint8_t> piece;
  for (const auto& [from, to] : pages) {
    for (std::uint64_t at = from; at < to;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(to - at, kReadPiece));
      piece.resize(n);
      const ReadStatus status = ReadThroughRuns(reader, runs, at, piece.data(), n);
      if (status == ReadStatus::kOk) {
        damaged += ForEachUsnRecord(piece.data(), n, visit);
      } else {
        *read = false;
        if (status == ReadStatus::kPastEnd) break;
      }
      at += n;
    }
  }
  return damaged;
}

bool LooksLikeUsnJournal(VolumeReader& reader) {
  // The first MiB of its data, page by page from the first page that holds
  // any: a journal's pages start with records, or are zeros.
  constexpr std::size_t kLook = 1 << 20;
  const std::uint64_t size = reader.Size();
  const std::uint64_t start = std::min(reader.DataFrom(0), size) / kUsnPage * kUsnPage;
  std::vector<std::uint8_t> bytes(
      static_cast<std::size_t>(std::min<std::uint64_t>(kLook, size - start)));
  if (bytes.empty()) return true;
  if (!reader.ReadAll(start, bytes.data(), bytes.size())) return true;  // said when it is read
  if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; })) return true;
  std::uint64_t records = 0;
  ForEachUsnRecord(bytes.data(), bytes.size(), [&records](const UsnRecord&) { ++records; });
  return records != 0;
}

std::uint64_t ReadUsnStream(VolumeReader& reader,
                            const std::function<void(const UsnRecord&)>& visit, bool* read) {
  const std::uint64_t size = reader.Size();
  // A sparse file's holes are passed over unread, as a journal's sparse
  // runs are: each stretch of data widened to whole pages (the file
  // system's blocks may be smaller), the whole pages between left out.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> data;  // [start, end)
  for (std::uint64_t pos = 0; pos < size;) {
    const std::uint64_t start = std::max(reader.DataFrom(pos), pos);
    if (start >= size) break;
    std::uint64_t end = std::min(reader.HoleFrom(start), size);
    if (end <= start) end = size;
    const std::uint64_t from = start / kUsnPage * kUsnPage;
    const std::uint64_t to = std::min(end + (kUsnPage - end % kUsnPage) % kUsnPage, size);
    if (!data.empty() && from <= data.back().second)
      data.back().second = std::max(data.back().second, to);
    else
      data.emplace_back(from, to);
    pos = to;
  }
  Runs runs;
  std::uint64_t at = 0;
  for (const auto& [from, to] : data) {
    if (from > at) runs.emplace_back(kSparse, from - at);
    runs.emplace_back(from, to - from);
    at = to;
  }
  if (at < size) runs.emplace_back(kSparse, size - at);
  return ReadUsnJournal(reader, runs, size, visit, read);
}

void UsnJournalIndex::Add(const UsnRecord& r) {
  ++records_;
  File& f = files_[r.file];
  ++f.records;
  if (!r.has_time) return;
  if (has_times_ && previous_ > r.time && previous_ - r.time > kClockJitter) {
    if (steps_.size() < kMaxClockSteps)
      steps_.push_back({Witness::kUsn, r.usn, previous_, r.time});
    else
      ++more_steps_;
  }
  previous_ = r.time;
  if (!has_times_ || r.time < first_) first_ = r.time;
  if (!has_times_ || r.time > last_) last_ = r.time;
  has_times_ = true;
  if (keep_events_) f.events.emplace_back(r.time, r.reason);
  if ((r.reason & kUsnFileCreate) && !f.has_created) {
    f.has_created = true;
    f.created = r.time;
  }
  if (r.reason & kUsnBasicInfoChange) {
    f.has_times_set = true;
    f.times_set = r.time;
    // Basic information is the times and the attributes: a close that
    // changed anything else, or attributes that moved since the file's
    // close before (or its creation), is no times set. The records between
    // already carry the new attributes.
    const bool attributes_kept = !f.has_attributes || f.attributes == r.attributes;
    if ((r.reason & kUsnClose) && (r.reason & ~(kUsnBasicInfoChange | kUsnClose)) == 0 &&
        attributes_kept)
      f.times_set_alone = true;
  }
  if ((r.reason & (kUsnClose | kUsnFileCreate)) != 0 && r.major != 4) {
    f.has_attributes = true;
    f.attributes = r.attributes;
  }
}

const UsnJournalIndex::File* UsnJournalIndex::Find(std::uint64_t record,
                                                   std::uint16_t sequence) const {
  auto it = files_.find(FileReference(record, sequence));
  return it == files_.end() ? nullptr : &it->second;
}

void UsnJournalIndex::Join(std::uint64_t record, std::uint16_t sequence, Facts* facts,
                           std::vector<WitnessEvent>* events) const {
  if (has_times_) {
    facts->Set(Fact::kUsnFirst, first_);
    facts->Set(Fact::kUsnLast, last_);
  }
  const File* file = Find(record, sequence);
  facts->Set(Fact::kUsnRecords, file != nullptr ? file->records : 0);
  if (file == nullptr) return;
  if (file->has_created) facts->Set(Fact::kUsnCreated, file->created);
  if (file->has_times_set) facts->Set(Fact::kUsnTimesSet, file->times_set);
  facts->Set(Fact::kUsnTimesSetAlone, file->times_set_alone ? 1 : 0);
  for (const auto& [time, reasons] : file->events)
    events->push_back({time, Witness::kUsn, reasons});
}

bool UsnJournalIndex::InClockSpan(FILETIME t) const {
  return std::any_of(steps_.begin(), steps_.end(),
                     [t](const ClockStep& s) { return t >= s.to && t < s.from; });
}

bool UsnJournalIndex::Coverage(FILETIME* first, FILETIME* last) const {
  *first = first_;
  *last = last_;
  return has_times_;
}

}  // namespace qst
