#include "probe/ntfs/boot-sector.h"

#include <cstring>

#include "probe/le.h"

namespace qst {
namespace {

constexpr std::size_t kOemId = 0x03;
constexpr std::size_t kBytesPerSector = 0x0B;
constexpr std::size_t kSectorsPerCluster = 0x0D;
constexpr std::size_t kTotalSectors = 0x28;
constexpr std::size_t kMftCluster = 0x30;
constexpr std::size_t kMirrorCluster = 0x38;
constexpr std::size_t kSerial = 0x48;
constexpr std::size_t kRecordSize = 0x40;
constexpr std::size_t kIndexBlockSize = 0x44;
constexpr char kNtfsOemId[] = "NTFS    ";

// No volume is larger than 2^48 sectors: byte offsets within it never
// overflow.
constexpr std::uint64_t kMaxSectors = 1ull << 48;

// A size given in clusters, or as a power of two of bytes when negative.
std::uint64_t SizeOf(std::int8_t value, std::uint64_t cluster_size) {
  if (value > 0) return std::uint64_t(value) * cluster_size;
  return value < 0 && value > -32 ? 1ull << -value : 0;
}

}  // namespace

bool ParseBootSector(std::span<const std::uint8_t, kBootSectorSize> bytes, BootSector* out,
                     std::string* error) {
  const std::uint8_t* boot = bytes.data();
  if (std::memcmp(boot + kOemId, kNtfsOemId, 8) != 0) {
    *error = "no NTFS boot sector";
    return false;
  }
  std::uint32_t bytes_per_sector = LoadLe16(boot + kBytesPerSector);
  std::uint32_t sectors_per_cluster = boot[kSectorsPerCluster];
  // Beyond 2^16 sectors a cluster is damage.
  if (sectors_per_cluster > 0x80)
    sectors_per_cluster = 256 - sectors_per_cluster <= 16 ? 1u << (256 - sectors_per_cluster) : 0;
  auto damaged = [&] {
    *error = "damaged boot sector";
    return false;
  };
  if (bytes_per_sector < 256 || bytes_per_sector > 4096 ||
      (bytes_per_sector & (bytes_per_sector - 1)) != 0 || sectors_per_cluster == 0 ||
      sectors_per_cluster > 65536)
    return damaged();
  BootSector s;
  s.bytes_per_sector = bytes_per_sector;
  s.cluster_size = std::uint64_t{bytes_per_sector} * sectors_per_cluster;
  std::uint64_t record_size = SizeOf(static_cast<std::int8_t>(boot[kRecordSize]), s.cluster_size);
  std::uint64_t index_size =
      SizeOf(static_cast<std::int8_t>(boot[kIndexBlockSize]), s.cluster_size);
  std::uint64_t total_sectors = LoadLe64(boot + kTotalSectors);
  std::uint64_t mft_lcn = LoadLe64(boot + kMftCluster);
  std::uint64_t mirror_lcn = LoadLe64(boot + kMirrorCluster);
  if (record_size < 512 || record_size > 65536 || record_size % bytes_per_sector != 0 ||
      index_size < 512 || index_size > 65536 || total_sectors == 0 || total_sectors > kMaxSectors ||
      mft_lcn >= total_sectors / sectors_per_cluster + 1)
    return damaged();
  s.record_size = static_cast<std::uint32_t>(record_size);
  s.index_block_size = static_cast<std::uint32_t>(index_size);
  s.volume_clusters = total_sectors / sectors_per_cluster + 1;
  s.volume_bytes = total_sectors * bytes_per_sector;
  s.mft_offset = mft_lcn * s.cluster_size;
  s.mirror_offset = mirror_lcn < s.volume_clusters ? mirror_lcn * s.cluster_size : ~0ull;
  s.serial = LoadLe64(boot + kSerial);
  *out = s;
  return true;
}

bool HoldsNtfs(VolumeReader& image, std::uint64_t offset) {
  char oem[8];
  return image.ReadAll(offset + kOemId, oem, sizeof oem) && std::memcmp(oem, kNtfsOemId, 8) == 0;
}

}  // namespace qst
