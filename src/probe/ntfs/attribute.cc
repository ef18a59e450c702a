#include "probe/ntfs/attribute.h"

#include <algorithm>

#include "probe/le.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::size_t kType = 0x00;
constexpr std::size_t kLength = 0x04;
constexpr std::size_t kNonResident = 0x08;
constexpr std::size_t kNameLength = 0x09;
constexpr std::size_t kNameOffset = 0x0A;
constexpr std::size_t kValueLength = 0x10;
constexpr std::size_t kValueOffset = 0x14;
constexpr std::size_t kStartVcn = 0x10;
constexpr std::size_t kLastVcn = 0x18;
constexpr std::size_t kRunsOffset = 0x20;
constexpr std::size_t kAllocatedSize = 0x28;
constexpr std::size_t kDataSize = 0x30;
constexpr std::uint32_t kResidentHeader = 24;
constexpr std::uint32_t kNonResidentHeader = 64;
// The type and length fields, all that is read before the length is known.
constexpr std::uint32_t kMinimumHeader = 16;

}  // namespace

AttributeWalker::AttributeWalker(const std::uint8_t* record, std::uint32_t size)
    : record_(record),
      end_(std::min(LoadLe32(record + mft_record::kBytesInUse), size)),
      pos_(LoadLe16(record + mft_record::kFirstAttribute)) {}

bool AttributeWalker::Next(NtfsAttribute* a) {
  constexpr std::uint32_t kTypeSize = 4;
  if (end_ < kTypeSize || pos_ > end_ - kTypeSize) return Stop();
  const std::uint8_t* p = record_ + pos_;
  *a = NtfsAttribute{};
  a->type = LoadLe32(p + kType);
  if (a->type == kAttrEnd) return false;
  if (pos_ > end_ - std::min(end_, kMinimumHeader)) return Stop();
  std::uint32_t length = LoadLe32(p + kLength);
  if (length < kResidentHeader || length % 8 != 0 || length > end_ - pos_) return Stop();
  a->resident = p[kNonResident] == 0;
  std::uint8_t name_length = p[kNameLength];
  std::uint16_t name_offset = LoadLe16(p + kNameOffset);
  if (name_length != 0 && name_offset + 2u * name_length > length) return Stop();
  name_units_.resize(name_length);
  for (std::uint8_t i = 0; i < name_length; ++i) name_units_[i] = LoadLe16(p + name_offset + 2 * i);
  a->name = name_units_;
  if (a->resident) {
    std::uint32_t value_length = LoadLe32(p + kValueLength);
    std::uint16_t value_offset = LoadLe16(p + kValueOffset);
    if (value_offset + std::uint64_t{value_length} > length) return Stop();
    a->value = p + value_offset;
    a->value_length = value_length;
  } else {
    if (length < kNonResidentHeader) return Stop();
    std::uint16_t runs_offset = LoadLe16(p + kRunsOffset);
    if (runs_offset >= length) return Stop();
    a->start_vcn = LoadLe64(p + kStartVcn);
    a->last_vcn = LoadLe64(p + kLastVcn);
    a->allocated_size = LoadLe64(p + kAllocatedSize);
    a->runs = p + runs_offset;
    a->runs_length = length - runs_offset;
    a->data_size = LoadLe64(p + kDataSize);
  }
  pos_ += length;
  return true;
}

bool ReadAttributeValue(VolumeReader& reader, const ClusterGeometry& geometry,
                        const NtfsAttribute& a, std::vector<std::uint8_t>* data,
                        std::size_t limit) {
  if (a.resident) {
    if (a.value_length > limit) return false;
    data->assign(a.value, a.value + a.value_length);
    return true;
  }
  if (a.start_vcn != 0 || a.data_size > limit) return false;
  Runs runs;
  if (!DecodeRuns(a.runs, a.runs_length, geometry, &runs)) return false;
  data->assign(a.data_size, 0);
  std::uint64_t pos = 0;
  for (const auto& [start, length] : runs) {
    if (pos >= a.data_size) break;
    std::uint64_t n = std::min(length, a.data_size - pos);
    if (start != kSparse && !reader.ReadAll(start, data->data() + pos, n)) return false;
    pos += n;
  }
  return pos == a.data_size;
}

}  // namespace qst
