// USN records: each version as Windows writes it, pages, padding, damage
// and sparse streams, read by the record reader.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "ntfs_builder.h"
#include "probe/memory-reader.h"
#include "probe/ntfs/ntfs-volume.h"
#include "probe/ntfs/run-list.h"
#include "probe/signs.h"
#include "probe/witnesses/usn/usn-journal.h"
#include "probe/witnesses/usn/usn-part.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"
#include "usn_builder.h"

namespace qst {
namespace {

using namespace testing::ntfs;
using namespace testing::usn;

TEST(UsnRecords, EachVersionDecodesAsWindowsWritesIt) {
  for (int version : {2, 3, 4}) {
    std::string bytes = UsnRecordBytes(version, Ref(40, 3), Ref(5, 5), 4096, kT0,
                                       kUsnFileCreate | kUsnClose, u"report.docx");
    UsnRecord r;
    ASSERT_EQ(
        DecodeUsnRecord(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &r),
        bytes.size())
        << version;
    EXPECT_EQ(r.major, version);
    EXPECT_EQ(r.file, Ref(40, 3));
    EXPECT_EQ(r.parent, Ref(5, 5));
    EXPECT_EQ(r.usn, 4096u);
    EXPECT_EQ(r.reason, kUsnFileCreate | kUsnClose);
    EXPECT_EQ(r.has_time, version != 4);
    EXPECT_EQ(r.time, version != 4 ? kT0 : 0);
    EXPECT_EQ(r.name, version != 4 ? u"report.docx" : u"");
  }
  EXPECT_EQ(UsnReasonNames(kUsnFileCreate | kUsnClose),
            (std::vector<std::string>{"File create", "Close"}));
  EXPECT_EQ(UsnReasonNames(kUsnBasicInfoChange | 0x08),
            (std::vector<std::string>{"0x00000008", "Basic info change"}));
}

TEST(UsnRecords, PagesPaddingAndDamageAreWalkedPast) {
  std::vector<std::string> many;
  for (int i = 0; i < 60; ++i)  // more than a page of V3 records
    many.push_back(UsnRecordBytes(3, Ref(100 + i, 1), Ref(5, 5), i, kT0 + i, 0x100, u"a.txt"));
  std::uint64_t damaged = 0;
  EXPECT_EQ(Records(Pages(many), &damaged).size(), 60u);
  EXPECT_EQ(damaged, 0u);

  const std::string good = UsnRecordBytes(2, Ref(30, 1), Ref(5, 5), 0, kT0, 0x100, u"x");
  struct Case {
    const char* what;
    std::string bytes;
    std::size_t records;
    std::uint64_t damaged;
  } cases[] = {
      {"a length past the page",
       [&] {
         std::string bad = good;
         Put(bad, 0, 0x2000, 4);
         return Pages({bad, good});
       }(),
       1, 1},
      {"an unknown version",
       [&] {
         std::string bad = good;
         Put(bad, 4, 9, 2);
         return Pages({bad, good});
       }(),
       1, 1},
      {"a length that is no multiple of 8",
       [&] {
         std::string bad = good;
         Put(bad, 0, 0x41, 4);
         return Pages({good, bad, good});
       }(),
       2, 1},
      {"a name reaching past its record",
       [&] {
         std::string bad = good;
         Put(bad, 0x38, 0x100, 2);
         return Pages({bad});
       }(),
       0, 1},
      {"a length of 0xFFFFFFFF", std::string(8, '\xFF') + std::string(kUsnPage - 8, '\0'), 0, 1},
  };
  for (const Case& c : cases) {
    std::uint64_t d = 0;
    EXPECT_EQ(Records(c.bytes, &d).size(), c.records) << c.what;
    EXPECT_EQ(d, c.damaged) << c.what;
  }
}

TEST(UsnRecords, ASparseStartIsSkippedUnread) {
  std::string page = Pages({UsnRecordBytes(2, Ref(30, 1), Ref(5, 5), 1 << 30, kT0, 0x100, u"x")});
  CountingReader reader(page);
  const Runs runs = {{kSparse, 1u << 30}, {0, kUsnPage}};
  int records = 0;
  bool read = false;
  EXPECT_EQ(ReadUsnJournal(
                reader, runs, (1u << 30) + kUsnPage, [&](const UsnRecord&) { ++records; }, &read),
            0u);
  EXPECT_TRUE(read);
  EXPECT_EQ(records, 1);
  EXPECT_EQ(reader.read, kUsnPage);
}

// However its runs lie, the stream is read as one: each page from its
// start, each cluster of the volume once, sparse stretches unread.
TEST(UsnRecords, TheStreamIsReadAsOneWhateverItsRuns) {
  std::vector<std::string> records;
  for (int i = 0; i < 60; ++i)
    records.push_back(UsnRecordBytes(2, Ref(100 + i, 1), Ref(5, 5), i, kT0, 0x100, u"a.txt"));
  const std::string page = Pages(records).substr(0, kUsnPage);  // records across its middle
  const std::size_t in_page = Records(page).size();
  ASSERT_GT(in_page, 50u);
  // The page's halves far apart on a volume of 2 KiB clusters, the second
  // half first.
  std::string volume(64 * kUsnPage, '\0');
  volume.replace(40 * kUsnPage, kUsnPage / 2, page.substr(0, kUsnPage / 2));
  volume.replace(8 * kUsnPage, kUsnPage / 2, page.substr(kUsnPage / 2));
  const std::uint64_t half = kUsnPage / 2;
  struct Case {
    const char* what;
    Runs runs;
    std::uint64_t size;
    std::size_t records;
    bool read;
    std::uint64_t bytes_read;
  } cases[] = {
      {"a page over two runs",
       {{40 * kUsnPage, half}, {8 * kUsnPage, half}},
       kUsnPage,
       in_page,
       true,
       kUsnPage},
      {"a sparse start longer than the volume",
       {{kSparse, 1ull << 40}, {40 * kUsnPage, half}, {8 * kUsnPage, half}},
       (1ull << 40) + kUsnPage,
       in_page,
       true,
       kUsnPage},
      {"150 runs over the same clusters", {}, 150 * kUsnPage, in_page, false, kUsnPage},
  };
  for (int i = 0; i < 75; ++i) {
    cases[2].runs.push_back({40 * kUsnPage, half});
    cases[2].runs.push_back({8 * kUsnPage, half});
  }
  for (const Case& c : cases) {
    CountingReader reader(volume);
    std::size_t seen = 0;
    bool read = false;
    EXPECT_EQ(ReadUsnJournal(
                  reader, c.runs, c.size, [&](const UsnRecord&) { ++seen; }, &read),
              0u)
        << c.what;
    EXPECT_EQ(seen, c.records) << c.what;
    EXPECT_EQ(read, c.read) << c.what;
    EXPECT_EQ(reader.read, c.bytes_read) << c.what;
  }
}

// Sparse runs lie on no cluster: the volume does not bound them; real runs
// do, and no list covers more than 2^62 bytes.
TEST(RunLists, SparseRunsAreBoundedByTheFileNotTheVolume) {
  const ClusterGeometry geometry{4096, 1000};
  struct Case {
    std::string list;
    bool ok;
  } cases[] = {
      {std::string("\x04\x00\x00\x00\x10\x21\x01\x10\x00", 9), true},  // 2^28 sparse, 1 real
      {std::string("\x21\x00\x10\x01\x00", 5), false},  // 4,096 real clusters: past the volume
      {std::string("\x08\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x00\x00", 10), false},  // 2^64 sparse
      {std::string("\x08\x00\x00\x00\x00\x00\x00\x04\x00\x08\x00\x00\x00\x00\x00\x00\x04\x00\x00",
                   19),
       false},  // two of 2^62 bytes each: more than a file holds
  };
  for (const Case& c : cases) {
    Runs runs;
    EXPECT_EQ(DecodeRuns(reinterpret_cast<const std::uint8_t*>(c.list.data()),
                         static_cast<std::uint32_t>(c.list.size()), geometry, &runs),
              c.ok)
        << c.list.size();
  }
}

// A stream collected apart into a sparse file: its holes, reported by the
// reader, are passed over unread, widened only to whole pages.
TEST(UsnRecords, ASparseFileIsReadWhereItHoldsData) {
  class Holes : public CountingReader {
   public:
    using CountingReader::CountingReader;
    // Data from 1,536 bytes into page 3 (a file system of 512-byte blocks)
    // to the end; a hole before.
    std::uint64_t DataFrom(std::uint64_t offset) const override {
      return std::max<std::uint64_t>(offset, 3 * kUsnPage + 1536);
    }
    std::uint64_t HoleFrom(std::uint64_t offset) const override {
      return offset < 3 * kUsnPage + 1536 ? offset : Size();
    }
  };
  std::string bytes(3 * kUsnPage, '\0');
  bytes += Pages({UsnRecordBytes(2, Ref(30, 1), Ref(5, 5), 3 * kUsnPage, kT0, 0x100, u"x"),
                  std::string(kUsnPage - 96, '\0'),
                  UsnRecordBytes(2, Ref(31, 1), Ref(5, 5), 4 * kUsnPage, kT0, 0x100, u"y")});
  Holes reader(bytes);
  int records = 0;
  bool read = false;
  EXPECT_EQ(ReadUsnStream(
                reader, [&](const UsnRecord&) { ++records; }, &read),
            0u);
  EXPECT_TRUE(read);
  EXPECT_EQ(records, 2);
  EXPECT_EQ(reader.read, bytes.size() - 3 * kUsnPage);
}

// Journal records are listed under the paths their folders had when each
// was written: later renames and deletions are undone, the volume gives the
// rest, and a folder that cannot be placed then gives no path.
TEST(UsnRecords, ListedUnderThePathsTheirFoldersHadThen) {
  VolumeBuilder b;
  auto folder = [&](std::uint64_t n, std::uint16_t sequence, std::uint64_t parent,
                    std::uint16_t parent_sequence, const std::u16string& name) {
    b.Add(n, RecordBuilder(3, sequence)
                 .Resident(0x10, StandardInformation(kT0))
                 .Resident(0x30, FileName(parent, parent_sequence, name))
                 .Close());
  };
  folder(20, 1, 5, 5, u"Docs");  // "Papers" until renamed
  folder(21, 1, 20, 1, u"sub");
  folder(22, 2, 5, 5, u"other");  // its record held "old", renamed "new", deleted
  MemoryVolumeReader reader(b.bytes());
  std::unique_ptr<NtfsVolume> volume;
  std::string error;
  ASSERT_TRUE(NtfsVolume::Open(reader, {}, &volume, &error)) << error;
  struct Case {
    std::uint64_t file, parent;
    std::uint32_t reason;
    bool folder;
    std::u16string name;
    std::string path;  // empty: none can be known
  };
  const Case cases[] = {
      {Ref(30, 1), Ref(22, 1), kUsnFileCreate, false, u"f.txt", "C:\\old\\f.txt"},
      {Ref(22, 1), Ref(5, 5), kUsnRenameOldName, true, u"old", "C:\\old\\"},
      {Ref(22, 1), Ref(5, 5), kUsnRenameNewName, true, u"new", "C:\\new\\"},
      {Ref(31, 1), Ref(22, 1), kUsnFileCreate, false, u"g.txt", "C:\\new\\g.txt"},
      {Ref(22, 1), Ref(5, 5), kUsnFileDelete | kUsnClose, true, u"new", "C:\\new\\"},
      {Ref(22, 2), Ref(5, 5), kUsnFileCreate, true, u"other", "C:\\other\\"},
      {Ref(32, 1), Ref(22, 2), kUsnFileCreate, false, u"h.txt", "C:\\other\\h.txt"},
      {Ref(33, 1), Ref(22, 1), kUsnClose, false, u"late.txt", ""},  // in "new", long gone
      {Ref(34, 1), Ref(21, 1), kUsnFileCreate, false, u"y.txt", "C:\\Papers\\sub\\y.txt"},
      {Ref(20, 1), Ref(5, 5), kUsnRenameOldName, true, u"Papers", "C:\\Papers\\"},
      {Ref(20, 1), Ref(5, 5), kUsnRenameNewName, true, u"Docs", "C:\\Docs\\"},
      {Ref(35, 1), Ref(21, 1), kUsnFileCreate, false, u"z.txt", "C:\\Docs\\sub\\z.txt"},
      {Ref(36, 1), Ref(23, 1), kUsnFileCreate, false, u"w.txt", ""},  // a folder never seen
      // Two folders each other's parent before they were renamed: no path,
      // and no endless walk.
      {Ref(37, 1), Ref(40, 1), kUsnFileCreate, false, u"c.txt", ""},
      {Ref(40, 1), Ref(41, 1), kUsnRenameOldName, true, u"a", ""},
      {Ref(41, 1), Ref(40, 1), kUsnRenameOldName, true, u"b", ""},
  };
  std::vector<UsnRecord> records;
  for (const Case& c : cases) {
    UsnRecord r;
    r.major = 2;
    r.usn = 0x100 * (records.size() + 1);
    r.file = c.file;
    r.parent = c.parent;
    r.has_time = true;
    r.time = kT0;
    r.reason = c.reason;
    r.attributes = c.folder ? kFileAttributeDirectory : 0x20;
    r.name = c.name;
    records.push_back(r);
  }
  JournalPaths paths(*volume);
  for (const UsnRecord& r : records) paths.Learn(r);
  for (std::size_t i = 0; i < records.size(); ++i)
    EXPECT_EQ(paths.Of(records[i]), cases[i].path) << i;
}

// A journal's records left in the clusters of a file since deleted are
// carved with -a, said to be carved and given no path; the clusters of a
// deleted file of random bytes yield none; without -a nothing changes.
TEST(UsnRecords, RecordsInFreeClustersAreCarvedWithA) {
  testing::ScratchNtfs v;
  v.Make("qst_carve", 16);
  if (!v.skip.empty()) QST_SKIP() << v.skip;
  // Times of now: a record must lie in the volume's life.
  const FILETIME now = kUnixEpochTicks + static_cast<FILETIME>(time(nullptr)) * kSecond;
  std::vector<std::string> records;
  for (int i = 0; i < 40; ++i)
    records.push_back(UsnRecordBytes(2 + i % 2, Ref(16 + i % 4, 1), Ref(5, 5), 0x1000 + 0x60 * i,
                                     now - 60 * kSecond + i, kUsnFileCreate | kUsnClose,
                                     u"gone-" + std::u16string(1, u'a' + i % 26) + u".txt"));
  std::string noise(64 * 1024, '\0');
  std::uint64_t x = 88172645463325252ull;
  for (char& c : noise) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
  std::ofstream(v.mount + "/old-journal", std::ios::binary) << Pages(records);
  std::ofstream(v.mount + "/noise", std::ios::binary) << noise;
  ASSERT_EQ(std::system(("sync && rm " + v.mount + "/old-journal " + v.mount + "/noise && umount " +
                         v.mount)
                            .c_str()),
            0);
  v.mounted = false;
  const auto carved = testing::RunQst({"-d", v.image, "-a", "-U", "--journal-only", "--csv"});
  EXPECT_EQ(testing::Count(carved.out, ",carved\r\n"), records.size()) << carved.out;
  EXPECT_EQ(testing::Count(carved.out, "\r\n"), records.size() + 1);  // the header's line
  EXPECT_NE(carved.out.find(",gone-a.txt,,32,0,0,2.0,carved\r\n"), std::string::npos) << carved.out;
  EXPECT_NE(carved.err.find("no USN change journal"), std::string::npos);
  EXPECT_NE(carved.err.find("read for journal records, 40 carved\n"), std::string::npos)
      << carved.err;
  EXPECT_EQ(carved.status, 0);
  const auto plain = testing::RunQst({"-d", v.image, "-U", "--journal-only", "--csv"});
  EXPECT_EQ(plain.out,
            "usn,time,reason,reasons,file_record,file_sequence,parent_record,parent_sequence,name,"
            "path,attributes,source_info,security_id,version\r\n");
  EXPECT_EQ(plain.status, 1);
  v.Remove();
}

// A volume of one file (record 20) whose journal holds `records`; its
// creation as $STANDARD_INFORMATION says.
VolumeBuilder VolumeWithJournal(const std::vector<std::string>& records, FILETIME created) {
  VolumeBuilder b;
  b.Add(20, RecordBuilder(1, 1)
                .Resident(0x10, StandardInformation(created))
                .Resident(0x30, FileName(5, 5, u"report.txt"))
                .Close());
  AddJournal(b, Pages(records));
  return b;
}

// With -S, each shadow copy's journal joins the volume's own, a record that
// both hold once: a creation set back before the volume's journal begins,
// but inside a copy's, is found.
TEST(UsnRecords, EachCopysJournalJoinsTheVolumesOwn) {
  const std::string created =
      UsnRecordBytes(2, Ref(20, 1), Ref(5, 5), 0x7F00, kT0, kUsnFileCreate, u"report.txt");
  const std::string both =
      UsnRecordBytes(2, Ref(20, 1), Ref(5, 5), 0x8000, kT0 + kSecond, kUsnClose, u"report.txt");
  const std::string later = UsnRecordBytes(2, Ref(20, 1), Ref(5, 5), 0x8060, kT0 + 2 * kSecond,
                                           kUsnDataExtend | kUsnClose, u"report.txt");
  VolumeBuilder now = VolumeWithJournal({both, later}, kT0 - 86400 * kSecond);
  VolumeBuilder then = VolumeWithJournal({created, both}, kT0);
  MemoryVolumeReader now_reader(now.bytes()), then_reader(then.bytes());
  std::unique_ptr<NtfsVolume> volume, store;
  std::string error;
  ASSERT_TRUE(NtfsVolume::Open(now_reader, {}, &volume, &error)) << error;
  ASSERT_TRUE(NtfsVolume::Open(then_reader, {}, &store, &error)) << error;
  const StoreVolume stores[] = {{1, kT0, store.get()}};
  testing::FakePlatform host;
  for (bool merged : {false, true}) {
    ImageSelection selection;
    selection.path = "vol.raw";
    std::unique_ptr<WitnessPart> part;
    ASSERT_TRUE(OpenJournalPart(
        {selection, *volume, host, nullptr,
         merged ? std::span<const StoreVolume>(stores) : std::span<const StoreVolume>()},
        &part, &error));
    RawFileInfo info;
    info.basic.CreationTime = kT0 - 86400 * kSecond;
    part->Join({20, 1, 0}, &info, nullptr);
    EXPECT_EQ(info.facts.Get(Fact::kUsnRecords), merged ? 3u : 2u);
    EXPECT_EQ(info.facts.Has(Fact::kUsnCreated), merged);
    EXPECT_EQ(ReadSigns(info).Alerts().empty(), !merged);
    EXPECT_EQ(part->LossReport(),
              merged ? "qst: vol.raw: USN journal of shadow copy 1: 1 records the volume's own no "
                       "longer holds\n"
                     : "");
  }
  // Listed, the copy's record comes first, and each says where it was read.
  ImageSelection selection;
  selection.listed = Witness::kUsn;
  std::unique_ptr<WitnessLister> lister;
  ASSERT_TRUE(OpenJournalLister({selection, volume.get(), host, nullptr, stores}, &lister, &error));
  std::vector<std::string> listed;
  EXPECT_TRUE(lister->List([&](const ListedRecord& r) {
    listed.push_back(std::to_string(r.As<UsnRecord>().usn) + " " + r.state + " " +
                     std::string(r.path));
  }));
  EXPECT_EQ(listed,
            (std::vector<std::string>{"32512 copy 1 made 2024-01-17T21:20:00Z C:\\report.txt",
                                      "32768 live C:\\report.txt", "32864 live C:\\report.txt"}));
}

}  // namespace
}  // namespace qst
