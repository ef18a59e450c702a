#include "probe/witnesses/logfile/logfile-files.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "probe/le.h"
#include "probe/ntfs/attribute.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kDefaultFirstAttribute = 0x38;
constexpr std::size_t kSiValue = 0x18;  // in the attribute
constexpr std::size_t kAttributeType = 0x00;
constexpr std::size_t kAttributeResident = 0x08;
constexpr std::size_t kValueLength = 0x10;
constexpr std::size_t kValueOffset = 0x14;

// The four times from `bytes`, which hold the value of $STANDARD_INFORMATION
// from its byte `from` on; each that lies whole inside them is set in
// `known`.
void TimesIn(std::span<const std::uint8_t> bytes, std::int64_t from, FILETIME (&times)[4],
             std::uint8_t* known) {
  for (int i = 0; i < 4; ++i) {
    const std::int64_t at = 8 * i - from;
    if (at < 0 || at + 8 > static_cast<std::int64_t>(bytes.size())) continue;
    times[i] = LoadLe64(bytes.data() + at);
    *known |= static_cast<std::uint8_t>(1u << i);
  }
}

// The times of the $STANDARD_INFORMATION attribute at the start of `a`.
bool AttributeTimes(std::span<const std::uint8_t> a, FILETIME (&times)[4], std::uint8_t* known) {
  if (a.size() < 0x18 || LoadLe32(a.data() + kAttributeType) != kAttrStandardInformation ||
      a[kAttributeResident] != 0)
    return false;
  const std::size_t offset = LoadLe16(a.data() + kValueOffset);
  const std::size_t length = LoadLe32(a.data() + kValueLength);
  if (offset > a.size() || length > a.size() - offset) return false;
  TimesIn(a.subspan(offset, std::min<std::size_t>(length, 0x20)), 0, times, known);
  return true;
}

// A whole MFT record's image: its sequence number and the times of its
// first attribute.
bool ImageOf(std::span<const std::uint8_t> image, std::uint16_t* sequence, FILETIME (&times)[4],
             std::uint8_t* known) {
  if (image.size() < 0x30 || std::memcmp(image.data(), "FILE", 4) != 0) return false;
  const RecordHeader header = DecodeRecordHeader(image);
  *sequence = header.sequence;
  const std::size_t first = header.first_attribute;
  if (first < image.size()) AttributeTimes(image.subspan(first), times, known);
  return true;
}

// The times of the $FILE_NAME value at the start of `value`.
void FileNameTimes(std::span<const std::uint8_t> value, LogTimes* t) {
  constexpr std::size_t kFnTimes = 0x08;
  if (value.size() >= kFnTimes) TimesIn(value.subspan(kFnTimes), 0, t->times, &t->known);
  if (t->known != 0) t->of = "$FN";
}

// Whether `entry` is an index entry whose key is a $FILE_NAME, as in a
// folder's $I30: other indexes ($O, $SII, $SDH, $Q, $R) keep keys of other
// lengths, and their bytes are no times.
bool IsFileNameEntry(std::span<const std::uint8_t> entry) {
  constexpr std::size_t kHeader = 0x10;
  if (entry.size() < kHeader + kFileNameHeader) return false;
  const std::size_t length = LoadLe16(entry.data() + 0x08), key = LoadLe16(entry.data() + 0x0A);
  return key != 0 && key == FileNameLengthAt(entry.data() + kHeader) &&
         kHeader + key <= std::min(length, entry.size());
}

}  // namespace

