// The NTFS reader itself, over volumes built byte by byte in memory: sound
// records, and each kind of damage a disk or a hostile image brings.
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

std::vector<std::u16string> RootNames(NtfsVolume& volume) {
  std::vector<std::u16string> names;
  NtfsVolume::NameBuffer buffer;
  for (std::uint32_t name : volume.Children(NtfsVolume::kRootRecord))
    names.emplace_back(volume.NameText(name, buffer));
  return names;
}

TEST(NtfsReader, ReadsTimesNamesAndLookups) {
  VolumeBuilder b;
  b.AddFile(16, u"b.txt", 2000);
  b.AddFile(17, u"A.txt", 1000);
  Opened o = Open(b.bytes());
  ASSERT_NE(o.volume, nullptr) << o.error;
  EXPECT_EQ(RootNames(*o.volume), (std::vector<std::u16string>{u"A.txt", u"b.txt"}));
  EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"B.TXT"), 16u);
  NtfsVolume::Times times;
  ASSERT_TRUE(o.volume->TimesOf(17, &times));
  EXPECT_EQ(times.creation, 1000u);
  EXPECT_EQ(times.access, 1003u);
  EXPECT_EQ(DescribeDamage("v", o.volume->DamageFound()), "");
}

TEST(NtfsReader, ListsFoldersInTheVolumesCollationOrder) {
  // Upper-cased unit by unit, a shorter name first, names alike but for case
  // by their exact units; past the first eight units too, and whether a
  // name is kept a byte a unit or two.
  const std::vector<std::u16string> order = {
      u"abcdefgh",       u"ABCDEFGHz",       u"abcdefghZ",      u"abcdefghz",
      u"abcdefgh\u00e9", u"abcdefgh\u00e9a", u"abcdefgh\u0100", u"abcdefgi"};
  VolumeBuilder b;
  // Added in an order unlike the listing.
  for (std::size_t i = 0; i < order.size(); ++i)
    b.AddFile(16 + (i * 5) % order.size(), order[(i * 5) % order.size()], 1000);
  Opened o = Open(b.bytes());
  ASSERT_NE(o.volume, nullptr) << o.error;
  EXPECT_EQ(RootNames(*o.volume), order);
}

TEST(NtfsReader, FoldersSortedOnSeveralThreadsListAsOnOne) {
  // Enough names that the folders are sorted on several threads, in
  // folders of many sizes (one alone larger than a thread's share), each
  // name added out of order: every folder lists the same names in the same
  // order however many threads sort them.
  constexpr std::uint64_t kFolders = 300, kFirstFolder = 64, kFiles = 80000;
  VolumeBuilder b;
  std::string mft = b.bytes().substr(b.RecordAt(0), kRecords * kRecord);
  mft.resize((kFirstFolder + kFolders + kFiles) * kRecord, '\0');
  auto put = [&](std::uint64_t number, const std::string& record) {
    mft.replace(number * kRecord, kRecord, record);
  };
  for (std::uint64_t f = 0; f < kFolders; ++f) {
    std::u16string name = u"dir";
    for (char c : std::to_string(f)) name += static_cast<char16_t>(c);
    put(kFirstFolder + f, RecordBuilder(3, 1)
                              .Resident(0x10, StandardInformation(1))
                              .Resident(0x30, FileName(5, 5, name))
                              .Close());
  }
  for (std::uint64_t i = 0; i < kFiles; ++i) {
    // A third of the files in one folder, the rest spread unevenly.
    std::uint64_t folder = i % 3 == 0 ? 7 : (i * i) % kFolders;
    std::u16string name = (i % 5 == 0) ? u"File-" : u"file-";
    for (char c : std::to_string((i * 7919) % 100003)) name += static_cast<char16_t>(c);
    put(kFirstFolder + kFolders + i, RecordBuilder(1, 1)
                                         .Resident(0x10, StandardInformation(i))
                                         .Resident(0x30, FileName(kFirstFolder + folder, 1, name))
                                         .Close());
  }
  auto listings = [&](int threads) {
    MemoryVolumeReader reader(mft);
    std::unique_ptr<NtfsVolume> volume;
    std::string error;
    NtfsReadOptions options;
    options.threads = threads;
    EXPECT_TRUE(NtfsVolume::OpenMft(reader, options, &volume, &error)) << error;
    std::vector<std::vector<std::u16string>> all;
    NtfsVolume::NameBuffer buffer;
    for (std::uint64_t f = 0; volume != nullptr && f < kFolders; ++f) {
      all.emplace_back();
      for (std::uint32_t name : volume->Children(kFirstFolder + f))
        all.back().emplace_back(volume->NameText(name, buffer));
    }
    return all;
  };
  const auto one = listings(1);
  ASSERT_EQ(one.size(), kFolders);
  std::size_t listed = 0;
  for (const auto& folder : one) {
    listed += folder.size();
    EXPECT_TRUE(std::is_sorted(folder.begin(), folder.end(), [](const auto& x, const auto& y) {
      return std::lexicographical_compare(
          x.begin(), x.end(), y.begin(), y.end(),
          [](char16_t p, char16_t q) { return std::toupper(p) < std::toupper(q); });
    }));
  }
  EXPECT_EQ(listed, kFiles);
  EXPECT_EQ(listings(2), one);
  EXPECT_EQ(listings(5), one);
}

