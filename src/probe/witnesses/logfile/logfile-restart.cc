#include "probe/witnesses/logfile/logfile-restart.h"

#include <cstring>

#include "probe/le.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::size_t kSystemPageSize = 0x10;
constexpr std::size_t kLogPageSize = 0x14;
constexpr std::size_t kRestartOffset = 0x18;
constexpr std::size_t kMinor = 0x1A;
constexpr std::size_t kMajor = 0x1C;

constexpr std::size_t kCurrentLsn = 0x00;
constexpr std::size_t kLogClients = 0x08;
constexpr std::size_t kFlags = 0x0E;
constexpr std::size_t kSequenceBits = 0x10;
constexpr std::size_t kAreaLength = 0x14;
constexpr std::size_t kClientArrayOffset = 0x16;
constexpr std::size_t kFileSize = 0x18;
constexpr std::size_t kRecordHeaderLength = 0x24;
constexpr std::size_t kPageDataOffset = 0x26;
constexpr std::size_t kAreaSize = 0x30;
constexpr std::uint16_t kClean = 0x0002;

constexpr std::size_t kClientOldestLsn = 0x00;
constexpr std::size_t kClientRestartLsn = 0x08;
constexpr std::size_t kClientSize = 0xA0;

constexpr bool PowerOfTwo(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// A field out of its range is read as what NTFS writes there, and said:
// the pages may still hold every record. An LSN keeps the offset / 8 of
// its record below the sequence number: the bits left must reach the end
// of the file (the caller, who knows the file, takes its size and the bits
// it needs where these are impossible).
void RepairFields(LogRestart* out) {
  LogRestart& r = *out;
  auto repaired = [&r](const char* field) {
    r.repaired += (r.repaired.empty() ? "" : ", ") + std::string(field);
  };
  if (r.sequence_bits < 4 || r.sequence_bits > 60) {
    repaired("sequence number bits");
    r.sequence_bits = 0;
  }
  if (r.file_size < 2 * r.system_page_size ||
      (r.sequence_bits != 0 && r.file_size >> (64 - r.sequence_bits + 3) != 0)) {
    repaired("file size");
    r.file_size = 0;
  }
  if (r.record_header_length < 0x30) {
    repaired("record header length");
    r.record_header_length = 0x30;
  }
  if (r.page_data_offset < 0x28 || r.page_data_offset >= r.log_page_size ||
      r.page_data_offset % 8 != 0) {
    repaired("page data offset");
    // The page header, then its update sequence array, 8-byte aligned.
    r.page_data_offset =
        static_cast<std::uint16_t>((0x28 + 2 * (r.log_page_size / 512 + 1) + 7) / 8 * 8);
  }
}

}  // namespace

bool DecodeLogRestart(std::uint8_t* page, std::size_t size, LogRestart* out) {
  if (size < kLogRestartHeader ||
      (std::memcmp(page, "RSTR", 4) != 0 && std::memcmp(page, "CHKD", 4) != 0))
    return false;
  LogRestart r;
  r.system_page_size = LoadLe32(page + kSystemPageSize);
  r.log_page_size = LoadLe32(page + kLogPageSize);
  r.minor = static_cast<std::int16_t>(LoadLe16(page + kMinor));
  r.major = static_cast<std::int16_t>(LoadLe16(page + kMajor));
  const std::size_t area = LoadLe16(page + kRestartOffset);
  if (!PowerOfTwo(r.system_page_size) || r.system_page_size < kFixupStride ||
      r.system_page_size > size || !PowerOfTwo(r.log_page_size) || r.log_page_size < kFixupStride ||
      r.log_page_size > (1u << 16) || !ApplyFixups(page, r.system_page_size) ||
      area < kLogRestartHeader || area + kAreaSize > r.system_page_size)
    return false;
  const std::uint8_t* a = page + area;
  r.current_lsn = LoadLe64(a + kCurrentLsn);
  r.clean = (LoadLe16(a + kFlags) & kClean) != 0;
  r.sequence_bits = LoadLe32(a + kSequenceBits);
  r.file_size = LoadLe64(a + kFileSize);
  r.record_header_length = LoadLe16(a + kRecordHeaderLength);
  r.page_data_offset = LoadLe16(a + kPageDataOffset);
  const std::size_t area_length = LoadLe16(a + kAreaLength);
  RepairFields(&r);
  if (area + area_length > r.system_page_size) {
    *out = r;
    out->has_client = false;
    return true;
  }
  const std::size_t clients = LoadLe16(a + kLogClients);
  const std::size_t client = area + LoadLe16(a + kClientArrayOffset);
  if (clients > 0 && client + kClientSize <= r.system_page_size) {
    r.has_client = true;
    r.oldest_lsn = LoadLe64(page + client + kClientOldestLsn);
    r.client_restart_lsn = LoadLe64(page + client + kClientRestartLsn);
  }
  *out = r;
  return true;
}

}  // namespace qst