LogTimes TimesOfLogRecord(const LogRecord& r, bool redo) {
  LogTimes t;
  if (!r.has_client) return t;
  const std::uint16_t op = redo ? r.redo : r.undo;
  const std::span<const std::uint8_t> data = redo ? r.redo_data : r.undo_data;
  std::uint16_t sequence = 0;
  switch (op) {
    case kLogInitializeFileRecordSegment: ImageOf(data, &sequence, t.times, &t.known); break;
    case kLogUpdateResidentValue:
      if (r.record_offset == kDefaultFirstAttribute && r.attribute_offset >= kSiValue)
        TimesIn(data, r.attribute_offset - kSiValue, t.times, &t.known);
      break;
    case kLogCreateAttribute:
      if (data.size() >= 0x18 && LoadLe32(data.data()) == kAttrFileName && data[8] == 0) {
        const std::size_t offset = LoadLe16(data.data() + kValueOffset);
        if (offset < data.size()) FileNameTimes(data.subspan(offset), &t);
        return t;
      }
      AttributeTimes(data, t.times, &t.known);
      break;
    case kLogAddIndexEntryRoot:
    case kLogDeleteIndexEntryRoot:
    case kLogAddIndexEntryAllocation:
    case kLogDeleteIndexEntryAllocation:
      // An entry: its header, then its key, a $FILE_NAME value in $I30.
      if (IsFileNameEntry(data)) FileNameTimes(data.subspan(0x10), &t);
      return t;
    case kLogUpdateFileNameRoot:
    case kLogUpdateFileNameAllocation:
      // The copy an entry keeps: the times first.
      TimesIn(data, 0, t.times, &t.known);
      if (t.known != 0) t.of = "$FN";
      return t;
    default: break;
  }
  if (t.known != 0) t.of = "$SI";
  return t;
}

std::uint64_t LogTargetRecord(const LogRecord& r, std::uint32_t cluster_size,
                              std::uint32_t record_size) {
  // No volume has clusters past 2^40: a larger VCN is damage.
  if (!r.has_client || (!ChangesFileRecord(r.redo) && !ChangesFileRecord(r.undo)) ||
      record_size == 0 || r.target_vcn >= (std::uint64_t{1} << 40))
    return kNoLogTarget;
  return (r.target_vcn * cluster_size + std::uint64_t{r.cluster_block} * kBlock) / record_size;
}

void LearnLogGeometry(const LogRecord& r, LogGeometry* g) {
  constexpr std::size_t kRecordNumber = 0x2C;
  constexpr std::size_t kUpdateSequence31 = 0x30;  // where NTFS 3.1 puts it, after the number
  const std::span<const std::uint8_t> image = r.redo_data;
  if (g->known() || !r.has_client || r.redo != kLogInitializeFileRecordSegment ||
      r.target_vcn == 0 || r.target_vcn >= (std::uint64_t{1} << 40) || image.size() < 0x30 ||
      std::memcmp(image.data(), "FILE", 4) != 0 || LoadLe16(image.data() + 4) < kUpdateSequence31)
    return;
  const std::uint64_t size = DecodeRecordHeader(image).bytes_allocated;
  const std::uint64_t at = LoadLe32(image.data() + kRecordNumber) * size;
  const std::uint64_t block = std::uint64_t{r.cluster_block} * kBlock;
  if (size < 256 || size > 65536 || (size & (size - 1)) != 0 || at < block ||
      (at - block) % r.target_vcn != 0)
    return;
  const std::uint64_t cluster = (at - block) / r.target_vcn;
  if (cluster < 512 || cluster > (2u << 20) || (cluster & (cluster - 1)) != 0 || block >= cluster)
    return;
  g->cluster_size = static_cast<std::uint32_t>(cluster);
  g->record_size = static_cast<std::uint32_t>(size);
}

void LogFileIndex::Add(const LogRecord& r, std::uint64_t record) {
  if (r.has_client) AddNamed(r);
  if (record == kNoLogTarget) return;
  Touch t{record, r.lsn, kNoTimes, 0, kChange};
  Times times;
  std::uint16_t sequence = 0;
  if (r.redo == kLogInitializeFileRecordSegment &&
      ImageOf(r.redo_data, &sequence, times.after, &times.after_known)) {
    t.kind = kMade;
    t.sequence = sequence;
  } else if (r.redo == kLogDeallocateFileRecordSegment) {
    t.kind = kRemoved;
  }
  ImageOf(r.undo_data, &sequence, times.before, &times.before_known);
  if (r.redo == kLogCreateAttribute) AttributeTimes(r.redo_data, times.after, &times.after_known);
  if (r.undo == kLogCreateAttribute) AttributeTimes(r.undo_data, times.before, &times.before_known);
  // The first attribute lies after the header and its fixups: within the
  // first 0x60 bytes of a record of any size.
  constexpr std::size_t kFirstAttributes = 0x60;
  t.unread_value = r.redo == kLogUpdateResidentValue && r.record_offset != kDefaultFirstAttribute &&
                   r.record_offset < kFirstAttributes;
  if (r.redo == kLogUpdateResidentValue && r.record_offset == kDefaultFirstAttribute &&
      r.attribute_offset >= kSiValue) {
    const std::int64_t from = r.attribute_offset - kSiValue;
    TimesIn(r.redo_data, from, times.after, &times.after_known);
    TimesIn(r.undo_data, from, times.before, &times.before_known);
  }
  if (times.before_known != 0 || times.after_known != 0) {
    t.times = static_cast<std::uint32_t>(times_.size());
    times_.push_back(times);
  }
  touches_.push_back(t);
}