TEST(NtfsReader, TimesAreReadAgainAsThePassFoundThem) {
  // The volume keeps no times: a file's are read again from its record when
  // asked for, the same wherever they lie in it (here across the bytes its
  // fixups protect), through a window of the caller's or the volume's own.
  // A record reused since, or no longer a record, gives none.
  struct Case {
    const char* what;
    std::string record;
    std::uint64_t creation;
  };
  const std::string name = FileName(5, 5, u"f.txt");
  const std::vector<Case> cases = {
      {"plain",
       RecordBuilder(1, 1).Resident(0x10, StandardInformation(1000)).Resident(0x30, name).Close(),
       1000},
      {"first too short",
       RecordBuilder(1, 1)
           .Resident(0x10, std::string(16, '\0'))
           .Resident(0x10, StandardInformation(3000))
           .Resident(0x30, name)
           .Close(),
       3000},
      {"across the fixup",
       RecordBuilder(1, 1)
           .Resident(0x80, std::string(400, 'x'))
           .Resident(0x10, StandardInformation(0x1122334455667788))
           .Resident(0x30, name)
           .Close(),
       0x1122334455667788},
  };
  for (const Case& c : cases) {
    VolumeBuilder b;
    b.Add(17, c.record);
    std::string image = b.bytes();
    MemoryVolumeReader reader(image);
    std::unique_ptr<NtfsVolume> volume;
    std::string error;
    ASSERT_TRUE(NtfsVolume::Open(reader, {}, &volume, &error)) << c.what << ": " << error;
    Mft::Window window;
    for (Mft::Window* through : {&window, static_cast<Mft::Window*>(nullptr)}) {
      NtfsVolume::Times times{};
      ASSERT_TRUE(volume->TimesOf(17, &times, through)) << c.what;
      EXPECT_EQ(times.creation, c.creation) << c.what;
      EXPECT_EQ(times.access, c.creation + 3) << c.what;
    }
    // Windows read afresh see the record changed.
    image[b.RecordAt(17) + 16] ^= 1;  // the sequence number: another file now
    NtfsVolume::Times times;
    Mft::Window reused, gone;
    EXPECT_FALSE(volume->TimesOf(17, &times, &reused)) << c.what;
    image.replace(b.RecordAt(17) + 16, 1, 1, static_cast<char>(image[b.RecordAt(17) + 16] ^ 1));
    image.replace(b.RecordAt(17), 4, "BAAD");
    EXPECT_FALSE(volume->TimesOf(17, &times, &gone)) << c.what;
  }
}

