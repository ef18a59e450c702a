// NTFS volumes built byte by byte: a boot sector, an MFT and its mirror,
// the root folder and whatever records a test adds, sound or damaged.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "probe/memory-reader.h"
#include "probe/ntfs/ntfs-volume.h"

namespace qst::testing::ntfs {

inline constexpr std::size_t kCluster = 4096;
inline constexpr std::size_t kRecord = 1024;
inline constexpr std::uint64_t kMftCluster = 4;
inline constexpr std::uint64_t kMirrorCluster = 2;
inline constexpr std::uint64_t kRecords = 64;

inline void Put(std::string& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A volume in memory that counts the bytes asked of it.
class CountingReader : public MemoryVolumeReader {
 public:
  using MemoryVolumeReader::MemoryVolumeReader;
  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    read += size;
    return MemoryVolumeReader::Read(offset, buffer, size);
  }
  // Bytes shown in place count as read.
  const std::uint8_t* View(std::uint64_t offset, std::size_t size) override {
    read += size;
    return MemoryVolumeReader::View(offset, size);
  }
  std::uint64_t read = 0;
};

// One MFT record under construction: attributes are appended, then the
// record is closed with its end marker and update-sequence fixups.
class RecordBuilder {
 public:
  RecordBuilder(std::uint16_t flags, std::uint16_t sequence, std::uint64_t base = 0)
      : bytes_(kRecord, '\0') {
    bytes_.replace(0, 4, "FILE");
    Put(bytes_, 4, 48, 2);  // update sequence array at 48, 3 entries
    Put(bytes_, 6, 3, 2);
    Put(bytes_, 16, sequence, 2);
    Put(bytes_, 20, 56, 2);  // first attribute
    Put(bytes_, 22, flags, 2);
    Put(bytes_, 28, kRecord, 4);
    Put(bytes_, 32, base, 8);
    end_ = 56;
  }

  RecordBuilder& Resident(std::uint32_t type, const std::string& value,
                          const std::u16string& name = u"") {
    std::size_t name_at = 24, value_at = (name_at + 2 * name.size() + 7) / 8 * 8;
    std::size_t length = (value_at + value.size() + 7) / 8 * 8;
    std::string a(length, '\0');
    Put(a, 0, type, 4);
    Put(a, 4, length, 4);
    a[9] = static_cast<char>(name.size());
    Put(a, 10, name_at, 2);
    for (std::size_t i = 0; i < name.size(); ++i) Put(a, name_at + 2 * i, name[i], 2);
    Put(a, 16, value.size(), 4);
    Put(a, 20, value_at, 2);
    a.replace(value_at, value.size(), value);
    return Raw(a);
  }

  RecordBuilder& NonResident(std::uint32_t type, const std::string& runs, std::uint64_t size,
                             std::uint64_t start_vcn = 0, const std::u16string& name = u"") {
    std::size_t runs_at = (64 + 2 * name.size() + 7) / 8 * 8;
    std::size_t length = (runs_at + runs.size() + 1 + 7) / 8 * 8;
    std::string a(length, '\0');
    Put(a, 0, type, 4);
    Put(a, 4, length, 4);
    a[8] = 1;
    a[9] = static_cast<char>(name.size());
    Put(a, 10, 64, 2);
    for (std::size_t i = 0; i < name.size(); ++i) Put(a, 64 + 2 * i, name[i], 2);
    Put(a, 16, start_vcn, 8);
    Put(a, 32, runs_at, 2);  // run list offset
    Put(a, 40, size, 8);
    Put(a, 48, size, 8);
    Put(a, 56, size, 8);
    a.replace(runs_at, runs.size(), runs);
    return Raw(a);
  }

  // An attribute exactly as given, however damaged.
  RecordBuilder& Raw(const std::string& attribute) {
    bytes_.replace(end_, attribute.size(), attribute);
    end_ += attribute.size();
    return *this;
  }

  std::string Close() const {
    std::string r = bytes_;
    Put(r, end_, 0xFFFFFFFF, 4);
    Put(r, 24, end_ + 8, 4);
    Put(r, 48, 1, 2);  // update sequence number 1
    for (int i = 1; i <= 2; ++i) {
      std::size_t tail = i * 512 - 2;
      r[48 + 2 * i] = r[tail];
      r[49 + 2 * i] = r[tail + 1];
      Put(r, tail, 1, 2);
    }
    return r;
  }

