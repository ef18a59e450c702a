#include "probe/ntfs/mft.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "probe/ntfs/attribute-list.h"
#include "probe/ntfs/attribute.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::uint64_t kMftRecord = 0;
constexpr std::uint64_t kMaxRecords = 1ull << 32;
constexpr std::size_t kReadChunk = 4u << 20;
constexpr std::size_t kPrefetch = 4 * kReadChunk;
// An MFT whose extent is guessed ends after this many places in a row
// without a record (mkntfs leaves records 27 to 63 unused).
constexpr std::uint64_t kGuessedGapEnd = 64;

}  // namespace

// A stretch of the MFT read at once: `size` bytes at `offset` (kSparse for
// a sparse run), holding records from `first`.
struct Mft::Piece {
  std::uint64_t offset, size, first;
};

// The bytes of a piece, in place in the reader or copied out of it, and how
// the read of each of its records went.
struct Mft::LoadedPiece {
  const std::uint8_t* bytes = nullptr;
  std::vector<std::uint8_t> copy;
  std::vector<ReadStatus> status;
};

bool Mft::Locate(const BootSector& boot, std::string* error) {
  geometry_ = {boot.cluster_size, boot.volume_clusters};
  record_size_ = boot.record_size;
  Runs runs;
  std::uint64_t size = 0;
  std::vector<std::uint8_t> record0;
  bool own = RecordZeroAt(boot.mft_offset, &record0, &runs, &size);
  mirror_used_ = !own && RecordZeroAt(boot.mirror_offset, &record0, &runs, &size);
  if (!own && !mirror_used_) {
    if (boot.mft_offset >= reader_.Size()) {
      *error = "cannot read the MFT";
      return false;
    }
    runs.assign(1, {boot.mft_offset, reader_.Size() - boot.mft_offset});
    size = reader_.Size() - boot.mft_offset;
    record0.clear();
    guessed_ = true;
  }
  runs_ = std::move(runs);
  if (!record0.empty()) ReadBitmap(record0);
  // A damaged size cannot make us hold more records than the image has room
  // for; tables grow only with the records actually found.
  record_limit_ = std::min<std::uint64_t>(
      {size / record_size_, kMaxRecords, reader_.Size() / record_size_ + 1});
  CountRecordsPastEnd(size);
  return true;
}

void Mft::CountRecordsPastEnd(std::uint64_t size) {
  // Records of the MFT's data whose first byte lies beyond the image.
  std::uint64_t pos = 0;
  for (const auto& [start, length] : runs_) {
    if (pos >= size) break;
    std::uint64_t n = std::min(length, size - pos);
    if (start != kSparse && start + n > reader_.Size()) {
      std::uint64_t from = std::max(start, reader_.Size()) - start + pos;
      std::uint64_t first = (from + record_size_ - 1) / record_size_;
      std::uint64_t end = (pos + n + record_size_ - 1) / record_size_;
      if (end > first) records_past_end_ += end - first;
    }
    pos += n;
  }
}

void Mft::LocateBare(std::uint32_t record_size) {
  record_size_ = record_size;
  runs_.assign(1, {0, reader_.Size()});
  record_limit_ = std::min<std::uint64_t>(reader_.Size() / record_size, kMaxRecords);
}

bool Mft::RecordZeroAt(std::uint64_t offset, std::vector<std::uint8_t>* record0, Runs* runs,
                       std::uint64_t* size) {
  // Until the MFT's own run list is known, record 0 is read where it lies.
  runs_.assign(1, {offset, record_size_});
  return ReadRecord(kMftRecord, record0) && UsableRuns(*record0, runs, size);
}

bool Mft::ReadRecord(std::uint64_t number, std::vector<std::uint8_t>* data) const {
  if (number >= kMaxRecords) return false;
  data->resize(record_size_);
  return ReadThroughRuns(reader_, runs_, number * record_size_, data->data(), record_size_) ==
             ReadStatus::kOk &&
         FixUpRecord(data->data(), record_size_);
}

bool Mft::UsableRuns(const std::vector<std::uint8_t>& record0, Runs* runs, std::uint64_t* size) {
  if (!RunsOf(record0, runs, size)) return false;
  std::uint64_t covered = 0;
  for (const auto& run : *runs) covered += run.second;
  return !runs->empty() && *size >= record_size_ && covered >= *size;
}