void LogFileIndex::AddNamed(const LogRecord& r) {
  // An $I30 entry: the file reference first, then the lengths, the flags
  // and the $FILE_NAME key.
  const bool added = r.redo == kLogAddIndexEntryRoot || r.redo == kLogAddIndexEntryAllocation;
  const bool removed =
      r.redo == kLogDeleteIndexEntryRoot || r.redo == kLogDeleteIndexEntryAllocation;
  const std::span<const std::uint8_t> entry = added ? r.redo_data : r.undo_data;
  if ((!added && !removed) || !IsFileNameEntry(entry)) return;
  const std::uint64_t reference = LoadLe64(entry.data());
  touches_.push_back({RecordNumber(reference), r.lsn, kNoTimes, SequenceNumber(reference), kNamed});
}

void LogFileIndex::Seal() {
  std::stable_sort(touches_.begin(), touches_.end(), [](const Touch& a, const Touch& b) {
    return a.record != b.record ? a.record < b.record : a.lsn < b.lsn;
  });
  records_.clear();
  for (std::size_t i = 0; i < touches_.size(); ++i)
    if (i == 0 || touches_[i].record != touches_[i - 1].record)
      records_.emplace_back(touches_[i].record, static_cast<std::uint32_t>(i));
}

std::uint8_t LogFileIndex::Step(const Times& x, Past* past) {
  // What the file held before the record: what it shows, else what was
  // known so far.
  FILETIME before[4];
  std::uint8_t before_mask = past->mask;
  std::copy(std::begin(past->known), std::end(past->known), before);
  for (int f = 0; f < 4; ++f) {
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << f);
    if ((x.before_known & bit) != 0) {
      before[f] = x.before[f];
      before_mask |= bit;
    }
    if ((x.after_known & bit) != 0 || (x.before_known & bit) != 0) {
      past->known[f] = (x.after_known & bit) != 0 ? x.after[f] : x.before[f];
      past->mask |= bit;
    }
  }
  if (!past->made_known && (before_mask & 1) != 0) {
    past->made = before[0];
    past->made_known = true;
  }
  // A time (0 creation, 1 write, 2 change) the record sets earlier than
  // the value the file held before it, in this record or an earlier one.
  auto moved_back = [&](int f) {
    return (x.after_known >> f & 1) != 0 && (before_mask >> f & 1) != 0 && x.after[f] < before[f];
  };
  // A clock set back moves the change time back, and with it a write
  // time; never a creation time already written.
  const bool back = moved_back(0) || (moved_back(1) && !moved_back(2));
  // A creation set later, beyond what a coarser clock's rounding moves.
  const bool forward =
      (x.after_known & 1) != 0 && (before_mask & 1) != 0 && x.after[0] > before[0] + kRounding;
  // Whether the file was new: made (its first creation time shown) less
  // than kFresh before the change time the record writes (a tool that sets
  // the times of a file untouched since it was made writes a change time
  // of now), else the one before. A creation after that change time was
  // set, and tells nothing of when the file was made.
  const bool change_known = (x.after_known & 4) != 0 || (before_mask & 4) != 0;
  const FILETIME change = (x.after_known & 4) != 0 ? x.after[2] : before[2];
  const bool fresh =
      !past->made_known || !change_known || (change >= past->made && change - past->made < kFresh);
  if (fresh) return 0;
  return static_cast<std::uint8_t>((back ? kBack : 0) | (forward ? kForward : 0));
}

namespace {

// The times a file's log records show: those unlike its current ones as
// events, each once (a set, so that a file changed tens of thousands of
// times costs no search of all before); and per time, whether some value
// of it was shown, and its current one.
class ShownTimes {
 public:
  ShownTimes(const NtfsTimes& current, std::vector<WitnessEvent>* events)
      : now_{current.creation, current.write, current.change, current.access}, events_(events) {}

