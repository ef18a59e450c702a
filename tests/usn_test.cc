// The USN change journal: records of each version built from Microsoft's
// layouts, pages, sparse streams and damage; a volume that holds a journal,
// whose signs fire on the files made for them; real records from Windows.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ntfs_builder.h"
#include "probe/memory-reader.h"
#include "probe/ntfs/mft-record.h"
#include "probe/ntfs/ntfs-volume.h"
#include "probe/ntfs/run-list.h"
#include "probe/witnesses/usn/usn-journal.h"
#include "probe/witnesses/usn/usn-part.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"
#include "usn_builder.h"

namespace qst {
namespace {

using namespace testing::ntfs;
using testing::Count;
using testing::RowField;
using testing::RunQst;
using testing::WithoutVolumeMade;

using namespace testing::usn;

// A volume whose $Extend\$UsnJrnl:$J starts with 8 sparse clusters, then a
// page of records at cluster 200. Files: 16 created 10 s before its
// journal record says (backdated), 17 as the journal says, 18 with its
// times set alone, and 19 of another sequence number than the journal's.
VolumeBuilder JournalVolume(bool first_piece_lost = false) {
  VolumeBuilder b;
  auto file = [&](std::uint64_t n, const std::u16string& name, FILETIME created) {
    b.Add(n, RecordBuilder(1, 2)
                 .Resident(0x10, StandardInformation(created))
                 .Resident(0x30, FileName(5, 5, name))
                 .Close());
  };
  file(16, u"backdated.txt", kT0 - 10 * kSecond);
  file(17, u"honest.txt", kT0);
  file(18, u"touched.txt", kT0);
  file(19, u"reused.txt", kT0);
  AddJournal(
      b,
      Pages({
          UsnRecordBytes(2, Ref(16, 2), Ref(5, 5), 0x8000, kT0, kUsnFileCreate, u"backdated.txt"),
          UsnRecordBytes(2, Ref(17, 2), Ref(5, 5), 0x8060, kT0, kUsnFileCreate | kUsnClose,
                         u"honest.txt"),
          UsnRecordBytes(3, Ref(18, 2), Ref(5, 5), 0x80C0, kT0 + kSecond,
                         kUsnFileCreate | kUsnClose, u"touched.txt"),
          UsnRecordBytes(3, Ref(18, 2), Ref(5, 5), 0x8120, kT0 + 60 * kSecond,
                         kUsnBasicInfoChange | kUsnClose, u"touched.txt"),
          UsnRecordBytes(4, Ref(18, 2), Ref(5, 5), 0x8180, 0, kUsnDataExtend, u""),
          UsnRecordBytes(2, Ref(19, 1), Ref(5, 5), 0x81C0, kT0, kUsnFileCreate, u"reused.txt"),
          Folder(UsnRecordBytes(2, Ref(5, 5), Ref(5, 5), 0x8200, kT0, kUsnBasicInfoChange, u".")),
          Folder(UsnRecordBytes(2, Ref(11, 11), Ref(5, 5), 0x8240, kT0, kUsnBasicInfoChange,
                                u"$Extend")),
      }),
      first_piece_lost);
  return b;
}

TEST(UsnJournal, FilesAreJoinedOnTheirReference) {
  VolumeBuilder b = JournalVolume();
  MemoryVolumeReader reader(b.bytes());
  std::unique_ptr<NtfsVolume> volume;
  std::string error;
  ASSERT_TRUE(NtfsVolume::Open(reader, {}, &volume, &error)) << error;
  UsnJournalIndex index;
  ASSERT_TRUE(ReadVolumeJournal(
      *volume, [&](const UsnRecord& r) { index.Add(r); }, &index.damaged, &index.unreadable));
  EXPECT_EQ(index.records(), 8u);
  EXPECT_EQ(index.damaged, 0u);
  const UsnJournalIndex::File* touched = index.Find(18, 2);
  ASSERT_NE(touched, nullptr);
  EXPECT_EQ(touched->records, 3u);
  EXPECT_EQ(touched->created, kT0 + kSecond);
  EXPECT_EQ(touched->times_set, kT0 + 60 * kSecond);
  EXPECT_TRUE(touched->times_set_alone);
  EXPECT_EQ(index.Find(19, 2), nullptr);  // the journal's file 19 was another
  // A close that changed the attributes, or changed more than the basic
  // information, set no times alone.
  const auto close = [](std::uint32_t reason, std::uint32_t attributes) {
    UsnRecord r;
    r.major = 3;
    r.file = Ref(30, 1);
    r.has_time = true;
    r.time = kT0;
    r.reason = reason;
    r.attributes = attributes;
    return r;
  };
  const struct {
    std::vector<UsnRecord> records;
    bool alone;
  } closes[] = {
      {{close(kUsnFileCreate | kUsnClose, 0x20), close(kUsnBasicInfoChange | kUsnClose, 0x20)},
       true},
      {{close(kUsnBasicInfoChange | kUsnClose, 0x20)}, true},
      {{close(kUsnFileCreate | kUsnClose, 0x20), close(kUsnBasicInfoChange | kUsnClose, 0x22)},
       false},
      // A service sets hidden and system: the change, then its close,
      // both with the new attributes.
      {{close(kUsnFileCreate | kUsnClose, 0x2010), close(kUsnBasicInfoChange, 0x2016),
        close(kUsnBasicInfoChange | kUsnClose, 0x2016)},
       false},
      {{close(kUsnFileCreate | kUsnClose, 0x2010), close(kUsnBasicInfoChange, 0x2010),
        close(kUsnBasicInfoChange | kUsnClose, 0x2010)},
       true},
      {{close(kUsnBasicInfoChange | 0x4000 | kUsnClose, 0x10)}, false},  // indexable change
      {{close(kUsnBasicInfoChange | 0x1000 | 0x2000 | kUsnClose, 0x20)}, false},  // renamed
  };
  for (const auto& c : closes) {
    UsnJournalIndex one;
    for (const UsnRecord& r : c.records) one.Add(r);
    EXPECT_EQ(one.Find(30, 1)->times_set_alone, c.alone) << c.records.size();
  }
  FILETIME first = 0, last = 0;
  ASSERT_TRUE(index.Coverage(&first, &last));
  EXPECT_EQ(first, kT0);
  EXPECT_EQ(last, kT0 + 60 * kSecond);
}

// The piece of $J that holds its first clusters (and tells the stream's
// size) is lost: the pieces there are still read, and the loss is said.
TEST(UsnJournal, ALostFirstPieceCostsOnlyItself) {
  std::string whole = ::testing::TempDir() + "/qst_usn_whole_" + std::to_string(getpid());
  std::string lost = ::testing::TempDir() + "/qst_usn_lost_" + std::to_string(getpid());
  std::ofstream(whole, std::ios::binary) << JournalVolume().bytes();
  std::ofstream(lost, std::ios::binary) << JournalVolume(true).bytes();
  auto a = RunQst({"-d", whole, "-U", "--journal-only", "-e", "-u"});
  auto b = RunQst({"-d", lost, "-U", "--journal-only", "-e", "-u"});
  EXPECT_EQ(a.err, "");
  EXPECT_EQ(b.out, a.out);
  EXPECT_EQ(b.err, "qst: " + lost + ": USN journal read in part\n");
  unlink(whole.c_str());
  unlink(lost.c_str());
}

// A long journal's $J in pieces across four extension records, which the
// base record's $ATTRIBUTE_LIST names; the piece at VCN 0 is lost (its
// sizes with it): every record of the other pieces is listed.
TEST(UsnJournal, PiecesInExtensionRecordsAreEachReadWhereTheyStart) {
  const struct {
    const char* what;
    bool first;  // the piece at VCN 0 is there (sparse, then cluster 200)
    char claimed;
    int missing;  // the piece of the four that is lost, or -1
  } cases[] = {
      {"the first piece lost", false, 1, -1},
      {"the first piece lost, each run list a cluster longer than its VCNs", false, 2, -1},
      {"a middle piece lost, the first telling the stream's size", true, 1, 1},
  };
  for (const auto& c : cases) {
    VolumeBuilder b = JournalVolume();
    std::vector<std::string> names;
    std::vector<std::uint64_t> extensions;
    for (int piece = 0; piece < 4; ++piece) {
      if (piece == c.missing) continue;
      std::vector<std::string> records;
      for (int i = 0; i < 40; ++i) {
        names.push_back("p" + std::to_string(piece) + "r" + std::to_string(i));
        records.push_back(UsnRecordBytes(2, Ref(17, 2), Ref(5, 5), (9 + piece) * kCluster + 96 * i,
                                         kT0, kUsnDataExtend,
                                         std::u16string(names.back().begin(), names.back().end())));
      }
      const std::string page = Pages(records);
      ASSERT_EQ(page.size(), kCluster);
      b.bytes().replace((210 + piece) * kCluster, page.size(), page);
      // Its cluster; then, where it claims two, one of zeros further on.
      std::string runs = "\x21\x01";
      runs += static_cast<char>(210 + piece);
      runs += '\0';
      if (c.claimed == 2) runs += std::string("\x11\x01", 2) + static_cast<char>(40 - piece);
      runs += '\0';
      b.Add(26 + piece,
            RecordBuilder(1, 1, 25)
                .NonResident(0x80, runs, 0, 9 + static_cast<std::uint64_t>(piece), u"$J")
                .Close());
      extensions.push_back(26 + piece);
    }
    RecordBuilder base(1, 1);
    base.Resident(0x10, StandardInformation(1))
        .Resident(0x20, AttributeList({26, 27, 28, 29}))
        .Resident(0x30, FileName(11, 11, u"$UsnJrnl"));
    if (c.first)
      base.NonResident(0x80, std::string("\x01\x08\x21\x01\xC8\x00", 6), 13 * kCluster, 0, u"$J");
    b.Add(25, base.Close());
    const std::string image = ::testing::TempDir() + "/qst_usn_pieces_" + std::to_string(getpid());
    std::ofstream(image, std::ios::binary) << b.bytes();
    auto r = RunQst({"-d", image, "-U", "--journal-only", "--csv"});
    EXPECT_EQ(r.err, "qst: " + image + ": USN journal read in part\n") << c.what;
    for (const std::string& name : names)
      EXPECT_EQ(r.out.find("," + name + ","), r.out.rfind("," + name + ","))
          << name << " " << c.what;
    for (const std::string& name : names)
      EXPECT_NE(r.out.find("," + name + ","), std::string::npos) << name << " " << c.what;
    EXPECT_EQ(r.out.find(",backdated.txt,") != std::string::npos, c.first) << c.what;
    unlink(image.c_str());
  }
}

TEST(UsnJournal, SignsFireOnTheFilesMadeForThemAndOnNoOther) {
  std::string image = ::testing::TempDir() + "/qst_usn_" + std::to_string(getpid());
  std::ofstream(image, std::ios::binary) << JournalVolume().bytes();
  auto r = RunQst({"-d", image, "-U", "-e", "-u", "-r", "C:\\"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  auto alerts = [&](const std::string& name) { return RowField(r.out, "C:\\" + name, "alerts"); };
  EXPECT_EQ(alerts("backdated.txt"), "SI<USN");
  EXPECT_EQ(alerts("honest.txt"), "");
  EXPECT_EQ(alerts("touched.txt"), "times-set");
  EXPECT_EQ(alerts("reused.txt"), "");
  EXPECT_EQ(RowField(r.out, "C:\\backdated.txt", "finding"), "suspect (USN)");
  EXPECT_EQ(RowField(r.out, "C:\\honest.txt", "finding"), "consistent (USN)");
  EXPECT_NE(r.out.find("\nC:\\reused.txt |19 |"), std::string::npos);
  EXPECT_NE(r.out.find(" |null |null |0 |2024/01/17 21:20:00.000000000 (UTC) |"), std::string::npos)
      << r.out;
  // A body file: one line per record joined, named by its reasons.
  auto body = RunQst({"-d", image, "-U", "--bodyfile", "C:\\touched.txt"});
  EXPECT_NE(body.out.find("|C:\\touched.txt ($UsnJrnl: Basic info change, Close)|18|"),
            std::string::npos)
      << body.out;
  // No journal: one line on standard error, the files all reported.
  VolumeBuilder bare;
  bare.AddFile(16, u"a.txt", kT0);
  std::ofstream(image, std::ios::binary) << bare.bytes();
  auto none = RunQst({"-d", image, "-U", "--json", "C:\\a.txt"});
  EXPECT_NE(none.out.find("\"usn\":null,\"alerts\":[]"), std::string::npos) << none.out;
  EXPECT_EQ(none.err, "qst: " + image + ": no USN change journal ($Extend\\$UsnJrnl:$J)\n");
  unlink(image.c_str());
}

TEST(UsnJournal, ListedRecordByRecordWithPathsWhereTheVolumeLeads) {
  std::string image = ::testing::TempDir() + "/qst_usn_list_" + std::to_string(getpid());
  std::ofstream(image, std::ios::binary) << JournalVolume().bytes();
  auto r = RunQst({"-d", image, "-U", "--journal-only", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 8) << r.out;
  // The root is its own parent; a folder's path ends as in listings; a
  // folder is one in the body file.
  EXPECT_NE(r.out.find("\"name\":\".\",\"path\":\"C:\\\\\","), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"path\":\"C:\\\\$Extend\\\\\","), std::string::npos) << r.out;
  auto body = RunQst({"-d", image, "-U", "--journal-only", "--bodyfile"});
  EXPECT_NE(body.out.find("0|C:\\$Extend\\ ($UsnJrnl: Basic info change)|11|d/drwxrwxrwx|"),
            std::string::npos)
      << body.out;
  EXPECT_NE(body.out.find("0|C:\\backdated.txt ($UsnJrnl: File create)|16|r/rrwxrwxrwx|"),
            std::string::npos)
      << body.out;
  // The V4 record has no time for the body file: left out, and said; its
  // event has none either.
  EXPECT_EQ(body.err,
            "qst: 1 journal records of version 4 hold no time: the body file leaves them "
            "out\n");
  auto events = RunQst({"-d", image, "-U", "--journal-only", "--events"});
  EXPECT_EQ(std::count(events.out.begin(), events.out.end(), '\n'),
            std::count(r.out.begin(), r.out.end(), '\n'));
  EXPECT_NE(events.out.find("{\"datetime\":null,\"timestamp\":null,\"timestamp_desc\":\"Metadata "
                            "Modification Time\",\"message\":\"file 18-2: $UsnJrnl: Data extend\","
                            "\"path\":null,\"name\":null,\"usn\":33152,"),
            std::string::npos)
      << events.out;
  EXPECT_NE(
      events.out.find("\"filetime\":null,\"source\":\"USN\",\"data_type\":\"fs:ntfs:usn_change\","
                      "\"file_reference\":562949953421330}"),
      std::string::npos);
  EXPECT_NE(
      r.out.find("{\"usn\":32768,\"time\":{\"utc\":\"2024-01-17T21:20:00.0000000Z\","
                 "\"filetime\":133500000000000000},\"reason\":256,\"reasons\":[\"File "
                 "create\"],\"file\":{\"record\":16,\"sequence\":2},\"parent\":{\"record\":5,"
                 "\"sequence\":5},\"name\":\"backdated.txt\",\"path\":\"C:\\\\backdated.txt\","
                 "\"attributes\":32,\"source_info\":0,\"security_id\":0,\"version\":\"2.0\"}\n"),
      std::string::npos)
      << r.out;
  // A V4 record: no time, no name.
  EXPECT_NE(r.out.find("{\"usn\":33152,\"time\":null,\"reason\":2,\"reasons\":[\"Data extend\"]"),
            std::string::npos);
  // Nor attributes, nor a security ID.
  EXPECT_NE(r.out.find("\"attributes\":null,\"source_info\":0,\"security_id\":null"),
            std::string::npos)
      << r.out;
  // The stream alone, collected apart: no paths.
  std::string stream = image + ".J";
  std::string bytes = JournalVolume().bytes().substr(200 * kCluster, kUsnPage);
  std::ofstream(stream, std::ios::binary) << std::string(8 * kCluster, '\0') << bytes;
  auto alone = RunQst({"--usn-journal=" + stream, "-e", "-u"});
  EXPECT_EQ(alone.status, 0) << alone.err;
  EXPECT_EQ(alone.out.substr(0, alone.out.find('\n') + 1),
            "USN | time | reason | file | parent | name | path | attributes | source_info | "
            "security_id | version \n");
  EXPECT_NE(alone.out.find("\n33056 |2024/01/17 21:21:00.000000000 (UTC) |0x80008000: Basic info "
                           "change, Close |18-2 |5-5 |touched.txt |null |0x00000000 |0x00000000 "
                           "|0 |3.0 \n"),
            std::string::npos)
      << alone.out;
  // Usage: the journal alone takes no operands; --journal-only wants -U.
  EXPECT_EQ(RunQst({"--usn-journal=" + stream, "--journal-only", "C:\\"}).status, 254);
  EXPECT_EQ(RunQst({"-d", image, "--journal-only"}).status, 254);
  EXPECT_EQ(RunQst({"-U", "C:\\"}).status, 254);
  auto missing = RunQst({"--usn-journal=" + stream + ".none"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err.rfind("qst: cannot open the USN journal " + stream + ".none: ", 0), 0u)
      << missing.err;
  // What holds no bytes to read at will is refused, without waiting: a
  // folder, a pipe, /dev/zero.
  const std::string fifo = stream + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& unusable : {::testing::TempDir(), fifo, std::string("/dev/zero")}) {
    auto refused = RunQst({"--usn-journal=" + unusable, "-e"}, "timeout 10 env");
    EXPECT_EQ(refused.status, 1) << unusable;
    EXPECT_EQ(refused.err.rfind("qst: cannot open the USN journal " + unusable + ": ", 0), 0u)
        << refused.err;
    auto as_image = RunQst({"-d", unusable, "C:\\"}, "timeout 10 env");
    EXPECT_EQ(as_image.status, 1) << unusable;
    EXPECT_EQ(as_image.err.rfind("qst: cannot open image " + unusable + ": ", 0), 0u)
        << as_image.err;
  }
  unlink(fifo.c_str());
  unlink(stream.c_str());
  unlink(image.c_str());
}

// Journal names are data: names that differ print apart, and none forges a
// field of a row or turns the text around it.
TEST(UsnJournal, NamesStayApartAndInTheirField) {
  const std::u16string names[] = {u"\xD800x", u"\xDBFFx", u"\xFFFDx", u"a |1 |b",
                                  u"inv\x202Egpj.exe"};
  std::vector<std::string> records;
  for (std::size_t i = 0; i < std::size(names); ++i)
    records.push_back(
        UsnRecordBytes(2, Ref(30 + i, 1), Ref(5, 5), i * 0x100, kT0, 0x100, names[i]));
  const std::string stream = ::testing::TempDir() + "/qst_usn_names_" + std::to_string(getpid());
  std::ofstream(stream, std::ios::binary) << Pages(records);
  auto json = RunQst({"--usn-journal=" + stream, "--json"});
  EXPECT_EQ(json.status, 0) << json.err;
  // The lone surrogates, in WTF-8, each with its own bytes.
  EXPECT_NE(json.out.find("\"name_hex\":\"eda08078\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"name_hex\":\"edafbf78\""), std::string::npos) << json.out;
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 5);
  EXPECT_EQ(Count(json.out, "name_hex"), 2u);
  auto rows = RunQst({"--usn-journal=" + stream, "-e", "-u"});
  EXPECT_NE(rows.out.find(" |a <7C>1 <7C>b |null |"), std::string::npos) << rows.out;
  EXPECT_NE(rows.out.find(" |inv<U+202E>gpj.exe |null |"), std::string::npos) << rows.out;
  for (std::size_t pos = rows.out.find('\n') + 1; pos < rows.out.size();
       pos = rows.out.find('\n', pos) + 1) {
    const std::string row = rows.out.substr(pos, rows.out.find('\n', pos) - pos);
    EXPECT_EQ(Count(row, " |"), 10u) << row;
  }
  unlink(stream.c_str());
}

// A real volume: mkntfs, files made through ntfs-3g, and a journal written
// as the named stream $J of a file whose $FILE_NAME is then moved into
// $Extend (ntfs-3g makes no files there). report.txt is backdated through
// ntfs-3g after its journal record; notes.txt is left as it was made.
TEST(UsnJournal, AnNtfs3gVolumeWithAJournalInExtend) {
  testing::ScratchNtfs v;
  v.Make("qst_usn", 16);
  if (!v.skip.empty()) QST_SKIP() << v.skip;
  const std::string m = v.mount;
  ASSERT_EQ(std::system(("echo r > " + m + "/report.txt && echo n > " + m + "/notes.txt").c_str()),
            0);
  ASSERT_TRUE(testing::SetNtfsTimes(m + "/report.txt", kT0 - 3600 * kSecond, kT0, kT0));
  // Times of the clock's grain, as a file written at kT0 has.
  constexpr FILETIME kWritten = kT0 + 1234567;
  ASSERT_TRUE(testing::SetNtfsTimes(m + "/notes.txt", kWritten, kWritten, kWritten));
  std::system(("umount " + m).c_str());
  v.mounted = false;
  auto record = [&](const char* path) {
    std::string row = RunQst({"-d", v.image, "-e", path}).out;
    return std::stoull(row.substr(row.find(" |", row.find('\n')) + 2));
  };
  const std::uint64_t report = record("C:\\report.txt"), notes = record("C:\\notes.txt");
  std::string journal = Pages({
      UsnRecordBytes(3, Ref(report, 1), Ref(5, 5), 0, kT0, kUsnFileCreate | kUsnClose,
                     u"report.txt"),
      UsnRecordBytes(3, Ref(notes, 1), Ref(5, 5), 0x60, kT0, kUsnFileCreate | kUsnClose,
                     u"notes.txt"),
      UsnRecordBytes(3, Ref(report, 1), Ref(5, 5), 0xC0, kT0 + kSecond,
                     kUsnBasicInfoChange | kUsnClose, u"report.txt"),
  });
  const std::string stream = v.dir + "/J";
  std::ofstream(stream, std::ios::binary) << journal;
  ASSERT_EQ(
      std::system(("ntfs-3g -o streams_interface=windows " + v.image + " " + m + " && touch '" + m +
                   "/$UsnJrnl' && cat " + stream + " > '" + m + "/$UsnJrnl:$J' && umount " + m)
                      .c_str()),
      0);
  // Its $FILE_NAME's parent becomes $Extend (record 11).
  const std::uint64_t journal_record = record("C:\\$UsnJrnl");
  std::fstream image(v.image, std::ios::in | std::ios::out | std::ios::binary);
  std::string boot(512, '\0');
  image.read(boot.data(), 512);
  const std::uint64_t sector = std::uint64_t{static_cast<std::uint8_t>(boot[11])} |
                               std::uint64_t{static_cast<std::uint8_t>(boot[12])} << 8;
  const std::uint64_t cluster = sector * static_cast<std::uint8_t>(boot[13]);
  std::uint64_t mft = 0;
  for (int i = 7; i >= 0; --i) mft = mft << 8 | static_cast<std::uint8_t>(boot[0x30 + i]);
  const std::uint64_t at = mft * cluster + journal_record * 1024;
  std::string r(1024, '\0');
  image.seekg(static_cast<std::streamoff>(at));
  image.read(r.data(), 1024);
  auto le = [&](std::size_t pos, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(r[pos + i]);
    return value;
  };
  std::size_t pos = le(20, 2);
  while (le(pos, 4) != 0x30 && le(pos + 4, 4) != 0) pos += le(pos + 4, 4);
  ASSERT_EQ(le(pos, 4), 0x30u);
  std::string parent(8, '\0');
  Put(parent, 0, Ref(11, 11), 8);
  image.seekp(static_cast<std::streamoff>(at + pos + le(pos + 20, 2)));
  image.write(parent.data(), 8);
  image.close();

  auto run = RunQst({"-d", v.image, "-U", "-e", "-u", "C:\\report.txt", "C:\\notes.txt"});
  EXPECT_EQ(WithoutVolumeMade(run.err), "");
  EXPECT_NE(run.out.find("\nC:\\report.txt |" + std::to_string(report) + " |"), std::string::npos);
  auto alerts = [&](const std::string& name) { return RowField(run.out, "C:\\" + name, "alerts"); };
  // Set on whole seconds, its change time not: set-seconds too.
  EXPECT_EQ(alerts("report.txt"), "set-seconds SI<USN times-set") << run.out;
  EXPECT_EQ(alerts("notes.txt"), "") << run.out;
  // The journal listed, with paths from the volume.
  auto listed = RunQst({"-d", v.image, "-U", "--journal-only", "--csv"});
  EXPECT_NE(listed.out.find(",notes.txt,C:\\notes.txt,"), std::string::npos) << listed.out;
  // A journal collected apart whose clock went back 4 days, and a minute
  // (its jitter) the other way: the step said once, the files made in the
  // span the clock ran twice noted.
  constexpr FILETIME kDay = 86400 * kSecond;
  const std::string apart = v.dir + "/J-back";
  std::ofstream(apart, std::ios::binary) << Pages({
      UsnRecordBytes(3, Ref(notes, 1), Ref(5, 5), 0, kT0 + 3 * kDay, kUsnClose, u"notes.txt"),
      UsnRecordBytes(3, Ref(notes, 1), Ref(5, 5), 0x60, kT0 - kDay, kUsnClose, u"notes.txt"),
      UsnRecordBytes(3, Ref(notes, 1), Ref(5, 5), 0xC0, kT0 - kDay - 60 * kSecond, kUsnClose,
                     u"notes.txt"),
  });
  auto back = RunQst({"-d", v.image, "--usn-journal=" + apart, "-e", "-u", "C:\\notes.txt"});
  EXPECT_EQ(WithoutVolumeMade(back.err),
            "qst: " + v.image +
                ": the clock was set back 4 days 00:00:00: USN 96 at 2024/01/16 21:20:00.000000000 "
                "(UTC) follows a record at 2024/01/20 21:20:00.000000000 (UTC)\n");
  EXPECT_NE(RowField(back.out, "C:\\notes.txt", "notes").find("clock-back"), std::string::npos)
      << back.out;
  EXPECT_EQ(RowField(run.out, "C:\\notes.txt", "notes").find("clock-back"), std::string::npos);
}

TEST(UsnJournal, RealWindowsRecordsAreRead) {
  const std::string sample = std::string(QST_SOURCE_DIR) + "/../shared/evidence/usn-sample.bin";
  if (access(sample.c_str(), R_OK) != 0) QST_SKIP() << "no " << sample;
  std::string bytes = testing::ReadFile(sample);
  std::uint64_t damaged = 0;
  std::vector<UsnRecord> records = Records(bytes, &damaged);
  EXPECT_EQ(damaged, 0u);
  ASSERT_FALSE(records.empty());
  for (const UsnRecord& r : records) {
    EXPECT_EQ(r.major, 2);
    EXPECT_FALSE(r.name.empty());
    EXPECT_GT(r.time, 130000000000000000u);  // after 2012
    EXPECT_LT(r.time, 140000000000000000u);
  }
  EXPECT_EQ(records[0].reason, kUsnFileCreate);
  EXPECT_EQ(records[1].reason, kUsnFileCreate | kUsnClose);
  // As events, one per record, in the form timeline tools import.
  auto events = RunQst({"--usn-journal=" + sample, "--events"});
  EXPECT_EQ(std::count(events.out.begin(), events.out.end(), '\n'),
            static_cast<long>(records.size()));
  EXPECT_EQ(events.out.rfind("{\"datetime\":\"2015-11-30T21:15:27.2031250Z\",\"timestamp\":"
                             "1448918127203125,\"timestamp_desc\":\"Metadata Modification "
                             "Time\",\"message\":",
                             0),
            0u)
      << events.out;

  // A Windows service setting hidden and system on a folder it made: its
  // basic information changed, its times not.
  const std::string service =
      std::string(QST_SOURCE_DIR) + "/../shared/evidence/usn-win10-attributes.bin";
  if (access(service.c_str(), R_OK) != 0) QST_SKIP() << "no " << service;
  std::vector<UsnRecord> service_records = Records(testing::ReadFile(service), &damaged);
  ASSERT_EQ(service_records.size(), 4u);  // made, made and closed, the change, its close
  UsnJournalIndex index;
  for (const UsnRecord& r : service_records) index.Add(r);
  const UsnJournalIndex::File* folder =
      index.Find(RecordNumber(service_records[0].file), SequenceNumber(service_records[0].file));
  ASSERT_NE(folder, nullptr);
  EXPECT_TRUE(folder->has_times_set);
  EXPECT_FALSE(folder->times_set_alone);
}

TEST(UsnJournal, FilesJoinTheirRecordsInSqliteOnRecordAndSequence) {
  if (std::system("command -v sqlite3 >/dev/null") != 0) QST_SKIP() << "needs sqlite3";
  const std::string dir = ::testing::TempDir() + "/qst_usn_join_" + std::to_string(getpid());
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  const std::string image = dir + "/volume.img";
  std::ofstream(image, std::ios::binary) << JournalVolume().bytes();
  std::ofstream(dir + "/files.csv") << RunQst({"-d", image, "-K", "--csv", "-r", "C:\\"}).out;
  std::ofstream(dir + "/journal.csv") << RunQst({"-d", image, "-U", "--journal-only", "--csv"}).out;
  // Each file's records: reused.txt's record held another file when the
  // journal wrote of it (another sequence number), so it joins none.
  const std::string joined =
      testing::Capture("cd " + dir +
                       " && sqlite3 -separator ' ' :memory: '.import --csv files.csv files' "
                       "'.import --csv journal.csv journal' "
                       "'SELECT f.path, count(j.usn) FROM files f LEFT JOIN journal j ON "
                       "j.file_record = f.\"index\" AND j.file_sequence = f.sequence "
                       "GROUP BY f.path ORDER BY f.path'");
  EXPECT_EQ(joined,
            "C:\\ 1\nC:\\backdated.txt 1\nC:\\honest.txt 1\nC:\\reused.txt 0\n"
            "C:\\touched.txt 3\n");
  // A name's folder joins the folder's own row.
  const std::string parents = testing::Capture(
      "cd " + dir +
      " && sqlite3 -separator ' ' :memory: '.import --csv files.csv files' "
      "'SELECT count(*) FROM files f JOIN files p ON p.\"index\" = f.parent_record AND "
      "p.sequence = f.parent_sequence'");
  EXPECT_EQ(parents, "5\n");
  std::system(("rm -rf " + dir).c_str());
}

TEST(UsnJournal, AFileThatHoldsNoJournalIsRefusedNotListed) {
  // A record with a minor version Windows never writes, or its name away
  // from its header, is stray bytes; a file whose first MiB of data holds
  // no record is no journal. Zeros are a journal not yet written.
  const std::string record =
      UsnRecordBytes(2, Ref(30, 1), Ref(5, 5), 0, kT0, kUsnFileCreate, u"a.txt");
  std::string minor = record, offset = record;
  minor[6] = 28;        // version 2.28
  offset[0x3A] = 0x40;  // the name 4 bytes past the header
  std::string noise(64 << 10, '\0');
  std::uint32_t x = 1;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  const struct {
    const char* what;
    std::string bytes;
    int status;
  } cases[] = {
      {"records", Pages({record, record}), 0},
      {"zeros", std::string(1 << 20, '\0'), 0},
      {"noise", noise, 1},
      {"version 2.28", Pages({minor}), 1},
      {"name off its place", Pages({offset}), 1},
  };
  const std::string file = ::testing::TempDir() + "/qst_usn_none_" + std::to_string(getpid());
  for (const auto& c : cases) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes;
    auto r = RunQst({"--usn-journal=" + file, "--journal-only", "-e"});
    EXPECT_EQ(r.status, c.status) << c.what << r.err;
    if (c.status != 0) {
      EXPECT_EQ(r.err, "qst: " + file +
                           " is not a USN journal: the first MiB of its data holds no record\n")
          << c.what;
    } else {
      EXPECT_EQ(r.err, "") << c.what;
    }
  }
  unlink(file.c_str());
}

}  // namespace
}  // namespace qst
