#include "probe/ntfs/mft.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "probe/ntfs/attribute-list.h"
#include "probe/ntfs/attribute.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::uint64_t kMftRecord = 0;
constexpr std::uint64_t kMaxRecords = 1ull << 32;
constexpr std::size_t kReadChunk = 1u << 20;
// Pieces the medium is asked for ahead of the one loaded.
constexpr std::size_t kPiecesPrefetched = 16;
// Pieces read ahead of the parser, by a thread of their own.
constexpr std::size_t kPiecesAhead = 4;
// Bytes of records a window holds.
constexpr std::uint64_t kWindowBytes = 32u << 10;
// How far ahead of the record parsed the next ones are fetched, and how much
// of each.
constexpr std::size_t kParsedAhead = 8;
constexpr std::uint32_t kBytesFetchedAhead = 512;
// An MFT whose extent is guessed ends after this many places in a row
// without a record (mkntfs leaves records 27 to 63 unused).
constexpr std::uint64_t kGuessedGapEnd = 64;

}  // namespace

// A stretch of the MFT read at once: `size` bytes at `offset` (kSparse for
// a sparse run), holding records from `first`; or, `spans`, the one record
// at `first` that lies across two runs.
struct Mft::Piece {
  std::uint64_t offset, size, first;
  bool spans = false;
};

// What a place of the MFT holds, once read.
enum class Slot : std::uint8_t {
  kRecord,  // a record whose fixups hold
  kDebris,  // bytes that were a record once: damaged, or torn
  kBlank,   // zeros: never used
};

// The bytes of a piece, shown in place by the reader or read into a buffer
// of our own (fixups not applied either way), how the read of each of its
// records went and what each holds.
struct Mft::LoadedPiece {
  explicit LoadedPiece(VolumeReader& reader_in) : reader(reader_in) {}
  ~LoadedPiece() { Unview(); }
  LoadedPiece(const LoadedPiece&) = delete;
  LoadedPiece& operator=(const LoadedPiece&) = delete;
  void Unview() {
    if (view != nullptr) reader.Unview(view, view_size);
    view = nullptr;
  }
  const std::uint8_t* Records() const { return view != nullptr ? view : bytes.data(); }

  VolumeReader& reader;
  const std::uint8_t* view = nullptr;  // in place
  std::size_t view_size = 0;
  std::vector<std::uint8_t> bytes;  // read, where not shown in place
  std::vector<ReadStatus> status;
  std::vector<Slot> slots;
};

// Pieces loaded by one thread and parsed by another, in order, through a
// few buffers that go round.
class Mft::PieceQueue {
 public:
  PieceQueue(const Mft& mft, const std::vector<Piece>& pieces) : mft_(mft), pieces_(pieces) {
    for (std::size_t i = 0; i < kPiecesAhead; ++i)
      free_.push_back(std::make_unique<LoadedPiece>(mft.reader_));
    loader_ = std::thread([this] { Load(); });
  }
  ~PieceQueue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    loader_.join();
  }
  PieceQueue(const PieceQueue&) = delete;
  PieceQueue& operator=(const PieceQueue&) = delete;

  // The next piece, in order; given back with Done once parsed.
  std::unique_ptr<LoadedPiece> Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !ready_.empty(); });
    std::unique_ptr<LoadedPiece> piece = std::move(ready_.front());
    ready_.pop_front();
    return piece;
  }
  void Done(std::unique_ptr<LoadedPiece> piece) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(std::move(piece));
    }
    changed_.notify_all();
  }

 private:
  void Load() {
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
      std::unique_ptr<LoadedPiece> buffer;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stopping_ || !free_.empty(); });
        if (stopping_) return;
        buffer = std::move(free_.back());
        free_.pop_back();
      }
      mft_.LoadPiece(pieces_, i, buffer.get());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_.push_back(std::move(buffer));
      }
      changed_.notify_all();
    }
  }

  const Mft& mft_;
  const std::vector<Piece>& pieces_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<LoadedPiece>> ready_;
  std::vector<std::unique_ptr<LoadedPiece>> free_;
  bool stopping_ = false;
  std::thread loader_;
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
      *error = "the image ends at byte " + std::to_string(reader_.Size()) +
               ", before the MFT (at byte " + std::to_string(boot.mft_offset) +
               "): it is cut short";
      return false;
    }
    runs.assign(1, {boot.mft_offset, reader_.Size() - boot.mft_offset});
    size = reader_.Size() - boot.mft_offset;
    record0.clear();
    guessed_ = true;
  }
  runs_ = std::move(runs);
  IndexRuns();
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
  IndexRuns();
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

void Mft::IndexRuns() {
  run_ends_.clear();
  std::uint64_t end = 0;
  for (const auto& run : runs_) run_ends_.push_back(end += run.second);
}

