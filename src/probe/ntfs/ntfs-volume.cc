#include "probe/ntfs/ntfs-volume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <tuple>

#include "probe/le.h"

namespace qst {

// One attribute of a record, checked to lie inside it.
struct NtfsAttribute {
  std::uint32_t type;
  bool resident;
  std::u16string_view name;
  const std::uint8_t* value;  // resident value
  std::uint32_t value_length;
  const std::uint8_t* runs;  // non-resident run list
  std::uint32_t runs_length;
  std::uint64_t data_size;
  std::uint64_t start_vcn;
};
namespace {

constexpr std::uint32_t kAttrStandardInformation = 0x10;
constexpr std::uint32_t kAttrAttributeList = 0x20;
constexpr std::uint32_t kAttrFileName = 0x30;
constexpr std::uint32_t kAttrObjectId = 0x40;
constexpr std::uint32_t kAttrData = 0x80;
constexpr std::uint32_t kAttrIndexRoot = 0x90;
constexpr std::uint32_t kAttrIndexAllocation = 0xA0;
constexpr std::uint32_t kAttrBitmap = 0xB0;
constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;

constexpr std::uint8_t kInUse = 1;
constexpr std::uint8_t kFolder = 2;
constexpr std::uint8_t kHasNames = 4;
constexpr std::uint8_t kHasTimes = 8;
constexpr std::uint8_t kDeleted = 16;

constexpr std::uint64_t kMftRecord = 0;
constexpr std::uint64_t kVolumeRecord = 3;
constexpr std::uint64_t kUpcaseRecord = 10;
constexpr std::uint64_t kExtendRecord = 11;
// Records below this one belong to the file system itself; the root's
// listing leaves them out.
constexpr std::uint64_t kFirstUserRecord = 16;
constexpr std::uint64_t kMaxRecords = 1ull << 32;
constexpr std::size_t kReadChunk = 4u << 20;
// Lost records named one by one in the damage summary; the rest are counted.
constexpr std::size_t kMaxLostListed = 4096;
// Update sequences protect every 512 bytes, whatever the sector size.
constexpr std::uint32_t kFixupStride = 512;

// Applies the update-sequence fixups of a multi-sector record in place.
bool ApplyFixups(std::uint8_t* data, std::size_t size, std::uint32_t sector_size) {
  std::uint16_t usa_offset = LoadLe16(data + 4);
  std::uint16_t usa_count = LoadLe16(data + 6);
  if (usa_count == 0 || sector_size == 0 || usa_count - 1u != size / sector_size ||
      usa_offset + 2u * usa_count > size || usa_offset < 8)
    return false;
  const std::uint8_t* usa = data + usa_offset;
  for (std::uint32_t i = 1; i < usa_count; ++i) {
    std::uint8_t* tail = data + i * sector_size - 2;
    if (tail[0] != usa[0] || tail[1] != usa[1]) return false;
    tail[0] = usa[2 * i];
    tail[1] = usa[2 * i + 1];
  }
  return true;
}

// Walks the attributes of a fixed-up record; false at the end or on damage.
class AttributeWalker {
 public:
  AttributeWalker(const std::uint8_t* record, std::uint32_t size) : record_(record) {
    std::uint32_t in_use = LoadLe32(record + 24);
    end_ = std::min(in_use, size);
    pos_ = LoadLe16(record + 20);
  }

  bool Next(NtfsAttribute* a) {
    if (end_ < 16 || pos_ > end_ - 16) return false;
    const std::uint8_t* p = record_ + pos_;
    a->type = LoadLe32(p);
    if (a->type == kAttrEnd) return false;
    std::uint32_t length = LoadLe32(p + 4);
    if (length < 24 || length % 8 != 0 || length > end_ - pos_) return false;
    a->resident = p[8] == 0;
    std::uint8_t name_length = p[9];
    std::uint16_t name_offset = LoadLe16(p + 10);
    if (name_length != 0 && name_offset + 2u * name_length > length) return false;
    name_units_.resize(name_length);
    for (std::uint8_t i = 0; i < name_length; ++i)
      name_units_[i] = LoadLe16(p + name_offset + 2 * i);
    a->name = name_units_;
    a->value = nullptr;
    a->value_length = 0;
    a->runs = nullptr;
    a->runs_length = 0;
    a->data_size = 0;
    a->start_vcn = 0;
    if (a->resident) {
      std::uint32_t value_length = LoadLe32(p + 16);
      std::uint16_t value_offset = LoadLe16(p + 20);
      if (value_offset + std::uint64_t{value_length} > length) return false;
      a->value = p + value_offset;
      a->value_length = value_length;
    } else {
      if (length < 64) return false;
      std::uint16_t runs_offset = LoadLe16(p + 32);
      if (runs_offset >= length) return false;
      a->start_vcn = LoadLe64(p + 16);
      a->runs = p + runs_offset;
      a->runs_length = length - runs_offset;
      a->data_size = LoadLe64(p + 48);
    }
    pos_ += length;
    return true;
  }