 private:
  std::string bytes_;
  std::size_t end_;
};

// An $ATTRIBUTE_LIST value naming, for each of `records`, a $FILE_NAME it
// holds.
inline std::string AttributeList(std::initializer_list<std::uint64_t> records) {
  std::string list;
  for (std::uint64_t record : records) {
    std::string entry(32, '\0');
    Put(entry, 0, 0x30, 4);
    Put(entry, 4, 32, 2);
    Put(entry, 16, record | 1ull << 48, 8);
    list += entry;
  }
  return list;
}

inline std::string StandardInformation(std::uint64_t creation) {
  std::string v(72, '\0');
  for (int i = 0; i < 4; ++i) Put(v, 8 * i, creation + i, 8);
  return v;
}

inline std::string FileName(std::uint64_t parent, std::uint16_t parent_sequence,
                            const std::u16string& name, std::uint8_t space = 1) {
  std::string v(66 + 2 * name.size(), '\0');
  Put(v, 0, parent | std::uint64_t{parent_sequence} << 48, 8);
  v[64] = static_cast<char>(name.size());
  v[65] = static_cast<char>(space);
  for (std::size_t i = 0; i < name.size(); ++i) Put(v, 66 + 2 * i, name[i], 2);
  return v;
}

// A 1 MiB volume: boot sector, $MFTMirr at cluster 2, a 64-record MFT at
// cluster 4 whose record 0 maps it, the root folder, and the files added.
class VolumeBuilder {
 public:
  VolumeBuilder() : bytes_(256 * kCluster, '\0') {
    bytes_.replace(3, 8, "NTFS    ");
    Put(bytes_, 11, 512, 2);
    bytes_[13] = 8;
    Put(bytes_, 0x28, 256 * 8 - 1, 8);
    Put(bytes_, 0x30, kMftCluster, 8);
    Put(bytes_, 0x38, kMirrorCluster, 8);
    bytes_[0x40] = static_cast<char>(-10);
    bytes_[0x44] = 1;
    SetMftRuns(std::string("\x11\x10\x04", 3));
    Add(5, RecordBuilder(3, 5)
               .Resident(0x10, StandardInformation(500))
               .Resident(0x30, FileName(5, 5, u"."))
               .Close());
  }

  void SetMftRuns(const std::string& runs, std::uint64_t size = kRecords * kRecord) {
    Add(0, RecordBuilder(1, 1)
               .Resident(0x10, StandardInformation(100))
               .NonResident(0x80, runs, size)
               .Close());
  }

  // A file of the root: record number, name, creation time.
  void AddFile(std::uint64_t number, const std::u16string& name, std::uint64_t creation) {
    Add(number, RecordBuilder(1, 1)
                    .Resident(0x10, StandardInformation(creation))
                    .Resident(0x30, FileName(5, 5, name))
                    .Close());
  }

  void Add(std::uint64_t number, const std::string& record) {
    bytes_.replace(kMftCluster * kCluster + number * kRecord, kRecord, record);
    if (number == 0) bytes_.replace(kMirrorCluster * kCluster, kRecord, record);
  }

  std::string& bytes() { return bytes_; }
  std::size_t RecordAt(std::uint64_t number) const {
    return kMftCluster * kCluster + number * kRecord;
  }

 private:
  std::string bytes_;
};

// A record whose attribute walk, read naively, runs in circles: after its
// $FILE_NAME (a 5-letter name: 104 bytes) an attribute length that wraps
// the position back onto it.
inline std::string WrappingRecord(std::uint64_t parent, std::uint16_t parent_sequence,
                                  const std::u16string& five_letters) {
  std::string wrap(24, '\0');
  Put(wrap, 0, 0x40, 4);
  Put(wrap, 4, 0x100000000 - (24 + 66 + 10 + 7) / 8 * 8, 4);
  return RecordBuilder(1, 1)
      .Resident(0x30, FileName(parent, parent_sequence, five_letters))
      .Raw(wrap)
      .Resident(0x10, StandardInformation(1))
      .Close();
}

// The $INDEX_ROOT value of $ObjId:$O with one entry, giving record 16 the
// object ID `id` and the 48 bytes of birth IDs `birth`; the index header
// says its first entry lies at `first`.
inline std::string ObjectIdIndexRoot(const std::string& id, const std::string& birth,
                                     std::uint32_t first) {
  std::string entry(88, '\0');
  Put(entry, 0, 32, 2);
  Put(entry, 2, 56, 2);
  Put(entry, 8, 88, 2);
  Put(entry, 10, 16, 2);
  entry.replace(16, 16, id);
  Put(entry, 32, 16 | 1ull << 48, 8);
  entry.replace(40, 48, birth);
  std::string last(16, '\0');
  Put(last, 8, 16, 2);
  Put(last, 12, 2, 2);
  std::string root(32, '\0');
  Put(root, 16, first, 4);
  Put(root, 20, 16 + entry.size() + last.size(), 4);
  return root + entry + last;
}

// $Extend (record 11) and $Extend\$ObjId (record 24) with `root` as its
// index root.
inline void AddObjectIdIndex(VolumeBuilder& b, const std::string& root) {
  b.Add(11, RecordBuilder(3, 11)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(5, 5, u"$Extend"))
                .Close());
  b.Add(24, RecordBuilder(1, 1)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(11, 11, u"$ObjId"))
                .Resident(0x90, root, u"$O")
                .Close());
}

// A built volume opened with the reader's defaults, and why it could not be.
struct Opened {
  std::unique_ptr<MemoryVolumeReader> reader;
  std::unique_ptr<NtfsVolume> volume;
  std::string error;
};

inline Opened Open(const std::string& bytes) {
  Opened o;
  o.reader = std::make_unique<MemoryVolumeReader>(bytes);
  (void)NtfsVolume::Open(*o.reader, {}, &o.volume, &o.error);
  return o;
}

}  // namespace qst::testing::ntfs
