// The NTFS reader's names: every name a volume holds listed once where a
// folder holds it, whatever hides or invents one; and the blocks of
// indexes read once each, and the damage summary's words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "ntfs_builder.h"
#include "probe/memory-reader.h"
#include "probe/ntfs/index.h"
#include "probe/ntfs/mft-record.h"
#include "probe/ntfs/ntfs-volume.h"

namespace qst {
namespace {

using namespace testing::ntfs;

std::string Ascii(std::u16string_view text) { return std::string(text.begin(), text.end()); }

// Every path a walk of the whole volume lists, sorted: folders end in "\",
// orphans are under the made-up folder's name (not listed itself).
std::vector<std::string> Paths(NtfsVolume& v) {
  std::vector<std::string> paths;
  std::set<std::uint64_t> entered;
  std::function<void(std::uint64_t, const std::string&)> walk = [&](std::uint64_t folder,
                                                                    const std::string& prefix) {
    if (!entered.insert(folder).second) return;
    NtfsVolume::NameBuffer buffer;
    for (std::span<const std::uint32_t> names : {v.Children(folder), v.DeletedChildren(folder)}) {
      for (std::uint32_t name : names) {
        std::uint64_t record = v.RecordOfName(name);
        std::string path =
            prefix + Ascii(v.NameText(name, buffer)) + (v.IsFolder(record) ? "\\" : "");
        paths.push_back(path);
        if (v.IsFolder(record)) walk(record, path);
      }
    }
    if (folder == NtfsVolume::kRootRecord && v.IsFolder(NtfsVolume::kOrphanFolder))
      walk(NtfsVolume::kOrphanFolder, Ascii(v.OrphanFolderName()) + "\\");
  };
  walk(NtfsVolume::kRootRecord, "");
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string Folder(std::uint64_t parent, std::uint16_t parent_sequence, const std::u16string& name,
                   std::uint16_t flags = 3, std::uint16_t sequence = 1) {
  return RecordBuilder(flags, sequence)
      .Resident(0x10, StandardInformation(1))
      .Resident(0x30, FileName(parent, parent_sequence, name))
      .Close();
}

std::string File(std::uint64_t parent, std::uint16_t parent_sequence, const std::u16string& name,
                 std::uint16_t flags = 1) {
  return Folder(parent, parent_sequence, name, flags);
}

// Hand-made volumes whose names would hide a file or invent one: every name
// is listed once, under the folder that holds it or among the orphans, and
// the summary says what was worked around.
TEST(NtfsReader, EveryNameIsListedOnceWhereAFolderHoldsIt) {
  struct Case {
    const char* what;
    bool deleted;  // -a
    std::function<void(VolumeBuilder&)> build;
    std::vector<std::string> paths;
    const char* damage;
  };
  const Case cases[] = {
      {"a parent that is a file",
       false,
       [](VolumeBuilder& b) {
         b.AddFile(16, u"f.txt", 1);
         b.Add(17, File(16, 1, u"child.txt"));
       },
       {"$Orphan\\child.txt", "f.txt"},
       "qst: v: 1 name with a parent reference that fails\n"},
      {"a folder's index that breaks off while names are placed",
       false,
       [](VolumeBuilder& b) {
         b.AddFile(16, u"f.txt", 1);
         b.Add(17, File(16, 1, u"child.txt"));
         // An index root whose first entry lies past its node.
         std::string root(32, '\0');
         Put(root, 16, 0x1000, 4);
         Put(root, 20, 32, 4);
         b.Add(18, RecordBuilder(3, 1)
                       .Resident(0x10, StandardInformation(1))
                       .Resident(0x30, FileName(5, 5, u"dir"))
                       .Resident(0x90, root, u"$I30")
                       .Close());
       },
       {"$Orphan\\child.txt", "dir\\", "f.txt"},
       "qst: v: 1 folder index read in part while placing names, 1 name with a parent "
       "reference that fails\n"},
      {"a parent of another sequence number",
       false,
       [](VolumeBuilder& b) {
         b.Add(16, Folder(5, 5, u"dir"));
         b.Add(17, File(16, 7, u"x"));
         b.Add(18, File(16, 1, u"y"));
       },
       {"$Orphan\\x", "dir\\", "dir\\y"},
       "qst: v: 1 name with a parent reference that fails\n"},
      {"a live folder below its own grandchild",
       false,
       [](VolumeBuilder& b) {
         b.Add(16, Folder(5, 5, u"a"));
         b.Add(17, Folder(19, 1, u"b"));
         b.Add(18, Folder(17, 1, u"c"));
         b.Add(19, Folder(18, 1, u"d"));
         b.Add(20, File(19, 1, u"f"));
       },
       {"$Orphan\\b\\", "$Orphan\\b\\c\\", "$Orphan\\b\\c\\d\\", "$Orphan\\b\\c\\d\\f", "a\\"},
       "qst: v: 1 folder cycle broken\n"},
      {"a live folder that is its own parent",
       false,
       [](VolumeBuilder& b) {
         b.Add(16, Folder(16, 1, u"self"));
         b.Add(17, File(16, 1, u"in"));
       },
       {"$Orphan\\self\\", "$Orphan\\self\\in"},
       "qst: v: 1 name with a parent reference that fails\n"},
      {"a deleted folder that is its own parent",
       true,
       [](VolumeBuilder& b) {
         b.Add(16, Folder(16, 1, u"gone", 2));
         b.Add(17, File(16, 1, u"g", 0));
       },
       {"$Orphan\\gone\\", "$Orphan\\gone\\g"},
       ""},
      {"deleted folders each in the other",
       true,
       [](VolumeBuilder& b) {
         b.Add(16, Folder(17, 1, u"p", 2));
         b.Add(17, Folder(16, 1, u"q", 2));
         b.Add(18, File(17, 1, u"h", 0));
       },
       {"$Orphan\\p\\", "$Orphan\\p\\q\\", "$Orphan\\p\\q\\h"},
       "qst: v: 1 folder cycle broken\n"},
      {"a real $Orphan in the root",
       false,
       [](VolumeBuilder& b) {
         b.Add(16, Folder(5, 5, u"$ORPHAN"));
         b.Add(17, File(16, 1, u"mine.txt"));
         b.Add(18, File(17, 1, u"lost.txt"));
         b.Add(19, File(5, 5, u"$Orphan-1"));
       },
       {"$ORPHAN\\", "$ORPHAN\\mine.txt", "$Orphan-1", "$Orphan-2\\lost.txt"},
       "qst: v: 1 name with a parent reference that fails, the root holds a $Orphan, orphans "
       "listed in $Orphan-2\n"},
      {"DOS names alone, and beside a long name",
       false,
       [](VolumeBuilder& b) {
         b.Add(16, RecordBuilder(1, 1)
                       .Resident(0x10, StandardInformation(1))
                       .Resident(0x30, FileName(5, 5, u"DOSONLY.TXT", 2))
                       .Close());
         b.Add(17, RecordBuilder(1, 1)
                       .Resident(0x10, StandardInformation(1))
                       .Resident(0x30, FileName(5, 5, u"A long name.txt", 1))
                       .Resident(0x30, FileName(5, 5, u"ALONGN~1.TXT", 2))
                       .Close());
       },
       {"A long name.txt", "DOSONLY.TXT"},
       ""},
      {"a second $STANDARD_INFORMATION after the first",
       false,
       [](VolumeBuilder& b) {
         b.Add(16, RecordBuilder(1, 1)
                       .Resident(0x10, StandardInformation(1000))
                       .Resident(0x30, FileName(5, 5, u"twice.txt"))
                       .Resident(0x10, StandardInformation(9))
                       .Close());
       },
       {"twice.txt"},
       ""},
      {"extension records: one its base names, one pointing at another file",
       false,
       [](VolumeBuilder& b) {
         b.Add(16, RecordBuilder(1, 1)
                       .Resident(0x10, StandardInformation(1))
                       .Resident(0x20, AttributeList({16, 20}))
                       .Resident(0x30, FileName(5, 5, u"base.txt"))
                       .Close());
         b.Add(20, RecordBuilder(1, 1, 16 | 1ull << 48)
                       .Resident(0x30, FileName(5, 5, u"link.txt"))
                       .Close());
         b.AddFile(17, u"victim.txt", 1);
         b.Add(21, RecordBuilder(1, 1, 17 | 1ull << 48)
                       .Resident(0x30, FileName(5, 5, u"forged.txt"))
                       .Close());
       },
       // The forged record holds no times of its own: no file to list.
       {"base.txt", "link.txt", "victim.txt"},
       "qst: v: 1 MFT record read in part (21)\n"},
      {"a $FILE_NAME length that stops the walk of an extension record",
       false,
       [](VolumeBuilder& b) {
         b.Add(16, RecordBuilder(1, 1)
                       .Resident(0x10, StandardInformation(1))
                       .Resident(0x20, AttributeList({20}))
                       .Resident(0x30, FileName(5, 5, u"base.txt"))
                       .Close());
         std::string broken = RecordBuilder(1, 1)
                                  .Resident(0x30, FileName(5, 5, u"e1"))
                                  .Resident(0x30, FileName(5, 5, u"e2"))
                                  .Close();
         Put(broken, 56 + 96 + 4, 0x10000, 4);
         Put(broken, 32, 16 | 1ull << 48, 8);
         b.Add(20, broken);
       },
       {"base.txt", "e1"},
       "qst: v: 1 MFT record read in part (16)\n"},
      {"512-byte clusters, a record split between two runs",
       false,
       [](VolumeBuilder& b) {
         b.bytes()[13] = 1;
         Put(b.bytes(), 0x30, kMftCluster * 8, 8);
         Put(b.bytes(), 0x38, kMirrorCluster * 8, 8);
         Put(b.bytes(), 0x28, 256 * 8 - 1, 8);
         // 33 clusters, then the other 95 (in place, as two runs).
         b.SetMftRuns(std::string("\x11\x21\x20\x11\x5F\x21", 6));
         for (std::uint64_t r = 16; r < 20; ++r)
           b.AddFile(r, u"f" + std::u16string(1, static_cast<char16_t>(u'0' + r - 16)), r);
       },
       {"f0", "f1", "f2", "f3"},
       ""},
  };
  for (const Case& c : cases) {
    VolumeBuilder b;
    c.build(b);
    MemoryVolumeReader reader(b.bytes());
    std::unique_ptr<NtfsVolume> volume;
    std::string error;
    NtfsReadOptions options;
    options.deleted = c.deleted;
    ASSERT_TRUE(NtfsVolume::Open(reader, options, &volume, &error)) << c.what << ": " << error;
    EXPECT_EQ(Paths(*volume), c.paths) << c.what;
    EXPECT_EQ(DescribeDamage("v", volume->DamageFound()), c.damage) << c.what;
    NtfsVolume::NameBuffer buffer;
    for (std::uint32_t name : volume->Children(NtfsVolume::kRootRecord)) {
      if (volume->NameText(name, buffer) == u"twice.txt") {
        NtfsVolume::Times times;
        ASSERT_TRUE(volume->TimesOf(volume->RecordOfName(name), &times)) << c.what;
        EXPECT_EQ(times.creation, 1000u) << c.what;
      }
    }
    // A path looked up alone, through the record it leads to, finds the
    // same record as the whole read.
    if (c.deleted) continue;
    MemoryVolumeReader lazy_reader(b.bytes());
    options.few_paths = true;
    std::unique_ptr<NtfsVolume> lazy;
    ASSERT_TRUE(NtfsVolume::Open(lazy_reader, options, &lazy, &error)) << c.what;
    for (std::uint32_t name : volume->Children(NtfsVolume::kRootRecord))
      EXPECT_EQ(lazy->Lookup(NtfsVolume::kRootRecord, volume->NameText(name, buffer)),
                volume->RecordOfName(name))
          << c.what;
  }
}

TEST(NtfsReader, AnObjectIdIndexWithoutBlocksOnABareMftEndsAtOnce) {
  // $INDEX_ALLOCATION resident, or non-resident with no runs; a bare MFT has
  // no index block size.
  for (bool resident : {true, false}) {
    VolumeBuilder b;
    AddObjectIdIndex(b, "");
    RecordBuilder objid(1, 1);
    objid.Resident(0x10, StandardInformation(1))
        .Resident(0x30, FileName(11, 11, u"$ObjId"))
        .Resident(0x90, ObjectIdIndexRoot("0123456789abcdef", std::string(48, 'B'), 16), u"$O");
    if (resident)
      objid.Resident(0xA0, std::string(64, 'I'), u"$O");
    else
      objid.NonResident(0xA0, std::string(1, '\0'), 0, 0, u"$O");
    b.Add(24, objid.Close());
    std::string mft = b.bytes().substr(b.RecordAt(0), kRecords * kRecord);
    MemoryVolumeReader reader(mft);
    std::unique_ptr<NtfsVolume> volume;
    std::string error;
    ASSERT_TRUE(NtfsVolume::OpenMft(reader, {}, &volume, &error)) << error;
    FILE_OBJECTID_BUFFER id;
    EXPECT_FALSE(volume->ObjectIdOf(16, &id));
  }
}

TEST(IndexBlocks, OnlyBlocksInUseInClustersTheImageHoldsAreReadEachOnce) {
  constexpr std::uint32_t kBlock = 4096;
  std::string image(2 * kBlock, '\0');
  image.replace(0, 4, "INDX");
  image.replace(kBlock, 4, "INDX");
  CountingReader reader(image);
  // 64 MiB sparse; blocks 16384 and 16385 in the image; 1 GiB beyond it;
  // block 16384's clusters claimed again.
  const Runs runs = {{kSparse, 64u << 20}, {0, 2 * kBlock}, {1ull << 40, 1u << 30}, {0, kBlock}};
  const std::uint64_t blocks = (64u << 20) / kBlock + 2 + (1u << 30) / kBlock + 1;
  std::vector<std::uint8_t> bitmap(blocks / 8 + 1, 0xFF);
  bitmap[16385 / 8] &= ~(1u << (16385 % 8));  // free
  std::unordered_set<std::uint64_t> seen;
  int visited = 0;
  ForEachIndexBlock(reader, runs, blocks * kBlock, bitmap, kBlock, &seen,
                    [&](std::uint8_t* block) { visited += HasSignature(block, "INDX"); });
  EXPECT_EQ(visited, 1);
  EXPECT_EQ(reader.read, kBlock);
  // Read again for another folder, in the same pass: nothing.
  ForEachIndexBlock(reader, runs, blocks * kBlock, {}, kBlock, &seen,
                    [&](std::uint8_t*) { ++visited; });
  EXPECT_EQ(visited, 2);  // block 16385, free in the first index's bitmap
  // A block size of zero reads nothing.
  ForEachIndexBlock(reader, runs, blocks * kBlock, {}, 0, &seen, [&](std::uint8_t*) { ++visited; });
  EXPECT_EQ(visited, 2);
}

TEST(IndexBlocks, AReadThatFailsCostsOnlyTheBlocksItHeld) {
  constexpr std::uint32_t kBlock = 4096;
  // Four blocks in one run, read together; the medium fails on the third.
  class FailingReader : public MemoryVolumeReader {
   public:
    using MemoryVolumeReader::MemoryVolumeReader;
    ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
      ++reads;
      if (offset < 3 * kBlock && offset + size > 2 * kBlock) return ReadStatus::kFailed;
      return MemoryVolumeReader::Read(offset, buffer, size);
    }
    const std::uint8_t* View(std::uint64_t, std::size_t) override { return nullptr; }
    int reads = 0;
  };
  std::string image(4 * kBlock, '\0');
  for (int b = 0; b < 4; ++b) image[b * kBlock] = static_cast<char>('a' + b);
  FailingReader reader(image);
  std::unordered_set<std::uint64_t> seen;
  std::string read, lost;
  ForEachIndexBlockWithFree(reader, {{0, 4 * kBlock}}, 4 * kBlock, {}, kBlock, &seen, true, {},
                            [&](std::uint8_t* block, bool, bool ok, std::uint64_t) {
                              (ok ? read : lost).push_back(ok ? static_cast<char>(block[0]) : '?');
                            });
  EXPECT_EQ(read, "abd");
  EXPECT_EQ(lost, "?");
  EXPECT_EQ(reader.reads, 5);  // all four, then each alone
}

TEST(DamageSummary, NamesRangesAndSizes) {
  const struct {
    void (*set)(NtfsVolume::Damage&);
    const char* line;
  } cases[] = {
      {[](NtfsVolume::Damage&) {}, ""},
      {[](NtfsVolume::Damage& d) {
         d.lost = {28, 29, 30, 31, 35}, d.lost_count = 5;
       },
       "qst: IMG: 5 MFT records unreadable (28-31, 35)\n"},
      {[](NtfsVolume::Damage& d) { d.lost = {3}, d.lost_count = 9000, d.missing_bytes = 1258291; },
       "qst: IMG: 9000 MFT records unreadable (3, ...), image ends 1.2 MiB before its volume\n"},
      {[](NtfsVolume::Damage& d) {
         d.lost = {1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23}, d.lost_count = 12;
       },
       "qst: IMG: 12 MFT records unreadable (1, 3, 5, 7, 9, 11, 13, 15, 17, 19, ...)\n"},
      {[](NtfsVolume::Damage& d) { d.mft_guessed = true, d.missing_bytes = 512; },
       "qst: IMG: MFT run list unreadable, MFT read on from its start, image ends 512 bytes "
       "before its volume\n"},
      {[](NtfsVolume::Damage& d) {
         d.mirror_used = true, d.damaged = {40}, d.damaged_count = 1, d.misplaced = 2;
         d.upcase_unusable = true;
         d.cycles = 1, d.orphan_folder = "$Orphan-1", d.missing_bytes = 4096;
         d.records_past_end = 64;
       },
       "qst: IMG: MFT record 0 unusable, its copy in $MFTMirr read, 1 MFT record read in part "
       "(40), $UpCase unusable, the built-in table used, 2 names with a parent reference that "
       "fails, 1 folder cycle broken, the root holds "
       "a $Orphan, orphans listed in $Orphan-1, image ends 4.0 KiB before its volume, 64 MFT "
       "records beyond it\n"},
  };
  for (const auto& c : cases) {
    NtfsVolume::Damage damage;
    c.set(damage);
    EXPECT_EQ(DescribeDamage("IMG", damage), c.line);
  }
}

}  // namespace
}  // namespace qst