 private:
  const std::uint8_t* record_;
  std::uint32_t end_;
  std::uint32_t pos_;
  std::u16string name_units_;
};

// Decodes a run list into (byte offset, byte length) pairs; sparse runs get
// the offset ~0. False when the list is damaged.
bool DecodeRuns(const std::uint8_t* runs, std::uint32_t length, std::uint64_t cluster_size,
                std::uint64_t volume_clusters, NtfsVolume::Runs* out) {
  std::uint32_t pos = 0;
  std::int64_t lcn = 0;
  while (pos < length && runs[pos] != 0) {
    std::uint8_t header = runs[pos++];
    unsigned length_size = header & 0x0F;
    unsigned offset_size = header >> 4;
    if (length_size == 0 || length_size > 8 || offset_size > 8 ||
        pos + length_size + offset_size > length)
      return false;
    std::uint64_t clusters = 0;
    for (unsigned i = 0; i < length_size; ++i) clusters |= std::uint64_t{runs[pos + i]} << (8 * i);
    pos += length_size;
    if (clusters == 0 || clusters > volume_clusters) return false;
    if (offset_size == 0) {
      out->emplace_back(~0ull, clusters * cluster_size);
      continue;
    }
    std::uint64_t raw = 0;
    for (unsigned i = 0; i < offset_size; ++i) raw |= std::uint64_t{runs[pos + i]} << (8 * i);
    pos += offset_size;
    if (offset_size < 8 && (raw >> (8 * offset_size - 1)) & 1) raw |= ~0ull << (8 * offset_size);
    // lcn stays within the volume, so only a large positive step can
    // overflow the sum.
    std::int64_t step = static_cast<std::int64_t>(raw);
    if (step > 0 && lcn > INT64_MAX - step) return false;
    lcn += step;
    if (lcn < 0 || static_cast<std::uint64_t>(lcn) > volume_clusters ||
        clusters > volume_clusters - static_cast<std::uint64_t>(lcn))
      return false;
    out->emplace_back(static_cast<std::uint64_t>(lcn) * cluster_size, clusters * cluster_size);
  }
  return true;
}

}  // namespace

std::unique_ptr<NtfsVolume> NtfsVolume::Open(VolumeReader& reader, std::string* error,
                                             NtfsReadOptions options) {
  std::unique_ptr<NtfsVolume> volume(new NtfsVolume(reader, options));
  if (!volume->ReadBootSector(error) || !volume->ReadMft(error)) return nullptr;
  volume->Finish();
  return volume;
}

std::unique_ptr<NtfsVolume> NtfsVolume::OpenMft(VolumeReader& reader, std::string* error,
                                                NtfsReadOptions options) {
  std::unique_ptr<NtfsVolume> volume(new NtfsVolume(reader, options));
  std::uint8_t header[32];
  if (!reader.Read(0, header, sizeof header) || std::memcmp(header, "FILE", 4) != 0) {
    *error = "no MFT record at its start";
    return nullptr;
  }
  // The record size is the first record's allocated size.
  std::uint32_t size = LoadLe32(header + 28);
  if (size != 1024 && size != 4096) {
    *error = "an MFT record size of " + std::to_string(size);
    return nullptr;
  }
  volume->record_size_ = size;
  volume->mft_runs_.assign(1, {0, reader.Size()});
  volume->record_limit_ = std::min<std::uint64_t>(reader.Size() / size, kMaxRecords);
  volume->ReadRecords(false);
  volume->NoteRecordsWithoutTimes();
  if (!volume->InUse(kRootRecord) || !volume->IsFolder(kRootRecord)) {
    *error = "the root folder's record is damaged";
    return nullptr;
  }
  volume->Finish();
  return volume;
}

void NtfsVolume::Finish() {
  ReadUpcase();
  if (!options_.lazy) {
    // Where records were lost, the folders' indexes may still name files
    // whose own names went with them.
    if (lost_count_ != 0) ReadIndexNames();
    BuildFolders();
  } else {
    // The volume's own object ID is asked of every file with -n.
    Load(kVolumeRecord);
  }
  ReadObjectIdIndex();
}

NtfsVolume::Record& NtfsVolume::MutableRecord(std::uint64_t record) {
  if (options_.lazy) return sparse_records_[record];
  if (record >= records_.size()) records_.resize(record + 1);
  return records_[record];
}

const NtfsVolume::Record* NtfsVolume::FindRecord(std::uint64_t record) const {
  if (!options_.lazy) return record < records_.size() ? &records_[record] : nullptr;
  auto it = sparse_records_.find(record);
  return it == sparse_records_.end() ? nullptr : &it->second;
}

void NtfsVolume::ReadAll() {
  options_.lazy = false;
  ++generation_;
  records_.clear();
  sparse_records_.clear();
  names_.clear();
  name_times_.clear();
  text_.clear();
  object_ids_.clear();
  object_id_of_.clear();
  std::vector<bool>().swap(loaded_);
  lost_.clear();
  lost_count_ = 0;
  root_name_ = kNone;
  ReadRecords(mft_guessed_);
  NoteRecordsWithoutTimes();
  if (lost_count_ != 0) ReadIndexNames();
  BuildFolders();
}

void NtfsVolume::Load(std::uint64_t record) {
  if (record >= record_limit_) return;
  if (loaded_.size() <= record) loaded_.resize(record + 1);
  if (loaded_[record]) return;
  loaded_[record] = true;
  std::vector<std::uint8_t> data;
  if (!ReadRecord(record, &data)) {
    NoteLost(record);
    return;
  }
  extensions_.clear();
  ParseRecord(record, data.data());
  // The rest of a file's attributes, in the records its list names.
  std::vector<std::uint64_t> extensions;
  extensions.swap(extensions_);
  for (std::uint64_t extension : extensions) {
    if (extension >= record_limit_ || extension == record) continue;
    if (loaded_.size() <= extension) loaded_.resize(extension + 1);
    if (loaded_[extension]) continue;
    loaded_[extension] = true;
    if (ReadRecord(extension, &data)) ParseRecord(extension, data.data());
  }
  const Record* r = FindRecord(record);
  if (r != nullptr && (r->flags & (kInUse | kHasTimes)) == kInUse) NoteLost(record);
}

bool NtfsVolume::ReadBootSector(std::string* error) {
  std::uint8_t boot[512];
  if (!reader_.Read(0, boot, sizeof boot)) {
    *error = "cannot read the boot sector";
    return false;
  }
  if (std::memcmp(boot + 3, "NTFS    ", 8) != 0) {
    *error = "no NTFS boot sector";
    return false;
  }
  bytes_per_sector_ = LoadLe16(boot + 11);
  std::uint32_t sectors_per_cluster = boot[13];
  // Values above 0x80 give the cluster size as a power of two; beyond 2^16
  // sectors the boot sector is damaged.
  if (sectors_per_cluster > 0x80)
    sectors_per_cluster = 256 - sectors_per_cluster <= 16 ? 1u << (256 - sectors_per_cluster) : 0;
  if (bytes_per_sector_ < 256 || bytes_per_sector_ > 4096 ||
      (bytes_per_sector_ & (bytes_per_sector_ - 1)) != 0 || sectors_per_cluster == 0 ||
      sectors_per_cluster > 65536) {
    *error = "damaged boot sector";
    return false;
  }
  cluster_size_ = std::uint64_t{bytes_per_sector_} * sectors_per_cluster;
  auto size_of = [&](std::int8_t v) -> std::uint64_t {
    return v > 0 ? std::uint64_t(v) * cluster_size_ : v < 0 && v > -32 ? 1ull << -v : 0;
  };
  std::uint64_t record_size = size_of(static_cast<std::int8_t>(boot[0x40]));
  std::uint64_t index_size = size_of(static_cast<std::int8_t>(boot[0x44]));
  std::uint64_t total_sectors = LoadLe64(boot + 0x28);
  std::uint64_t mft_lcn = LoadLe64(boot + 0x30);
  std::uint64_t mirror_lcn = LoadLe64(boot + 0x38);
  // No volume is larger than 2^48 sectors: byte offsets within it never
  // overflow.
  if (record_size < 512 || record_size > 65536 || record_size % bytes_per_sector_ != 0 ||
      index_size < 512 || index_size > 65536 || total_sectors == 0 ||
      total_sectors > (1ull << 48) || mft_lcn >= total_sectors / sectors_per_cluster + 1) {
    *error = "damaged boot sector";
    return false;
  }
  record_size_ = static_cast<std::uint32_t>(record_size);
  index_block_size_ = static_cast<std::uint32_t>(index_size);
  // Until the MFT's own run list is known, record 0 is read where the boot
  // sector says the MFT starts.
  mft_runs_.assign(1, {mft_lcn * cluster_size_, record_size_});
  volume_clusters_ = total_sectors / sectors_per_cluster + 1;
  volume_bytes_ = total_sectors * bytes_per_sector_;
  mirror_offset_ = mirror_lcn < volume_clusters_ ? mirror_lcn * cluster_size_ : ~0ull;
  return true;
}

bool NtfsVolume::ReadRecord(std::uint64_t number, std::vector<std::uint8_t>* data) {
  std::uint64_t offset = number * record_size_;
  for (const auto& [start, length] : mft_runs_) {
    if (offset < length) {
      if (start == ~0ull || offset + record_size_ > length) return false;
      data->resize(record_size_);
      if (!reader_.Read(start + offset, data->data(), record_size_)) return false;
      return std::memcmp(data->data(), "FILE", 4) == 0 &&
             ApplyFixups(data->data(), record_size_, kFixupStride);
    }
    offset -= length;
  }
  return false;
}

bool NtfsVolume::ReadValue(const NtfsAttribute& a, std::vector<std::uint8_t>* data,
                           std::size_t limit) {
  if (a.resident) {
    if (a.value_length > limit) return false;
    data->assign(a.value, a.value + a.value_length);
    return true;
  }
  if (a.start_vcn != 0 || a.data_size > limit) return false;
  Runs runs;
  if (!DecodeRuns(a.runs, a.runs_length, cluster_size_, volume_clusters_, &runs)) return false;
  data->assign(a.data_size, 0);
  std::uint64_t pos = 0;
  for (const auto& [start, length] : runs) {
    if (pos >= a.data_size) break;
    std::uint64_t n = std::min(length, a.data_size - pos);
    if (start != ~0ull && !reader_.Read(start, data->data() + pos, n)) return false;
    pos += n;
  }
  return pos == a.data_size;
}

bool NtfsVolume::ReadAttributeData(std::uint64_t record, std::uint32_t type,
                                   std::u16string_view name, std::vector<std::uint8_t>* data,
                                   std::size_t limit) {
  std::vector<std::uint8_t> raw;
  if (!ReadRecord(record, &raw)) return false;
  AttributeWalker walker(raw.data(), record_size_);
  NtfsAttribute a;
  while (walker.Next(&a))
    if (a.type == type && a.name == name) return ReadValue(a, data, limit);
  return false;
}

bool NtfsVolume::MftRuns(const std::vector<std::uint8_t>& record0, Runs* runs,
                         std::uint64_t* mft_size) {
  // The MFT's $DATA in pieces by starting cluster: the first in record 0;
  // a very fragmented MFT continues in extension records that its
  // $ATTRIBUTE_LIST names.
  std::vector<std::pair<std::uint64_t, Runs>> pieces;
  std::vector<std::uint8_t> list;
  AttributeWalker walker(record0.data(), record_size_);
  NtfsAttribute a;
  while (walker.Next(&a)) {
    if (a.type == kAttrAttributeList && list.empty()) {
      if (!ReadValue(a, &list, 1u << 20)) return false;
    } else if (a.type == kAttrData && a.name.empty() && !a.resident) {
      if (a.start_vcn == 0) *mft_size = a.data_size;
      pieces.emplace_back(a.start_vcn, Runs());
      if (!DecodeRuns(a.runs, a.runs_length, cluster_size_, volume_clusters_,
                      &pieces.back().second))
        return false;
    }
  }
  if (pieces.empty()) return false;

  // Extension records lie in the part of the MFT already known.
  mft_runs_ = pieces.front().second;
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
      next_vcn += run.second / cluster_size_;
    }
  }
  return true;
}