bool Mft::Fill(std::uint64_t number, Window* window) const {
  // The stretch around the record, inside the run that holds it whole.
  const std::uint64_t at = number * record_size_;
  auto run = std::upper_bound(run_ends_.begin(), run_ends_.end(), at);
  if (run == run_ends_.end()) return false;
  const std::size_t index = static_cast<std::size_t>(run - run_ends_.begin());
  const std::uint64_t run_start = *run - runs_[index].second;
  if (runs_[index].first == kSparse || at + record_size_ > *run) return false;
  const std::uint64_t per_window = std::max<std::uint64_t>(kWindowBytes / record_size_, 1);
  std::uint64_t first =
      std::max(number - number % per_window, (run_start + record_size_ - 1) / record_size_);
  std::uint64_t end = std::min({first + per_window, *run / record_size_, record_limit_});
  const std::uint64_t offset = runs_[index].first + (first * record_size_ - run_start);
  const std::size_t size = static_cast<std::size_t>((end - first) * record_size_);
  std::unique_lock<std::mutex> lock(window_reads_, std::defer_lock);
  if (!reader_.ConcurrentReads()) lock.lock();
  // Read rather than shown in place: mapping and unmapping small stretches
  // costs more than the copy, and stalls the other threads.
  window->count = 0;
  window->bytes.resize(size);
  if (!reader_.ReadAll(offset, window->bytes.data(), size)) {
    // The stretch holds damage: the record alone.
    first = number;
    end = number + 1;
    window->bytes.resize(record_size_);
    if (!reader_.ReadAll(runs_[index].first + (at - run_start), window->bytes.data(), record_size_))
      return false;
  }
  window->first = first;
  window->count = end - first;
  return true;
}

const std::uint8_t* Mft::RawRecordIn(std::uint64_t number, Window* window) const {
  if (number >= record_limit_ || record_size_ == 0) return nullptr;
  if (number - window->first >= window->count && !Fill(number, window)) {
    // A record that lies across two runs is read alone.
    window->count = 0;
    window->bytes.resize(record_size_);
    if (ReadThroughRuns(reader_, runs_, number * record_size_, window->bytes.data(),
                        record_size_) != ReadStatus::kOk)
      return nullptr;
    window->first = number;
    window->count = 1;
  }
  const std::uint8_t* r = window->bytes.data() + (number - window->first) * record_size_;
  return HasSignature(r, "FILE") ? r : nullptr;
}

