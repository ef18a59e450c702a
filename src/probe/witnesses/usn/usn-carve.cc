#include "probe/witnesses/usn/usn-carve.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "probe/ntfs/attribute.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::uint64_t kBitmapRecord = 6;
// Bytes of free clusters read at a time, and the most a record can take
// (a version 3 header and a name of 255 units, rounded to 8).
constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kLongestRecord = 0x250;
constexpr FILETIME kDay = 86400 * kTicksPerSecond;

class Carver {
 public:
  Carver(const NtfsVolume& volume, FILETIME latest,
         const std::function<void(const UsnRecord&)>& visit, CarvedCount* count)
      : volume_(volume),
        earliest_(volume.Created() > 2 * kDay ? volume.Created() - 2 * kDay : 0),
        latest_(latest),
        visit_(visit),
        count_(*count) {}

  // The free clusters from `first` on, `clusters` of them; false once they
  // lie past the volume's bytes (so do all after them).
  bool Run(std::uint64_t first, std::uint64_t clusters) {
    const std::uint64_t size = volume_.ClusterSize();
    std::uint64_t at = first * size;
    const std::uint64_t end = at + clusters * size;
    // Whole clusters at a time, however large they are.
    const std::uint64_t chunk = std::max<std::uint64_t>(kChunk / size, 1) * size;
    std::size_t kept = 0;  // bytes carried over from the chunk before
    while (at < end) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, end - at));
      buffer_.resize(kept + take);
      const ReadStatus read = volume_.ReadBytes(at, buffer_.data() + kept, take);
      if (read == ReadStatus::kPastEnd) return false;
      if (read != ReadStatus::kOk) {
        kept = 0;  // a stretch that cannot be read parts what lies around it
        at += take;
        continue;
      }
      count_.clusters += take / size;
      count_.bytes += take;
      at += take;
      const std::size_t scanned =
          at < end ? buffer_.size() - std::min(buffer_.size(), kLongestRecord) : buffer_.size();
      std::size_t pos = Scan(scanned);
      // What a record may still start in is scanned with the next chunk.
      kept = buffer_.size() - pos;
      std::memmove(buffer_.data(), buffer_.data() + pos, kept);
    }
    return true;
  }

 private:
  // Looks for records starting before `limit`; where the scan stopped.
  std::size_t Scan(std::size_t limit) {
    std::size_t pos = 0;
    while (pos < limit) {
      const std::size_t length = DecodeUsnRecord(buffer_.data() + pos, buffer_.size() - pos, &r_);
      if (length != 0 && Plausible()) {
        ++count_.records;
        visit_(r_);
        pos += length;
      } else {
        pos += 8;
      }
    }
    return std::min(pos, buffer_.size());
  }

  bool Plausible() const {
    const std::uint64_t records = volume_.RecordLimit();
    return (r_.major == 2 || r_.major == 3) && r_.reason != 0 && r_.usn % 8 == 0 &&
           r_.usn < (std::uint64_t{1} << 62) && RecordNumber(r_.file) < records &&
           RecordNumber(r_.parent) < records && r_.time >= earliest_ && r_.time <= latest_;
  }

  const NtfsVolume& volume_;
  const FILETIME earliest_, latest_;
  const std::function<void(const UsnRecord&)>& visit_;
  CarvedCount& count_;
  std::vector<std::uint8_t> buffer_;
  UsnRecord r_;
};

}  // namespace

void CarveUsnRecords(const NtfsVolume& volume, FILETIME latest,
                     const std::function<void(const UsnRecord&)>& visit, CarvedCount* count) {
  std::unique_ptr<VolumeReader> bitmap;
  NtfsVolume::StreamLoss loss;
  const std::uint64_t clusters = volume.ClusterCount();
  if (clusters == 0 || volume.ClusterSize() == 0 ||
      !volume.OpenStream(kBitmapRecord, kAttrData, u"", &bitmap, &loss)) {
    count->bitmap_lost = clusters != 0;
    return;
  }
  if (loss.any()) count->bitmap_lost = true;
  Carver carver(volume, latest, visit, count);
  std::vector<std::uint8_t> bits(64 * 1024);
  std::uint64_t run_start = 0, run_length = 0;
  bool within = true;  // the runs so far lie inside the volume's bytes
  auto flush = [&] {
    if (run_length != 0 && within) within = carver.Run(run_start, run_length);
    run_length = 0;
  };
  // As many clusters as the bitmap has bits for, and no more than the
  // volume has: a crafted count costs no walk past either.
  const std::uint64_t known = std::min(clusters, bitmap->Size() * 8);
  if (known < clusters) count->bitmap_lost = true;
  for (std::uint64_t cluster = 0; cluster < known && within;) {
    const std::uint64_t byte = cluster / 8;
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(bits.size(), (known + 7) / 8 - byte));
    // Bits that cannot be read, or lie in a hole of the stream, are taken
    // for clusters in use: nothing is carved from them.
    const bool read = bitmap->Read(byte, bits.data(), take) == ReadStatus::kOk &&
                      bitmap->DataFrom(byte) == byte && bitmap->HoleFrom(byte) >= byte + take;
    if (!read) {
      count->bitmap_lost = true;
      flush();
      cluster = (byte + take) * 8;
      continue;
    }
    for (std::size_t i = 0; i < take * 8 && cluster < known; ++i, ++cluster) {
      if ((bits[i / 8] >> (i % 8) & 1) != 0) {
        flush();
      } else {
        if (run_length == 0) run_start = cluster;
        ++run_length;
      }
    }
  }
  flush();
}

std::string DescribeCarving(const std::string& name, const CarvedCount& count) {
  char mib[32];
  std::snprintf(mib, sizeof mib, "%.1f", static_cast<double>(count.bytes) / (1 << 20));
  std::string line = "qst: " + name + ": " + std::to_string(count.clusters) + " free clusters (" +
                     mib + " MiB) read for journal records, " + std::to_string(count.records) +
                     " carved";
  if (count.bitmap_lost) line += "; part of $Bitmap could not be read: its clusters were not";
  return line + "\n";
}

}  // namespace qst