bool NtfsVolume::AddExtensionPieces(const std::vector<std::uint8_t>& list,
                                    std::vector<std::pair<std::uint64_t, Runs>>* pieces) {
  // Each extension record is read and decoded once, with all the pieces it
  // holds, however often the list names it.
  std::set<std::uint64_t> read;
  for (std::size_t pos = 0; pos + 26 <= list.size();) {
    const std::uint8_t* e = list.data() + pos;
    std::uint16_t length = LoadLe16(e + 4);
    if (length < 26 || pos + length > list.size()) break;
    std::uint64_t record = LoadLe64(e + 16) & 0xFFFFFFFFFFFFull;
    pos += length;
    if (LoadLe32(e) != kAttrData || e[6] != 0 || record == kMftRecord ||
        !read.insert(record).second)
      continue;
    std::vector<std::uint8_t> extension;
    if (!ReadRecord(record, &extension)) return false;
    AttributeWalker walker(extension.data(), record_size_);
    NtfsAttribute a;
    while (walker.Next(&a)) {
      if (a.type != kAttrData || !a.name.empty() || a.resident || a.start_vcn == 0) continue;
      pieces->emplace_back(a.start_vcn, Runs());
      if (!DecodeRuns(a.runs, a.runs_length, cluster_size_, volume_clusters_,
                      &pieces->back().second))
        return false;
    }
  }
  return true;
}