bool Mft::RunsOf(const std::vector<std::uint8_t>& record0, Runs* runs, std::uint64_t* size) {
  // The MFT's $DATA in pieces by starting cluster: the first in record 0;
  // a very fragmented MFT continues in extension records that its
  // $ATTRIBUTE_LIST names.
  std::vector<std::pair<std::uint64_t, Runs>> pieces;
  std::vector<std::uint8_t> list;
  AttributeWalker walker(record0.data(), record_size_);
  NtfsAttribute a;
  while (walker.Next(&a)) {
    if (a.type == kAttrAttributeList && list.empty()) {
      if (!ReadAttributeValue(reader_, geometry_, a, &list, kMaxAttributeList)) return false;
    } else if (a.type == kAttrData && a.name.empty() && !a.resident) {
      if (a.start_vcn == 0) *size = a.data_size;
      pieces.emplace_back(a.start_vcn, Runs());
      if (!DecodeRuns(a.runs, a.runs_length, geometry_, &pieces.back().second)) return false;
    }
  }
  if (pieces.empty()) return false;

  // Extension records lie in the part of the MFT already known.
  runs_ = pieces.front().second;
  if (!AddExtensionPieces(list, &pieces)) return false;

  // The pieces must follow one another without gaps or overlaps.
  std::sort(pieces.begin(), pieces.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  std::uint64_t next_vcn = 0;
  runs->clear();
  for (const auto& [start_vcn, piece] : pieces) {
    if (start_vcn != next_vcn) return false;
    for (const auto& run : piece) {
      runs->push_back(run);
      next_vcn += run.second / geometry_.cluster_size;
    }
  }
  return true;
}

bool Mft::AddExtensionPieces(const std::vector<std::uint8_t>& list,
                             std::vector<std::pair<std::uint64_t, Runs>>* pieces) {
  // Each extension record is read and decoded once, with all the pieces it
  // holds, however often the list names it.
  std::set<std::uint64_t> read;
  std::vector<std::uint8_t> extension;
  for (const AttributeListEntry& entry : DecodeAttributeList(list)) {
    if (entry.type != kAttrData || entry.name_length != 0 || entry.record == kMftRecord ||
        !read.insert(entry.record).second)
      continue;
    if (!ReadRecord(entry.record, &extension)) return false;
    AttributeWalker walker(extension.data(), record_size_);
    NtfsAttribute a;
    while (walker.Next(&a)) {
      if (a.type != kAttrData || !a.name.empty() || a.resident || a.start_vcn == 0) continue;
      pieces->emplace_back(a.start_vcn, Runs());
      if (!DecodeRuns(a.runs, a.runs_length, geometry_, &pieces->back().second)) return false;
    }
  }
  return true;
}

void Mft::ReadBitmap(const std::vector<std::uint8_t>& record0) {
  AttributeWalker walker(record0.data(), record_size_);
  NtfsAttribute a;
  while (walker.Next(&a)) {
    if (a.type != kAttrBitmap || !a.name.empty()) continue;
    // One bit per record; more than the records the image can hold is damage.
    if (!ReadAttributeValue(reader_, geometry_, a, &bitmap_, reader_.Size() / record_size_ / 8 + 1))
      bitmap_.clear();
    return;
  }
}

bool Mft::MarkedInUse(std::uint64_t record) const {
  return record / 8 < bitmap_.size() && (bitmap_[record / 8] >> (record % 8)) & 1;
}

void Mft::LoadPiece(const Piece& piece, LoadedPiece* out) const {
  std::uint64_t records = piece.size / record_size_;
  out->bytes = piece.offset != kSparse ? reader_.View(piece.offset, piece.size) : nullptr;
  if (out->bytes != nullptr) {
    out->status.assign(records, ReadStatus::kOk);
    return;
  }
  out->copy.resize(piece.size);
  out->bytes = out->copy.data();
  // Nothing lies in a sparse run.
  ReadStatus whole = piece.offset == kSparse
                         ? ReadStatus::kPastEnd
                         : reader_.Read(piece.offset, out->copy.data(), piece.size);
  out->status.assign(records, whole);
  if (whole == ReadStatus::kOk || piece.offset == kSparse) return;
  // A read that fails is tried again record by record, so that only the
  // records that cannot be read are lost.
  for (std::uint64_t i = 0; i < records; ++i)
    out->status[i] = reader_.Read(piece.offset + i * record_size_,
                                  out->copy.data() + i * record_size_, record_size_);
}

std::uint64_t Mft::ForEachRecord(
    const RecordVisitor& parse, LostRecords* lost,
    const std::function<void(std::uint64_t, std::uint64_t)>& progress) const {
  // Large pieces, seen in place where the reader can show them (copying a
  // large MFT out of the page cache costs about as much as parsing it).
  // Runs need not end on a record's edge (clusters smaller than records): a
  // record that spans two runs is read across them, alone.
  std::uint64_t gap = 0;
  std::uint64_t number = 0;
  std::uint64_t run_start = 0;  // where the run begins in the MFT's data
  LoadedPiece loaded;
  for (const auto& [start, length] : runs_) {
    const std::uint64_t run_end = run_start + length;
    while (number < record_limit_ && (number + 1) * record_size_ <= run_end) {
      std::uint64_t at = number * record_size_ - run_start;
      std::uint64_t want = std::min<std::uint64_t>(
          {length - at, kReadChunk, (record_limit_ - number) * record_size_});
      want -= want % record_size_;
      Piece piece{start == kSparse ? kSparse : start + at, want, number};
      // The next pieces are fetched while this one is parsed.
      if (start != kSparse && at + want < length)
        reader_.Prefetch(start + at + want, std::min<std::uint64_t>(length - at - want, kPrefetch));
      LoadPiece(piece, &loaded);
      if (ParsePiece(piece, loaded, parse, lost, &gap, &number)) return number;
      number += want / record_size_;
      if (progress) progress(number, record_limit_);
    }
    if (number < record_limit_ && number * record_size_ < run_end) {
      loaded.copy.resize(record_size_);
      loaded.bytes = loaded.copy.data();
      loaded.status.assign(1, ReadThroughRuns(reader_, runs_, number * record_size_,
                                              loaded.copy.data(), record_size_));
      if (ParsePiece({0, record_size_, number}, loaded, parse, lost, &gap, &number)) return number;
      ++number;
    }
    run_start = run_end;
  }
  return number;
}

// Returns true when an MFT whose extent is guessed has ended, with `*end`
// where.
bool Mft::ParsePiece(const Piece& piece, const LoadedPiece& loaded, const RecordVisitor& parse,
                     LostRecords* lost, std::uint64_t* gap, std::uint64_t* end) const {
  std::uint64_t number = piece.first;
  // Fixups are applied to a copy: the piece may be the image's own bytes.
  std::vector<std::uint8_t> record(record_size_);
  for (std::uint64_t i = 0; i < loaded.status.size(); ++i, ++number) {
    const std::uint8_t* r = loaded.bytes + i * record_size_;
    if (loaded.status[i] != ReadStatus::kOk) {
      if (guessed_) return *end = number, true;
      // Past the image's end, only records known to be in use count as
      // lost; the summary tells how much of the volume is missing.
      if (loaded.status[i] == ReadStatus::kFailed || MarkedInUse(number)) lost->Note(number);
      continue;
    }
    const bool signed_record = HasSignature(r, "FILE");
    if (signed_record &&
        (std::memcpy(record.data(), r, record_size_), ApplyFixups(record.data(), record_size_))) {
      parse(number, record.data());
      *gap = 0;
    } else if (guessed_) {
      if (++*gap == kGuessedGapEnd) return *end = number + 1 - kGuessedGapEnd, true;
    } else if (MarkedInUse(number) || signed_record ||
               std::any_of(r, r + record_size_, [](std::uint8_t b) { return b != 0; })) {
      // Records never used are zeros; anything else was a record once.
      lost->Note(number);
    }
  }
  return false;
}

}  // namespace qst

namespace qst {

bool IsBareMft(VolumeReader& image) {
  std::uint8_t magic[4];
  return image.ReadAll(0, magic, sizeof magic) && std::memcmp(magic, "FILE", 4) == 0;
}

}  // namespace qst