TEST(NtfsReader, DamagedRecordsCostOnlyThemselves) {
  // Each case damages record 17 and leaves record 16 whole.
  struct Case {
    const char* what;
    void (*damage)(VolumeBuilder&);
    bool listed;  // whether 17 still has a name to be listed under
  };
  const Case cases[] = {
      {"a sector whose fixup does not match",
       [](VolumeBuilder& b) { b.bytes()[b.RecordAt(17) + 510] ^= 1; }, false},
      {"garbage over the whole record",
       [](VolumeBuilder& b) { b.bytes().replace(b.RecordAt(17), kRecord, kRecord, 'x'); }, false},
      {"an attribute of length 0 before $STANDARD_INFORMATION",
       [](VolumeBuilder& b) {
         std::string zero(24, '\0');
         Put(zero, 0, 0x30, 4);
         b.Add(17, RecordBuilder(1, 1).Raw(zero).Resident(0x10, StandardInformation(1)).Close());
       },
       false},
      {"an attribute length that wraps the walk around",
       [](VolumeBuilder& b) { b.Add(17, WrappingRecord(5, 5, u"a.txt")); }, true},
      {"a resident value reaching past its attribute",
       [](VolumeBuilder& b) {
         std::string record = RecordBuilder(1, 1)
                                  .Resident(0x10, StandardInformation(1))
                                  .Resident(0x30, FileName(5, 5, u"a.txt"))
                                  .Close();
         Put(record, 56 + 16, 0x40000000, 4);  // $STANDARD_INFORMATION's value length
         b.Add(17, record);
       },
       false},
  };
  for (const Case& c : cases) {
    VolumeBuilder b;
    b.AddFile(16, u"b.txt", 2000);
    b.AddFile(17, u"a.txt", 1000);
    c.damage(b);
    Opened o = Open(b.bytes());
    ASSERT_NE(o.volume, nullptr) << c.what << ": " << o.error;
    EXPECT_TRUE(o.volume->HasTimes(16)) << c.what;
    EXPECT_FALSE(o.volume->HasTimes(17)) << c.what;
    EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"a.txt") == 17, c.listed) << c.what;
    EXPECT_EQ(DescribeDamage("v", o.volume->DamageFound()),
              "qst: v: 1 MFT record unreadable (17)\n")
        << c.what;
  }
}

TEST(NtfsReader, DamagedMftRunListsFallBackToTheMirrorOrTheMftsStart) {
  const struct {
    const char* what;
    std::string runs;
  } cases[] = {
      {"a run of length zero", std::string("\x11\x00\x04", 3)},
      {"a negative first offset", std::string("\x11\x10\xFC", 3)},
      {"offsets whose sum overflows", std::string("\x81\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F"
                                                  "\x81\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F",
                                                  20)},
      {"a run past the volume's end", std::string("\x21\x10\x00\x10", 4)},
  };
  for (const auto& c : cases) {
    for (bool mirror_whole : {true, false}) {
      VolumeBuilder b;
      b.AddFile(16, u"a.txt", 1000);
      std::string mirror = b.bytes().substr(kMirrorCluster * kCluster, kRecord);
      b.SetMftRuns(c.runs);
      if (mirror_whole) b.bytes().replace(kMirrorCluster * kCluster, kRecord, mirror);
      Opened o = Open(b.bytes());
      ASSERT_NE(o.volume, nullptr) << c.what << ": " << o.error;
      EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"a.txt"), 16u) << c.what;
      EXPECT_EQ(o.volume->DamageFound().mft_guessed, !mirror_whole) << c.what;
    }
  }
}

TEST(NtfsReader, BootSectorsThatCannotBeUsedAreRefused) {
  for (int sectors_per_cluster : {0, 0x81, 0xC0, 0xE0}) {
    VolumeBuilder b;
    b.bytes()[13] = static_cast<char>(sectors_per_cluster);
    Opened o = Open(b.bytes());
    EXPECT_EQ(o.volume, nullptr) << sectors_per_cluster;
    EXPECT_EQ(o.error, "damaged boot sector") << sectors_per_cluster;
  }
}

TEST(NtfsReader, AnImageCutShortIsReadAsFarAsItGoes) {
  VolumeBuilder b;
  b.AddFile(16, u"a.txt", 1000);
  b.AddFile(40, u"gone.txt", 1000);
  // The cut falls after record 16 and before record 40.
  std::string cut = b.bytes().substr(0, b.RecordAt(30));
  Opened o = Open(cut);
  ASSERT_NE(o.volume, nullptr) << o.error;
  EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"a.txt"), 16u);
  EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"gone.txt"), NtfsVolume::kNone);
  EXPECT_EQ(DescribeDamage("v", o.volume->DamageFound()),
            "qst: v: image ends 977.5 KiB before its volume, 34 MFT records beyond it\n");
}