bool NtfsVolume::ReadMft(std::string* error) {
  // Record 0 describes the MFT. When its run list is lost, $MFTMirr's copy
  // of it may still be whole; failing both, the MFT is read on from where
  // the boot sector says it starts, for as long as records are found there.
  Runs runs;
  std::uint64_t mft_size = 0;
  std::vector<std::uint8_t> record0;
  const Runs boot_runs = mft_runs_;
  if (!(ReadRecord(kMftRecord, &record0) && UsableMftRuns(record0, &runs, &mft_size))) {
    mft_runs_.assign(1, {mirror_offset_, record_size_});
    if (!(ReadRecord(kMftRecord, &record0) && UsableMftRuns(record0, &runs, &mft_size))) {
      std::uint64_t start = boot_runs.front().first;
      if (start >= reader_.Size()) {
        *error = "cannot read the MFT";
        return false;
      }
      runs.assign(1, {start, reader_.Size() - start});
      mft_size = reader_.Size() - start;
      record0.clear();
      mft_guessed_ = true;
    }
  }
  mft_runs_ = std::move(runs);
  if (!record0.empty()) ReadMftBitmap(record0);
  // A damaged size cannot make us hold more records than the image has room
  // for; the table grows only with the records actually found.
  record_limit_ = std::min<std::uint64_t>(
      {mft_size / record_size_, kMaxRecords, reader_.Size() / record_size_ + 1});
  if (options_.lazy) {
    Load(kRootRecord);
  } else {
    ReadRecords(mft_guessed_);
    NoteRecordsWithoutTimes();
  }
  if (!InUse(kRootRecord) || !IsFolder(kRootRecord)) {
    *error = "the root folder's record is damaged";
    return false;
  }
  return true;
}

bool NtfsVolume::UsableMftRuns(const std::vector<std::uint8_t>& record0, Runs* runs,
                               std::uint64_t* mft_size) {
  if (!MftRuns(record0, runs, mft_size)) return false;
  std::uint64_t covered = 0;
  for (const auto& run : *runs) covered += run.second;
  return !runs->empty() && *mft_size >= record_size_ && covered >= *mft_size;
}

void NtfsVolume::ReadMftBitmap(const std::vector<std::uint8_t>& record0) {
  AttributeWalker walker(record0.data(), record_size_);
  NtfsAttribute a;
  while (walker.Next(&a)) {
    if (a.type != kAttrBitmap || !a.name.empty()) continue;
    // One bit per record; more than the records the image can hold is damage.
    if (!ReadValue(a, &bitmap_, reader_.Size() / record_size_ / 8 + 1)) bitmap_.clear();
    return;
  }
}

bool NtfsVolume::MarkedInUse(std::uint64_t record) const {
  return record / 8 < bitmap_.size() && (bitmap_[record / 8] >> (record % 8)) & 1;
}

// A stretch of the MFT read at once: `size` bytes at `offset` (~0 for a
// sparse run), holding records from `first`.
struct MftPiece {
  std::uint64_t offset, size, first;
};

// The bytes of a piece, in place in the reader or copied out of it, and for
// each of its records whether it could be read.
struct LoadedPiece {
  const std::uint8_t* bytes = nullptr;
  std::vector<std::uint8_t> copy;
  std::vector<bool> read;
};

static void LoadPiece(VolumeReader& reader, const MftPiece& piece, std::uint32_t record_size,
                      LoadedPiece* out) {
  std::uint64_t records = piece.size / record_size;
  out->bytes = piece.offset != ~0ull ? reader.View(piece.offset, piece.size) : nullptr;
  if (out->bytes != nullptr) {
    out->read.assign(records, true);
    return;
  }
  out->copy.resize(piece.size);
  out->bytes = out->copy.data();
  bool whole = piece.offset != ~0ull && reader.Read(piece.offset, out->copy.data(), piece.size);
  out->read.assign(records, whole);
  if (whole || piece.offset == ~0ull) return;
  // A read that fails is tried again record by record, so that only the
  // records that cannot be read are lost.
  for (std::uint64_t i = 0; i < records; ++i)
    out->read[i] = reader.Read(piece.offset + i * record_size, out->copy.data() + i * record_size,
                               record_size);
}