  // `whole`: the value lies where the log holds every record since.
  void Show(int field, FILETIME value, bool whole) {
    if (whole) shown_ |= static_cast<std::uint8_t>(1u << field);
    if (value == now_[field]) {
      shown_now_ |= static_cast<std::uint8_t>(1u << field);
      return;
    }
    if (seen_.emplace(field, value).second)
      events_->push_back({value, Witness::kLog, static_cast<std::uint32_t>(field)});
  }

  // Every change of the creation or write time after the first record that
  // shows one is in the log after it: a current value it never shows was
  // written around it.
  bool Unwritten() const {
    constexpr std::uint8_t kCreationAndWrite = 0x3;
    return (shown_ & ~shown_now_ & kCreationAndWrite) != 0;
  }

 private:
  FILETIME now_[4];
  std::vector<WitnessEvent>* events_;
  std::set<std::pair<int, FILETIME>> seen_;
  std::uint8_t shown_ = 0, shown_now_ = 0;
};

}  // namespace

std::span<const LogFileIndex::Touch> LogFileIndex::TouchesOf(std::uint64_t record) const {
  auto it = std::lower_bound(records_.begin(), records_.end(), record,
                             [](const auto& r, std::uint64_t wanted) { return r.first < wanted; });
  if (it == records_.end() || it->first != record) return {};
  const std::size_t end =
      it + 1 != records_.end() ? (it + 1)->second : static_cast<std::size_t>(touches_.size());
  return {touches_.data() + it->second, end - it->second};
}

void LogFileIndex::Join(std::uint64_t record, std::uint16_t sequence, bool deleted,
                        const NtfsTimes& current, Facts* facts,
                        std::vector<WitnessEvent>* events) const {
  // NTFS raises a record's sequence number as it frees it: a deleted file
  // lived under the one before.
  auto lived_as = [&](std::uint16_t s) {
    return s == sequence || (deleted && static_cast<std::uint16_t>(s + 1) == sequence);
  };
  for (Fact f :
       {Fact::kLogRecords, Fact::kLogMovedBack, Fact::kLogMovedForward, Fact::kLogUnwritten})
    facts->Set(f, 0);
  const std::span<const Touch> touches = TouchesOf(record);
  if (touches.empty()) return;
  // Records before a file was made or removed in the record belong to the
  // one before: without either, all are the current file's.
  const bool turns = std::any_of(touches.begin(), touches.end(), [](const Touch& t) {
    return t.kind == kMade || t.kind == kRemoved;
  });
  std::uint64_t count = 0, first = 0, last = 0;
  std::uint8_t moved = 0;
  bool unread_value = false;
  ShownTimes shown(current, events);
  // The times known so far, for what a record does not show.
  Past past;
  bool mine = !turns;
  for (const Touch& t : touches) {
    if (t.kind == kMade) mine = lived_as(t.sequence);
    // The record's deallocation is the last of the file it held.
    const bool freed = t.kind == kRemoved && mine;
    if (t.kind == kRemoved) mine = false;
    if (t.kind == kNamed ? !lived_as(t.sequence) : !mine && !freed) continue;
    if (count == 0) first = t.lsn;
    last = t.lsn;
    ++count;
    unread_value = unread_value || t.unread_value;
    if (t.times == kNoTimes) continue;
    const Times& x = times_[t.times];
    for (int f = 0; f < 4; ++f) {
      if (x.before_known >> f & 1) shown.Show(f, x.before[f], t.lsn >= whole_from_);
      if (x.after_known >> f & 1) shown.Show(f, x.after[f], t.lsn >= whole_from_);
    }
    moved |= Step(x, &past);
  }
  facts->Set(Fact::kLogRecords, count);
  facts->Set(Fact::kLogMovedBack, (moved & kBack) != 0 ? 1 : 0);
  facts->Set(Fact::kLogMovedForward, (moved & kForward) != 0 ? 1 : 0);
  facts->Set(Fact::kLogUnwritten, shown.Unwritten() && !unread_value ? 1 : 0);
  if (count != 0) {
    facts->Set(Fact::kLogFirstLsn, first);
    facts->Set(Fact::kLogLastLsn, last);
  }
}

}  // namespace qst