TEST(NtfsReader, NamesEqualButForCaseAreFoundExactly) {
  VolumeBuilder b;
  // Every case pattern of "abcde": 32 names that collate as one.
  for (int bits = 0; bits < 32; ++bits) {
    std::u16string name = u"abcde";
    for (int i = 0; i < 5; ++i)
      if (bits >> i & 1) name[i] = static_cast<char16_t>(name[i] - 32);
    b.AddFile(16 + bits, name, 1000 + bits);
  }
  Opened o = Open(b.bytes());
  ASSERT_NE(o.volume, nullptr) << o.error;
  EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"abcde"), 16u);
  EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"ABCDE"), 47u);
  EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"aBcDe"), 16u + 0b01010);
}

TEST(NtfsReader, AParentSinceReusedIsNotTheParent) {
  VolumeBuilder b;
  b.Add(16, RecordBuilder(3, 2)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(5, 5, u"dir"))
                .Close());
  // Written while record 16 had sequence number 1: another folder then.
  b.Add(17, RecordBuilder(1, 1)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(16, 1, u"stale.txt"))
                .Close());
  b.Add(18, RecordBuilder(1, 1)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(16, 2, u"fresh.txt"))
                .Close());
  Opened o = Open(b.bytes());
  ASSERT_NE(o.volume, nullptr) << o.error;
  EXPECT_EQ(o.volume->Lookup(16, u"stale.txt"), NtfsVolume::kNone);
  EXPECT_EQ(o.volume->Lookup(16, u"fresh.txt"), 18u);
}

TEST(NtfsReader, AnMftClaimingMoreThanTheImageHoldsCostsOnlyWhatIsThere) {
  VolumeBuilder b;
  b.AddFile(16, u"a.txt", 1000);
  Put(b.bytes(), 0x28, 1ull << 30, 8);  // a volume of 512 GiB
  // 16 clusters of records, then a sparse run of 2^26 clusters.
  b.SetMftRuns(std::string("\x11\x10\x04\x04\x00\x00\x00\x04", 8), (16 + (1ull << 26)) * kCluster);
  Opened o = Open(b.bytes());
  ASSERT_NE(o.volume, nullptr) << o.error;
  EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"a.txt"), 16u);
  EXPECT_LE(o.volume->RecordCount(), kRecords);
  EXPECT_EQ(DescribeDamage("v", o.volume->DamageFound()),
            "qst: v: image ends 512.0 GiB before its volume\n");
}

TEST(NtfsReader, AnExtensionRecordNamedOverAndOverIsReadOnce) {
  VolumeBuilder b;
  b.AddFile(16, u"a.txt", 1000);
  b.AddFile(40, u"late.txt", 1000);  // in the MFT's second piece
  // Record 0 maps the first 8 clusters; extension record 20 maps the rest.
  // The attribute list at cluster 100 names record 20 128 times.
  std::string list(kCluster, '\0');
  for (std::size_t at = 0; at < list.size(); at += 32) {
    Put(list, at, 0x80, 4);
    Put(list, at + 4, 32, 2);
    list[at + 7] = 26;
    Put(list, at + 8, 8, 8);
    Put(list, at + 16, 20 | 1ull << 48, 8);
  }
  b.bytes().replace(100 * kCluster, kCluster, list);
  b.Add(0, RecordBuilder(1, 1)
               .Resident(0x10, StandardInformation(100))
               .NonResident(0x20, std::string("\x11\x01\x64", 3), kCluster)
               .NonResident(0x80, std::string("\x11\x08\x04", 3), kRecords * kRecord)
               .Close());
  b.Add(20, RecordBuilder(1, 1, 1ull << 48)
                .NonResident(0x80, std::string("\x11\x08\x0C", 3), kRecords * kRecord, 8)
                .Close());
  Opened o = Open(b.bytes());
  ASSERT_NE(o.volume, nullptr) << o.error;
  EXPECT_EQ(o.volume->Lookup(NtfsVolume::kRootRecord, u"late.txt"), 40u);
  EXPECT_FALSE(o.volume->DamageFound().mft_guessed);
}