void NtfsVolume::ReadRecords(bool guessed) {
  // Sized once for what the MFT holds, rather than grown by doubling.
  records_.reserve(record_limit_);
  names_.reserve(record_limit_);
  // One sequential pass over the MFT in large pieces, seen in place where
  // the reader can show them (copying a large MFT out of the page cache
  // costs about as much as parsing it). An MFT whose extent is guessed ends
  // where records stop being found.
  constexpr std::uint64_t kGuessedGapEnd = 16;
  std::uint64_t gap = 0;
  std::uint64_t number = 0;
  LoadedPiece loaded;
  for (const auto& [start, length] : mft_runs_) {
    for (std::uint64_t done = 0; done < length && number < record_limit_;) {
      std::uint64_t want = std::min<std::uint64_t>(
          {length - done, kReadChunk, (record_limit_ - number) * record_size_});
      want -= want % record_size_;
      if (want == 0) break;
      MftPiece piece{start == ~0ull ? ~0ull : start + done, want, number};
      LoadPiece(reader_, piece, record_size_, &loaded);
      if (ParsePiece(piece, loaded, guessed, &gap, kGuessedGapEnd)) return;
      number += want / record_size_;
      if (options_.progress) options_.progress(number, record_limit_);
      done += want;
    }
  }
}

bool NtfsVolume::ParsePiece(const MftPiece& piece, LoadedPiece& loaded, bool guessed,
                            std::uint64_t* gap, std::uint64_t gap_end) {
  std::uint64_t number = piece.first;
  // Fixups are applied to a copy: the piece may be the image's own bytes.
  std::vector<std::uint8_t> record(record_size_);
  for (std::uint64_t i = 0; i < loaded.read.size(); ++i, ++number) {
    const std::uint8_t* r = loaded.bytes + i * record_size_;
    if (!loaded.read[i]) {
      if (guessed) return true;
      // Past the image's end, only records known to be in use count as
      // lost; the summary tells how much of the volume is missing.
      bool inside =
          piece.offset != ~0ull && piece.offset + (i + 1) * record_size_ <= reader_.Size();
      if (inside || MarkedInUse(number)) NoteLost(number);
      continue;
    }
    if (std::memcmp(r, "FILE", 4) == 0 &&
        (std::memcpy(record.data(), r, record_size_),
         ApplyFixups(record.data(), record_size_, kFixupStride))) {
      ParseRecord(number, record.data());
      *gap = 0;
    } else if (guessed) {
      if (++*gap == gap_end) return true;
    } else if (MarkedInUse(number) || std::memcmp(r, "FILE", 4) == 0 ||
               std::any_of(r, r + record_size_, [](std::uint8_t b) { return b != 0; })) {
      // Records never used are zeros; anything else was a record once.
      NoteLost(number);
    }
  }
  return false;
}

void NtfsVolume::NoteRecordsWithoutTimes() {
  for (std::uint64_t r = 0; r < records_.size(); ++r)
    if ((records_[r].flags & (kInUse | kHasTimes)) == kInUse) NoteLost(r);
  std::sort(lost_.begin(), lost_.end());
}

void NtfsVolume::NoteLost(std::uint64_t record) {
  if (lost_.size() < kMaxLostListed) lost_.push_back(record);
  ++lost_count_;
}

void NtfsVolume::ParseRecord(std::uint64_t number, std::uint8_t* data) {
  std::uint16_t flags = LoadLe16(data + 22);
  bool deleted = (flags & 1) == 0;
  if (deleted && !options_.deleted) return;
  // An extension record adds its attributes to its base record. The whole
  // reference is zero in a base record; an extension of the MFT itself
  // names record 0 with a sequence number.
  std::uint64_t base_reference = LoadLe64(data + 32);
  bool extension = base_reference != 0;
  if (deleted && extension) return;
  std::uint64_t owner = extension ? base_reference & 0xFFFFFFFFFFFFull : number;
  if (owner >= record_limit_) return;
  Record& r = MutableRecord(owner);
  if (!extension) {
    r.flags |= deleted ? kDeleted : kInUse;
    if (flags & 2) r.flags |= kFolder;
    r.sequence = LoadLe16(data + 16);
  }
  AttributeWalker walker(data, record_size_);
  NtfsAttribute a;
  while (walker.Next(&a)) {
    if (a.type == kAttrAttributeList && options_.lazy && !extension) {
      std::vector<std::uint8_t> list;
      if (!ReadValue(a, &list, 1u << 20)) continue;
      for (std::size_t pos = 0; pos + 26 <= list.size();) {
        std::uint16_t length = LoadLe16(list.data() + pos + 4);
        if (length < 26 || pos + length > list.size()) break;
        extensions_.push_back(LoadLe64(list.data() + pos + 16) & 0xFFFFFFFFFFFFull);
        pos += length;
      }
      std::sort(extensions_.begin(), extensions_.end());
      extensions_.erase(std::unique(extensions_.begin(), extensions_.end()), extensions_.end());
      continue;
    }
    if (!a.resident) continue;
    if (a.type == kAttrStandardInformation && a.value_length >= 32 && !extension) {
      r.flags |= kHasTimes;
      r.times.creation = LoadLe64(a.value);
      r.times.write = LoadLe64(a.value + 8);
      r.times.change = LoadLe64(a.value + 16);
      r.times.access = LoadLe64(a.value + 24);
    } else if (a.type == kAttrFileName && a.value_length >= 66) {
      std::uint8_t length = a.value[64];
      if (66u + 2u * length <= a.value_length) AddName(owner, a.value, length);
    } else if (a.type == kAttrObjectId && a.value_length >= 16 && !object_id_of_.count(owner)) {
      ObjectId id{};
      std::memcpy(id.bytes.data(), a.value, std::min<std::uint32_t>(a.value_length, 64));
      id.extended = a.value_length >= 64;
      object_id_of_[owner] = static_cast<std::uint32_t>(object_ids_.size());
      object_ids_.push_back(id);
    }
  }
}