const std::uint8_t* Mft::RecordIn(std::uint64_t number, Window* window) const {
  const std::uint8_t* r = RawRecordIn(number, window);
  if (r == nullptr || !FixupsHold(r, record_size_)) return nullptr;
  return FixedUp(r, &window->fixed);
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

std::vector<Mft::Piece> Mft::PassPieces() const {
  // Runs need not end on a record's edge (clusters smaller than records): a
  // record that spans two runs is read across them, alone.
  std::vector<Piece> pieces;
  std::uint64_t number = 0;
  std::uint64_t run_start = 0;  // where the run begins in the MFT's data
  for (const auto& [start, length] : runs_) {
    const std::uint64_t run_end = run_start + length;
    while (number < record_limit_ && (number + 1) * record_size_ <= run_end) {
      std::uint64_t at = number * record_size_ - run_start;
      std::uint64_t want = std::min<std::uint64_t>(
          {length - at, kReadChunk, (record_limit_ - number) * record_size_});
      want -= want % record_size_;
      pieces.push_back({start == kSparse ? kSparse : start + at, want, number});
      number += want / record_size_;
    }
    if (number < record_limit_ && number * record_size_ < run_end) {
      pieces.push_back({number * record_size_, record_size_, number, true});
      ++number;
    }
    run_start = run_end;
  }
  return pieces;
}

void Mft::LoadPiece(const std::vector<Piece>& pieces, std::size_t index, LoadedPiece* out) const {
  // Each piece is asked for once, a few pieces ahead of its load.
  auto prefetch = [&](std::size_t i) {
    if (i < pieces.size() && !pieces[i].spans && pieces[i].offset != kSparse)
      reader_.Prefetch(pieces[i].offset, pieces[i].size);
  };
  if (index == 0)
    for (std::size_t i = 0; i < kPiecesPrefetched; ++i) prefetch(i);
  prefetch(index + kPiecesPrefetched);
  const Piece& piece = pieces[index];
  const std::size_t records = piece.size / record_size_;
  out->Unview();
  out->slots.assign(records, Slot::kBlank);
  if (!piece.spans && piece.offset != kSparse) {
    out->view = reader_.View(piece.offset, piece.size);
  }
  if (out->view != nullptr) {
    out->view_size = piece.size;
    out->status.assign(records, ReadStatus::kOk);
  } else {
    out->bytes.resize(piece.size);
    std::uint8_t* bytes = out->bytes.data();
    if (piece.spans) {
      out->status.assign(1, ReadThroughRuns(reader_, runs_, piece.offset, bytes, record_size_));
    } else if (piece.offset == kSparse) {
      // Nothing lies in a sparse run.
      out->status.assign(records, ReadStatus::kPastEnd);
    } else {
      ReadStatus whole = reader_.Read(piece.offset, bytes, piece.size);
      out->status.assign(records, whole);
      // A read that fails is tried again record by record, so that only the
      // records that cannot be read are lost.
      if (whole != ReadStatus::kOk)
        for (std::size_t i = 0; i < records; ++i)
          out->status[i] =
              reader_.Read(piece.offset + i * record_size_, bytes + i * record_size_, record_size_);
    }
  }
  // Checked where they lie; a record is fixed up where it is parsed, and
  // only when fixups change what is read of it.
  const std::uint8_t* base = out->Records();
  for (std::size_t i = 0; i < records; ++i) {
    const std::uint8_t* r = base + i * record_size_;
    // The lines checked, a few records on, fetched meanwhile.
    if (i + kParsedAhead < records) {
      const std::uint8_t* ahead = r + kParsedAhead * record_size_;
      for (std::uint32_t tail = 0; tail < record_size_; tail += kFixupStride)
        __builtin_prefetch(ahead + tail + kFixupStride - 2);
      __builtin_prefetch(ahead);
    }
    if (out->status[i] != ReadStatus::kOk) continue;
    if (HasSignature(r, "FILE"))
      out->slots[i] = FixupsHold(r, record_size_) ? Slot::kRecord : Slot::kDebris;
    else if (std::any_of(r, r + record_size_, [](std::uint8_t b) { return b != 0; }))
      out->slots[i] = Slot::kDebris;
  }
}

const std::uint8_t* Mft::FixedUp(const std::uint8_t* record,
                                 std::vector<std::uint8_t>* fixed) const {
  if (UsedBytesNeedNoFixups(record, record_size_)) return record;
  fixed->assign(record, record + record_size_);
  ApplyFixups(fixed->data(), record_size_);
  return fixed->data();
}

std::uint64_t Mft::ForEachRecord(const RecordVisitor& parse, LostRecords* lost,
                                 const std::function<void(std::uint64_t, std::uint64_t)>& progress,
                                 bool read_ahead) const {
  // Where asked and the reader allows, a thread of its own loads the next
  // pieces while one is parsed, so that reading from disk and parsing take
  // the time of the longer, not of both.
  const std::vector<Piece> pieces = PassPieces();
  std::uint64_t gap = 0;
  std::uint64_t end = 0;
  std::optional<PieceQueue> queue;
  LoadedPiece own(reader_);
  std::vector<std::uint8_t> fixed;
  if (read_ahead && pieces.size() > 1 && reader_.ConcurrentReads()) queue.emplace(*this, pieces);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    std::unique_ptr<LoadedPiece> loaded;
    if (queue)
      loaded = queue->Next();
    else
      LoadPiece(pieces, i, &own);
    const bool ended = ParsePiece(piece, loaded ? *loaded : own, &fixed, parse, lost, &gap, &end);
    if (queue) queue->Done(std::move(loaded));
    if (ended) return end;
    end = piece.first + piece.size / record_size_;
    if (progress) progress(end, record_limit_);
  }
  return end;
}

// Returns true when an MFT whose extent is guessed has ended, with `*end`
// where.
bool Mft::ParsePiece(const Piece& piece, const LoadedPiece& loaded,
                     std::vector<std::uint8_t>* fixed, const RecordVisitor& parse,
                     LostRecords* lost, std::uint64_t* gap, std::uint64_t* end) const {
  std::uint64_t number = piece.first;
  for (std::size_t i = 0; i < loaded.status.size(); ++i, ++number) {
    if (loaded.status[i] != ReadStatus::kOk) {
      if (guessed_) return *end = number, true;
      // Past the image's end, only records known to be in use count as
      // lost; the summary tells how much of the volume is missing.
      if (loaded.status[i] == ReadStatus::kFailed || MarkedInUse(number)) lost->Note(number);
      continue;
    }
    const Slot slot = loaded.slots[i];
    // The header and first attributes of a record a few places on are
    // fetched while this one is parsed.
    if (i + kParsedAhead < loaded.status.size()) {
      const std::uint8_t* ahead = loaded.Records() + (i + kParsedAhead) * record_size_;
      for (std::uint32_t line = 0; line < kBytesFetchedAhead; line += 64)
        __builtin_prefetch(ahead + line);
    }
    if (slot == Slot::kRecord) {
      parse(number, FixedUp(loaded.Records() + i * record_size_, fixed));
      *gap = 0;
    } else if (guessed_) {
      if (++*gap == kGuessedGapEnd) return *end = number + 1 - kGuessedGapEnd, true;
    } else if (slot == Slot::kDebris || MarkedInUse(number)) {
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