TEST(NtfsReader, BirthIdsComeFromTheObjectIdIndexWhateverItsHeaderSays) {
  std::string id = "0123456789abcdef", birth(48, 'B');
  for (std::uint32_t first : {16u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    VolumeBuilder b;
    AddObjectIdIndex(b, ObjectIdIndexRoot(id, birth, first));
    b.Add(16, RecordBuilder(1, 1)
                  .Resident(0x10, StandardInformation(1))
                  .Resident(0x30, FileName(5, 5, u"a.txt"))
                  .Resident(0x40, id)
                  .Close());
    Opened o = Open(b.bytes());
    ASSERT_NE(o.volume, nullptr) << o.error;
    FILE_OBJECTID_BUFFER oid;
    ASSERT_TRUE(o.volume->ObjectIdOf(16, &oid));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(oid.ObjectId), 16), id);
    std::string read(reinterpret_cast<const char*>(oid.BirthVolumeId), 48);
    EXPECT_EQ(read, first == 16 ? birth : std::string(48, '\0')) << first;
  }
}

TEST(NtfsReader, TheVolumesOwnObjectIdIsKnownReadWholeOrLazily) {
  VolumeBuilder b;
  b.Add(3, RecordBuilder(1, 3)
               .Resident(0x10, StandardInformation(1))
               .Resident(0x30, FileName(5, 5, u"$Volume"))
               .Resident(0x40, "volume-id-16byte")
               .Close());
  for (bool lazy : {false, true}) {
    MemoryVolumeReader reader(b.bytes());
    std::string error;
    NtfsReadOptions options;
    options.few_paths = lazy;
    std::unique_ptr<NtfsVolume> volume;
    ASSERT_TRUE(NtfsVolume::Open(reader, options, &volume, &error)) << error;
    std::uint8_t id[16];
    ASSERT_TRUE(volume->VolumeObjectId(id)) << lazy;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(id), 16), "volume-id-16byte");
  }
}

TEST(NtfsReader, AFilesSizeIsItsDataStreamsWhereverItsRecordKeepsIt) {
  // An attribute list entry naming `record` as the holder of `type`.
  auto entry = [](std::uint32_t type, std::uint64_t record) {
    std::string e(32, '\0');
    Put(e, 0, type, 4);
    Put(e, 4, 32, 2);
    e[7] = 26;
    Put(e, 16, record | 1ull << 48, 8);
    return e;
  };
  VolumeBuilder b;
  b.Add(16, RecordBuilder(1, 1)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(5, 5, u"resident.txt"))
                .Resident(0x80, "hello")
                .Close());
  b.Add(17, RecordBuilder(1, 1)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(5, 5, u"large.bin"))
                .Resident(0x80, "stream", u"named")
                .NonResident(0x80, std::string("\x11\x01\x64", 3), 1234567)
                .Close());
  // A file whose list names `holder` for its data stream, which names
  // `holder_base` as its base.
  auto listed = [&](std::uint64_t base, const std::u16string& name, std::uint64_t holder,
                    std::uint64_t holder_base, const std::string& stream) {
    b.Add(base, RecordBuilder(1, 1)
                    .Resident(0x10, StandardInformation(1))
                    .Resident(0x20, entry(0x10, base) + entry(0x30, base) + entry(0x80, holder))
                    .Resident(0x30, FileName(5, 5, name))
                    .Close());
    b.Add(holder, RecordBuilder(1, 1, holder_base | 1ull << 48).Resident(0x80, stream).Close());
  };
  // Its data stream in an extension record that names it back; another
  // record naming another base holds a stream that is not its.
  listed(18, u"extended.txt", 19, 18, "twelve bytes");
  listed(20, u"stray.txt", 21, 16, "not its");
  b.Add(22, RecordBuilder(1, 3)
                .Resident(0x10, StandardInformation(1))
                .Resident(0x30, FileName(5, 5, u"folder"))
                .Close());
  Opened o = Open(b.bytes());
  ASSERT_NE(o.volume, nullptr) << o.error;
  const struct {
    std::uint64_t record;
    std::optional<std::uint64_t> size;
  } cases[] = {{16, 5}, {17, 1234567}, {18, 12}, {20, std::nullopt}, {22, std::nullopt}};
  for (const auto& c : cases) {
    NtfsVolume::Times times;
    std::optional<std::uint64_t> size;
    ASSERT_TRUE(o.volume->TimesOf(c.record, &times, nullptr, &size)) << c.record;
    EXPECT_EQ(size, c.size) << c.record;
  }
}

}  // namespace
}  // namespace qst