std::uint32_t NtfsVolume::AddName(std::uint64_t record, const std::uint8_t* file_name,
                                  std::uint8_t length) {
  if (length == 0 || names_.size() >= kNone) return kNone;
  // Names are kept in blocks that never move, so that holding millions
  // costs no copies while they grow.
  if (text_.empty() || text_.back().size() + length > kTextBlock) {
    if (text_.size() >= (std::uint64_t{kNone} >> kTextBlockBits)) return kNone;
    text_.emplace_back();
    text_.back().reserve(kTextBlock);
  }
  Record& r = MutableRecord(record);
  Name n;
  n.record = static_cast<std::uint32_t>(record);
  std::uint64_t parent = LoadLe64(file_name) & 0xFFFFFFFFFFFFull;
  n.parent = parent < kNone ? static_cast<std::uint32_t>(parent) : kNone;
  n.parent_sequence = LoadLe16(file_name + 6);
  if (options_.name_times)
    name_times_.push_back({LoadLe64(file_name + 8), LoadLe64(file_name + 16),
                           LoadLe64(file_name + 24), LoadLe64(file_name + 32)});
  n.space = file_name[65];
  n.length = length;
  std::u16string& block = text_.back();
  n.text = static_cast<std::uint32_t>((text_.size() - 1) << kTextBlockBits | block.size());
  for (std::uint8_t i = 0; i < length; ++i) block.push_back(LoadLe16(file_name + 66 + 2 * i));
  n.next = r.first_name;
  r.first_name = static_cast<std::uint32_t>(names_.size());
  if (record == kRootRecord && n.parent == kRootRecord && root_name_ == kNone)
    root_name_ = r.first_name;
  names_.push_back(n);
  r.flags |= kHasNames;
  return r.first_name;
}

void NtfsVolume::ReadUpcase() {
  upcase_ = DefaultUpcaseTable();
  std::vector<std::uint8_t> table;
  if (!ReadAttributeData(kUpcaseRecord, kAttrData, u"", &table, 131072) || table.size() != 131072)
    return;
  for (std::uint32_t c = 0; c < 65536; ++c) upcase_[c] = LoadLe16(table.data() + 2 * c);
}

