// USN records and their pages built as Windows writes them, for the tests
// of the change journal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs_builder.h"
#include "probe/witnesses/usn/usn-journal.h"

namespace qst::testing::usn {

using ntfs::Put;

inline constexpr FILETIME kT0 = 133500000000000000;  // 2024-01-17 21:20 UTC
inline constexpr FILETIME kSecond = 10000000;

inline std::uint64_t Ref(std::uint64_t record, std::uint16_t sequence) {
  return record | std::uint64_t{sequence} << 48;
}

// A record of `version` (2, 3 or 4) as Windows writes it.
inline std::string UsnRecordBytes(int version, std::uint64_t file, std::uint64_t parent,
                                  std::uint64_t usn, FILETIME time, std::uint32_t reason,
                                  const std::u16string& name) {
  const std::size_t header = version == 2 ? 0x3C : version == 3 ? 0x4C : 0x40;
  const std::size_t names = version == 4 ? 0 : 2 * name.size();
  std::string r((header + names + 7) / 8 * 8, '\0');
  Put(r, 0, r.size(), 4);
  Put(r, 4, version, 2);
  Put(r, 8, file, 8);
  if (version == 2) {
    Put(r, 0x10, parent, 8);
    Put(r, 0x18, usn, 8);
    Put(r, 0x20, time, 8);
    Put(r, 0x28, reason, 4);
    Put(r, 0x34, 0x20, 4);
    Put(r, 0x38, names, 2);
    Put(r, 0x3A, header, 2);
  } else if (version == 3) {
    Put(r, 0x18, parent, 8);
    Put(r, 0x28, usn, 8);
    Put(r, 0x30, time, 8);
    Put(r, 0x38, reason, 4);
    Put(r, 0x48, names, 2);
    Put(r, 0x4A, header, 2);
  } else {
    Put(r, 0x18, parent, 8);
    Put(r, 0x28, usn, 8);
    Put(r, 0x30, reason, 4);
  }
  for (std::size_t i = 0; i < names / 2; ++i) Put(r, header + 2 * i, name[i], 2);
  return r;
}

// A V2 record made a folder's: its attributes say so.
inline std::string Folder(std::string v2) {
  Put(v2, 0x34, 0x10, 4);
  return v2;
}

// Records laid out in pages as Windows does: one never straddles a page,
// zeros pad each page's end.
inline std::string Pages(const std::vector<std::string>& records) {
  std::string pages;
  for (const std::string& r : records) {
    std::size_t used = pages.size() % kUsnPage;
    if (used + r.size() > kUsnPage) pages.append(kUsnPage - used, '\0');
    pages += r;
  }
  pages.append((kUsnPage - pages.size() % kUsnPage) % kUsnPage, '\0');
  return pages;
}

inline std::vector<UsnRecord> Records(const std::string& bytes, std::uint64_t* damaged = nullptr) {
  std::vector<UsnRecord> records;
  std::uint64_t d =
      ForEachUsnRecord(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                       [&](const UsnRecord& r) { records.push_back(r); });
  if (damaged != nullptr) *damaged = d;
  return records;
}

// $Extend (record 11) and in it $UsnJrnl (record 25), whose $J of 9
// clusters holds `journal` at cluster 200; with `first_piece_lost`, the
// piece of $J that starts at its first cluster is not there.
inline void AddJournal(ntfs::VolumeBuilder& b, const std::string& journal,
                       bool first_piece_lost = false) {
  using ntfs::RecordBuilder, ntfs::StandardInformation, ntfs::FileName, ntfs::kCluster;
  b.Add(11, RecordBuilder(3, 11)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(5, 5, u"$Extend"))
                .Close());
  b.bytes().replace(200 * kCluster, journal.size(), journal);
  b.Add(25, RecordBuilder(1, 1)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(11, 11, u"$UsnJrnl"))
                .NonResident(0x80,
                             first_piece_lost ? std::string("\x21\x01\xC8\x00", 4)
                                              : std::string("\x01\x08\x21\x01\xC8\x00", 6),
                             9 * kCluster, first_piece_lost ? 8 : 0, u"$J")
                .Close());
}

}  // namespace qst::testing::usn