int NtfsVolume::Compare(std::u16string_view a, std::u16string_view b) const {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = upcase_[a[i]], y = upcase_[b[i]];
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

void NtfsVolume::BuildFolders() {
  // Listed names go to their folders in two passes over the names: one
  // counts, one places.
  child_start_.assign(records_.size() + 1, 0);
  auto listed_in = [&](std::uint32_t i) -> std::uint64_t {
    const Name& n = names_[i];
    bool deleted = Deleted(n.record);
    if (n.space == 2 || deleted || !IsParent(n, deleted)) return kNone;
    return n.parent;
  };
  for (std::uint32_t i = 0; i < names_.size(); ++i)
    if (std::uint64_t parent = listed_in(i); parent != kNone) ++child_start_[parent + 1];
  for (std::size_t r = 0; r < records_.size(); ++r) child_start_[r + 1] += child_start_[r];
  child_names_.resize(child_start_.back());
  std::vector<std::uint32_t> fill(child_start_.begin(), child_start_.end() - 1);
  for (std::uint32_t i = 0; i < names_.size(); ++i) {
    const Name& n = names_[i];
    if (std::uint64_t parent = listed_in(i); parent != kNone) {
      child_names_[fill[parent]++] = i;
      continue;
    }
    bool deleted = Deleted(n.record);
    if (!IsParent(n, deleted)) {
      // A deleted file whose folder is gone is listed under the orphans.
      if (deleted && n.space != 2 && n.parent != n.record) orphans_.push_back(i);
      continue;
    }
    // An 8.3 alias opens its file but is never listed.
    if (n.space == 2)
      short_names_[n.parent].push_back(i);
    else
      deleted_children_[n.parent].push_back(i);
  }
  std::vector<std::uint32_t>().swap(fill);
  // Each list is sorted on the first four upper-cased units of its names,
  // packed so that integers order as names do (most comparisons end there),
  // kept beside the names for the one list being sorted.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
  auto by_collation = [&](auto first, auto last) {
    if (last - first < 2) return;
    keyed.clear();
    for (auto it = first; it != last; ++it) {
      std::u16string_view text = NameText(*it);
      std::uint64_t key = 0;
      for (std::size_t k = 0; k < 4; ++k)
        key = key << 16 | (k < text.size() ? upcase_[text[k]] : 0);
      keyed.emplace_back(key, *it);
    }
    std::sort(keyed.begin(), keyed.end(), [&](const auto& x, const auto& y) {
      if (x.first != y.first) return x.first < y.first;
      std::u16string_view a = NameText(x.second), b = NameText(y.second);
      int c = Compare(a, b);
      return c != 0 ? c < 0 : a < b;
    });
    for (const auto& [key, name] : keyed) *first++ = name;
  };
  for (std::size_t r = 0; r < records_.size(); ++r)
    by_collation(child_names_.begin() + child_start_[r],
                 child_names_.begin() + child_start_[r + 1]);
  for (auto& [folder, list] : short_names_) by_collation(list.begin(), list.end());
  for (auto& [folder, list] : deleted_children_) by_collation(list.begin(), list.end());
  by_collation(orphans_.begin(), orphans_.end());
  decltype(keyed)().swap(keyed);
  // The root lists no system files; they stay reachable by name.
  for (std::uint32_t name : ListedChildren(kRootRecord))
    if (names_[name].record >= kFirstUserRecord) root_listing_.push_back(name);
}

std::span<const std::uint32_t> NtfsVolume::ListedChildren(std::uint64_t folder) const {
  if (folder + 1 >= child_start_.size()) return {};
  return std::span<const std::uint32_t>(child_names_)
      .subspan(child_start_[folder], child_start_[folder + 1] - child_start_[folder]);
}

bool NtfsVolume::NameTimesOf(std::uint32_t name, Times* times) const {
  if (name >= name_times_.size()) return false;
  *times = name_times_[name];
  return true;
}

bool NtfsVolume::IsParent(const Name& n, bool deleted) const {
  const Record* found = n.parent == n.record ? nullptr : FindRecord(n.parent);
  if (found == nullptr) return false;
  const Record& parent = *found;
  if ((parent.flags & kFolder) == 0) return false;
  if (parent.flags & kInUse) {
    // A folder record since reused for another folder is not the parent.
    return n.parent_sequence == 0 || n.parent_sequence == parent.sequence;
  }
  // Only a deleted name may stand in a deleted folder, whose sequence number
  // went up by one when it was deleted.
  return deleted && (parent.flags & kDeleted) &&
         (n.parent_sequence == parent.sequence ||
          static_cast<std::uint16_t>(n.parent_sequence + 1) == parent.sequence);
}

bool NtfsVolume::InUse(std::uint64_t record) const {
  const Record* r = FindRecord(record);
  return r != nullptr && (r->flags & kInUse) != 0;
}

bool NtfsVolume::Deleted(std::uint64_t record) const {
  const Record* r = FindRecord(record);
  return r != nullptr && (r->flags & kDeleted) != 0;
}

bool NtfsVolume::VolumeObjectId(std::uint8_t (&id)[16]) const {
  auto it = object_id_of_.find(kVolumeRecord);
  if (!InUse(kVolumeRecord) || it == object_id_of_.end()) return false;
  std::memcpy(id, object_ids_[it->second].bytes.data(), 16);
  return true;
}

NtfsVolume::Damage NtfsVolume::DamageFound() const {
  Damage d;
  d.lost = lost_;
  d.lost_count = lost_count_;
  d.mft_guessed = mft_guessed_;
  std::uint64_t size = reader_.Size();
  d.missing_bytes = size < volume_bytes_ ? volume_bytes_ - size : 0;
  return d;
}

bool NtfsVolume::HasTimes(std::uint64_t record) const {
  return Listed(record) && (FindRecord(record)->flags & kHasTimes) != 0;
}

bool NtfsVolume::IsFolder(std::uint64_t record) const {
  if (record == kOrphanFolder) return !orphans_.empty();
  return Listed(record) && (FindRecord(record)->flags & kFolder) != 0;
}

std::u16string_view NtfsVolume::NameText(std::uint32_t name) const {
  const Name& n = names_[name];
  return std::u16string_view(text_[n.text >> kTextBlockBits])
      .substr(n.text & (kTextBlock - 1), n.length);
}

std::span<const std::uint32_t> NtfsVolume::Children(std::uint64_t folder) const {
  return folder == kRootRecord ? std::span<const std::uint32_t>(root_listing_)
                               : ListedChildren(folder);
}

std::span<const std::uint32_t> NtfsVolume::DeletedChildren(std::uint64_t folder) const {
  if (folder == kOrphanFolder) return orphans_;
  auto it = deleted_children_.find(folder);
  if (it == deleted_children_.end()) return {};
  return it->second;
}

std::uint32_t NtfsVolume::Find(std::span<const std::uint32_t> list,
                               std::u16string_view name) const {
  auto [first, last] = std::equal_range(
      list.begin(), list.end(), name,
      [&](const auto& x, const auto& y) { return Compare(TextOf(x), TextOf(y)) < 0; });
  if (first == last) return kNone;
  // Among names equal but for case, the one written exactly so wins; the
  // run is sorted by the exact text too.
  auto exact = std::lower_bound(first, last, name, [&](std::uint32_t x, std::u16string_view key) {
    return NameText(x) < key;
  });
  if (exact != last && NameText(*exact) == name) return *exact;
  return *first;
}

std::uint32_t NtfsVolume::LookupName(std::uint64_t folder, std::u16string_view name) {
  if (options_.lazy) {
    std::uint32_t found = LookupInIndex(folder, name);
    if (found != kNone) return found;
    // What an index does not give (one beyond reach, or damaged), the whole
    // MFT may still hold: read it all, once, and look again.
    ReadAll();
  }
  std::uint32_t found = Find(ListedChildren(folder), name);
  if (found != kNone) return found;
  if (auto aliases = short_names_.find(folder); aliases != short_names_.end())
    found = Find(aliases->second, name);
  return found != kNone ? found : Find(DeletedChildren(folder), name);
}

std::uint64_t NtfsVolume::Lookup(std::uint64_t folder, std::u16string_view name) {
  std::uint32_t found = LookupName(folder, name);
  return found == kNone ? kNone : names_[found].record;
}

bool NtfsVolume::ObjectIdOf(std::uint64_t record, FILE_OBJECTID_BUFFER* id) const {
  auto it = object_id_of_.find(record);
  if (!Listed(record) || it == object_id_of_.end()) return false;
  const ObjectId& stored = object_ids_[it->second];
  std::memcpy(id, stored.bytes.data(), 64);
  if (!stored.extended) {
    // An entry counts only when the file it names holds that object ID.
    auto births =
        birth_ids_.find(std::string(reinterpret_cast<const char*>(stored.bytes.data()), 16));
    if (births != birth_ids_.end()) {
      for (const auto& [file, birth] : births->second)
        if (file == record) std::memcpy(reinterpret_cast<std::uint8_t*>(id) + 16, birth.data(), 48);
    }
  }
  return true;
}

std::uint32_t NtfsVolume::LookupInIndex(std::uint64_t folder, std::u16string_view name) {
  Load(folder);
  if (!IsFolder(folder)) return kNone;
  // The folder's index names the file; among names equal but for case, the
  // one written exactly so wins.
  struct Hit {
    std::uint64_t reference = kNone;
    std::vector<std::uint8_t> key;
    std::u16string text;
  } exact, any;
  ForEachIndexName(folder, [&](std::uint64_t reference, const std::uint8_t* key,
                               std::uint16_t key_length, std::u16string_view text) {
    if (Compare(text, name) != 0) return;
    Hit& hit = text == name ? exact : any;
    if (hit.reference == kNone) hit = {reference, {key, key + key_length}, std::u16string(text)};
  });
  Hit& hit = exact.reference != kNone ? exact : any;
  if (hit.reference == kNone) return kNone;
  std::uint64_t file = hit.reference & 0xFFFFFFFFFFFFull;
  std::uint16_t sequence = static_cast<std::uint16_t>(hit.reference >> 48);
  Load(file);
  if (!InUse(file) || (sequence != 0 && sequence != FindRecord(file)->sequence)) return kNone;
  // The file's own attribute for that name, as a full read would list it;
  // the index's copy only where records were lost.
  for (std::uint32_t n = FindRecord(file)->first_name; n != kNone; n = names_[n].next)
    if (names_[n].parent == folder && NameText(n) == hit.text && IsParent(names_[n], false))
      return n;
  if (lost_count_ == 0 || (LoadLe64(hit.key.data()) & 0xFFFFFFFFFFFFull) != folder) return kNone;
  return AddName(file, hit.key.data(), static_cast<std::uint8_t>(hit.text.size()));
}

void NtfsVolume::ForEachIndexName(
    std::uint64_t folder,
    const std::function<void(std::uint64_t reference, const std::uint8_t* key,
                             std::uint16_t key_length, std::u16string_view text)>& visit) {
  std::u16string text;
  ForEachIndexEntry(folder, u"$I30", [&](const std::uint8_t* e, std::uint16_t length) {
    // The key is the file's $FILE_NAME value as it was when indexed.
    std::uint16_t key_length = LoadLe16(e + 10);
    if (key_length < 66 || 16u + key_length > length) return;
    const std::uint8_t* key = e + 16;
    std::uint8_t name_length = key[64];
    if (name_length == 0 || 66u + 2u * name_length > key_length) return;
    text.resize(name_length);
    for (std::uint8_t i = 0; i < name_length; ++i) text[i] = LoadLe16(key + 66 + 2 * i);
    visit(LoadLe64(e), key, key_length, text);
  });
}

void NtfsVolume::ForEachIndexEntry(
    std::uint64_t record, std::u16string_view name,
    const std::function<void(const std::uint8_t* entry, std::uint16_t length)>& visit) {
  // Entries lie in the index root and in every block; each is checked to
  // lie whole inside its node before it is handed on.
  auto take_entries = [&](const std::uint8_t* header, std::size_t available) {
    if (available < 16) return;
    std::uint64_t first = LoadLe32(header);
    std::uint64_t end = std::min<std::uint64_t>(LoadLe32(header + 4), available);
    for (std::uint64_t pos = first; pos + 16 <= end;) {
      const std::uint8_t* e = header + pos;
      std::uint16_t length = LoadLe16(e + 8);
      if (length < 16 || pos + length > end) break;
      if (LoadLe16(e + 12) & 2) break;  // the last entry holds no key
      visit(e, length);
      pos += length;
    }
  };
  std::vector<std::uint8_t> root;
  if (ReadAttributeData(record, kAttrIndexRoot, name, &root, 65536) && root.size() >= 32)
    take_entries(root.data() + 16, root.size() - 16);
  std::vector<std::uint8_t> blocks;
  if (!ReadAttributeData(record, kAttrIndexAllocation, name, &blocks, 64u << 20)) return;
  for (std::size_t off = 0; off + index_block_size_ <= blocks.size(); off += index_block_size_) {
    std::uint8_t* block = blocks.data() + off;
    if (std::memcmp(block, "INDX", 4) != 0 || !ApplyFixups(block, index_block_size_, kFixupStride))
      continue;
    take_entries(block + 0x18, index_block_size_ - 0x18);
  }
}

void NtfsVolume::ReadObjectIdIndex() {
  std::uint64_t objid = Lookup(kExtendRecord, u"$ObjId");
  if (objid == kNone) return;
  ForEachIndexEntry(objid, u"$O", [&](const std::uint8_t* e, std::uint16_t length) {
    std::uint16_t data_offset = LoadLe16(e);
    std::uint16_t data_length = LoadLe16(e + 2);
    if (LoadLe16(e + 10) != 16 || data_length < 56 || data_offset + 56u > length || length < 32)
      return;
    std::uint64_t file = LoadLe64(e + data_offset) & 0xFFFFFFFFFFFFull;
    std::array<std::uint8_t, 48> birth;
    std::memcpy(birth.data(), e + data_offset + 8, 48);
    birth_ids_[std::string(reinterpret_cast<const char*>(e + 16), 16)].emplace_back(file, birth);
  });
}

void NtfsVolume::ReadIndexNames() {
  // Names the records already hold, so that the index adds only lost ones.
  std::set<std::tuple<std::uint64_t, std::uint64_t, std::u16string>> known;
  for (std::uint32_t i = 0; i < names_.size(); ++i)
    known.emplace(names_[i].record, names_[i].parent, NameText(i));
  const std::uint64_t folders = records_.size();
  for (std::uint64_t folder = 0; folder < folders; ++folder) {
    if (!IsFolder(folder)) continue;
    ForEachIndexName(folder, [&](std::uint64_t reference, const std::uint8_t* key, std::uint16_t,
                                 std::u16string_view text) {
      std::uint64_t file = reference & 0xFFFFFFFFFFFFull;
      if (!InUse(file) || reference >> 48 != records_[file].sequence ||
          (LoadLe64(key) & 0xFFFFFFFFFFFFull) != folder)
        return;
      std::tuple<std::uint64_t, std::uint64_t, std::u16string> name(file, folder, text);
      if (known.count(name) == 0 &&
          AddName(file, key, static_cast<std::uint8_t>(text.size())) != kNone)
        known.insert(std::move(name));
    });
  }
}

namespace {

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

std::string DescribeDamage(std::string_view image, const NtfsVolume::Damage& damage) {
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
