#include "print/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "cli/report.h"
#include "fake_platform.h"
#include "form_shape.h"
#include "print/form-text.h"
#include "print/html-report.h"
#include "print/schema.h"

namespace qst {
namespace {

// The memo.txt sample: times in UTC, an object ID whose birth ID is older.
RawFileInfo Memo(bool with_object_id) {
  RawFileInfo raw;
  raw.file_index = 41872;
  raw.basic.LastAccessTime = 129524953617302915;  // 2011-06-14 03:22:41.7302915
  raw.basic.LastWriteTime = 129514863094182273;   // 2011-06-02 11:05:09.4182273
  raw.basic.ChangeTime = 129514863100026148;      // 2011-06-02 11:05:10.0026148
  raw.basic.CreationTime = 129512692758610936;    // 2011-05-30 22:47:55.8610936
  raw.has_object_id = with_object_id;
  const std::uint8_t object_id[16] = {0x00, 0xC6, 0x22, 0xDC, 0x0E, 0x8B, 0xE0, 0x11,
                                      0x9A, 0x3F, 0x02, 0x4F, 0x7A, 0x19, 0xC3, 0x08};
  const std::uint8_t volume_id[16] = {0x5C, 0x1E, 0x0A, 0x93, 0xD2, 0xB7, 0x4F, 0x6E,
                                      0x8A, 0x0C, 0x31, 0xF5, 0xB9, 0xD4, 0x7E, 0x26};
  const std::uint8_t birth_id[16] = {0x80, 0x67, 0x1F, 0xB0, 0x07, 0xEB, 0xDF, 0x11,
                                     0x8B, 0x52, 0x02, 0x61, 0xD4, 0x8E, 0x05, 0x7B};
  std::memcpy(raw.object_id.ObjectId, object_id, 16);
  std::memcpy(raw.object_id.BirthVolumeId, volume_id, 16);
  std::memcpy(raw.object_id.BirthObjectId, birth_id, 16);
  std::memset(raw.object_id.DomainId, 0xEE, 16);
  return raw;
}

const char kMemoBlock[] =
    "\n"
    "  path: D:\\cases\\memo.txt \n"
    "    ID: 41872 \n"
    " atime: 2011/06/14 03:22:41.730291500 (UTC) \n"
    " mtime: 2011/06/02 11:05:09.418227300 (UTC) \n"
    " ctime: 2011/06/02 11:05:10.002614800 (UTC) \n"
    "crtime: 2011/05/30 22:47:55.861093600 (UTC) \n"
    "  type: FILETIME \n";

const char kMemoBlockObjectId[] =
    "\n"
    "   OID: 00C622DC0E8BE0119A3F024F7A19C308 \n"
    " otime: 2011/05/30 22:47:56.018432000 (UTC) \n"
    "  oseq: 6719 (1a3f) oMAC: 02-4F-7A-19-C3-08 \n"
    "\n"
    "  BOID: 80671FB007EBDF118B520261D48E057B \n"
    "botime: 2010/11/08 07:13:29.655078400 (UTC) \n"
    " boseq: 2898 (0b52) boMAC: 02-61-D4-8E-05-7B \n"
    "\n"
    "  BVID: 5C1E0A93D2B74F6E8A0C31F5B9D47E26 \n"
    "\n";

const char kMemoRow[] =
    "D:\\cases\\memo.txt |41872 |2011/06/14 03:22:41.730291500 (UTC) |2011/06/02 "
    "11:05:09.418227300 (UTC) |2011/06/02 11:05:10.002614800 (UTC) |2011/05/30 "
    "22:47:55.861093600 (UTC) |FILETIME |";

const char kMemoRowObjectId[] =
    "00C622DC0E8BE0119A3F024F7A19C308 |2011/05/30 22:47:56.018432000 (UTC) |6719 (1a3f) "
    "|02-4F-7A-19-C3-08 |80671FB007EBDF118B520261D48E057B |2010/11/08 07:13:29.655078400 (UTC) "
    "|2898 (0b52) |02-61-D4-8E-05-7B |5C1E0A93D2B74F6E8A0C31F5B9D47E26 \n";

const char kNullFields[] = "null | null | null | null | null | null | null | null | null\n";

std::string Report(const RawFileInfo& raw, bool csv, bool utc = true,
                   const std::string& path = "D:\\cases\\memo.txt", RecordFields fields = {}) {
  testing::FakePlatform zone;
  FileTimestampRecord record = BuildRecord(path, raw, TimeForm{utc, false}, zone, fields);
  std::string text;
  (csv ? kRowLayout : kBlockLayout).print(record, &text);
  return text;
}

TEST(FileReport, BlockWithObjectId) {
  EXPECT_EQ(Report(Memo(true), false), std::string(kMemoBlock) + kMemoBlockObjectId);
}

TEST(FileReport, BlockWithoutObjectIdEndsWithType) {
  EXPECT_EQ(Report(Memo(false), false), kMemoBlock);
}

TEST(FileReport, RowWithObjectId) {
  EXPECT_EQ(Report(Memo(true), true), std::string(kMemoRow) + kMemoRowObjectId);
}

TEST(FileReport, RowWithoutObjectIdHasNineNulls) {
  EXPECT_EQ(Report(Memo(false), true), std::string(kMemoRow) + kNullFields);
}

TEST(FileReport, LocalRunLabelsAllSixTimesLocal) {
  // The fake zone is nine hours east.
  std::string block = Report(Memo(true), false, false);
  EXPECT_NE(block.find(" atime: 2011/06/14 12:22:41.730291500 (LOCAL) \n"), std::string::npos);
  EXPECT_NE(block.find(" otime: 2011/05/31 07:47:56.018432000 (LOCAL) \n"), std::string::npos);
  EXPECT_EQ(block.find("(UTC)"), std::string::npos);
}

TEST(FileReport, IdPrintsAsSigned32Bits) {
  RawFileInfo raw = Memo(false);
  raw.file_index = 4294967295u;
  EXPECT_NE(Report(raw, false).find("    ID: -1 \n"), std::string::npos);
  raw.file_index = 2147483648u;
  EXPECT_NE(Report(raw, true).find(" |-2147483648 |"), std::string::npos);
}

TEST(FileReport, ZeroChangeTimePrintsTheEpoch) {
  RawFileInfo raw = Memo(false);
  raw.basic.ChangeTime = 0;
  EXPECT_NE(Report(raw, false).find(" ctime: 1601/01/01 00:00:00.000000000 (UTC) \n"),
            std::string::npos);
}

TEST(FileReport, ObjectIdTimeBefore1601IsReportedAheadOfTheRecord) {
  RawFileInfo raw = Memo(true);
  std::memset(raw.object_id.ObjectId, 0, 16);
  std::string row = Report(raw, true);
  EXPECT_EQ(row.rfind("Unknown Error\n", 0), 0u);
  EXPECT_NE(row.find("|00000000000000000000000000000000 |0000/00/00 00:00:00.000000000 (UTC) "
                     "|0 (0000) |00-00-00-00-00-00 |80671FB007EBDF118B520261D48E057B |"),
            std::string::npos)
      << row;
  EXPECT_EQ(row.find("Unknown Error", 1), std::string::npos);
}

TEST(FileReport, FailedOpenPrintsOnlyTheErrorLine) {
  testing::FakePlatform platform;
  platform.FailProbe("missing.txt", 2);
  platform.FailProbe("", 2);
  Output out, err;
  for (int csv : {0, 1}) {
    Context context(&platform, out, err);
    context.options.rows = csv;
    EXPECT_FALSE(ProcessFile("missing.txt", context).known());
    EXPECT_FALSE(ProcessFile("", context).known());
  }
  EXPECT_EQ(out.Text(),
            "\nmissing.txt, CODE=2:error 2\n\n\n, CODE=2:error 2\n\n"
            "\nmissing.txt, CODE=2:error 2\n\n\n, CODE=2:error 2\n\n");
  EXPECT_EQ(err.Text(), "");
}

// How many times `part` stands in `text`.
std::size_t Count(std::string_view text, std::string_view part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

TEST(FileReport, NamesCannotStartAnotherRowNorForgeAFieldNorTurnTheText) {
  const struct {
    std::string name, block, row;  // as the block and the row layouts show it
  } cases[] = {
      {"x.txt\nevil.exe |1 |2001", "x.txt<0A>evil.exe |1 |2001",
       "x.txt<0A>evil.exe <7C>1 <7C>2001"},
      {std::string("a\0b\r\x1B[2J\x7F", 9), "a<00>b<0D><1B>[2J<7F>", "a<00>b<0D><1B>[2J<7F>"},
      {"\t", "<09>", "<09>"},
      {"invoice\u202Egpj.exe", "invoice<U+202E>gpj.exe", "invoice<U+202E>gpj.exe"},
      {"\u2066a\u2069\u200E\u200F\u061C\u202A", "<U+2066>a<U+2069><U+200E><U+200F><U+061C><U+202A>",
       "<U+2066>a<U+2069><U+200E><U+200F><U+061C><U+202A>"},
      // C1 controls (a terminal obeys U+009B as ESC [), and the separators
      // readers split lines on.
      {"a\u009B2Jb\u0085c\u0080\u009F", "a<U+009B>2Jb<U+0085>c<U+0080><U+009F>",
       "a<U+009B>2Jb<U+0085>c<U+0080><U+009F>"},
      {"x\u2028y\u2029z", "x<U+2028>y<U+2029>z", "x<U+2028>y<U+2029>z"},
      // All else as it is: other characters of the same leading bytes too.
      {"caf\xC3\xA9 ~^<>%\u2019\u0630\u00A0\u00BF\xE2\xC2.txt",
       "caf\xC3\xA9 ~^<>%\u2019\u0630\u00A0\u00BF\xE2\xC2.txt",
       "caf\xC3\xA9 ~^<>%\u2019\u0630\u00A0\u00BF\xE2\xC2.txt"},
  };
  for (const auto& c : cases) {
    std::string block = Report(Memo(false), false, true, c.name);
    EXPECT_EQ(block.substr(0, block.find(" \n    ID:")), "\n  path: " + c.block);
    std::string row = Report(Memo(false), true, true, c.name);
    EXPECT_EQ(row.substr(0, row.find(" |41872 |")), c.row);
    EXPECT_EQ(std::count(row.begin(), row.end(), '\n'), 1) << row;
    EXPECT_EQ(Count(row, " |"), Count(kRowLayout.header({}), " | ")) << row;
    std::string error;
    AppendErrorLine(c.name, 2, "gone\n", &error);
    EXPECT_EQ(error, "\n" + c.block + ", CODE=2:gone\n\n");
    error.clear();
    AppendErrorLine(c.name, 2, "gone\n", &error, true);
    EXPECT_EQ(error, "\n" + c.row + ", CODE=2:gone\n\n");
  }
}

// The four times of the $FILE_NAME a path went by, as a disk image gives
// them.
void SetNameTimes(const FILE_BASIC_INFO& times, RawFileInfo* raw) {
  raw->facts.Set(Fact::kNameAccess, times.LastAccessTime);
  raw->facts.Set(Fact::kNameWrite, times.LastWriteTime);
  raw->facts.Set(Fact::kNameChange, times.ChangeTime);
  raw->facts.Set(Fact::kNameCreation, times.CreationTime);
}

// The fields of a run with -n and -a, or without.
RecordFields Fields(bool name_times, bool deleted) {
  RecordFields fields;
  if (name_times) fields.witnesses.add(Witness::kFileName);
  if (deleted) fields.witnesses.add(Witness::kState);
  return fields;
}

// The signs that fire, by name.
std::string Signs(const RawFileInfo& raw) {
  std::string names;
  AppendSignNames(ReadSigns(raw), " ", &names);
  return names;
}

// The memo.txt sample as a disk image gives it: its name's times are those
// of its creation, whose fraction the SI times were made to lose.
RawFileInfo MemoWithNameTimes(bool with_object_id) {
  RawFileInfo raw = Memo(with_object_id);
  FILE_BASIC_INFO created = raw.basic;
  created.LastAccessTime = created.LastWriteTime = created.ChangeTime = created.CreationTime;
  SetNameTimes(created, &raw);
  raw.basic.CreationTime -= 8610936;  // 22:47:55.0000000, before its name's creation
  raw.deleted = true;
  return raw;
}

TEST(FileReport, NameTimesAndStateFollowTheTypeInTheBlock) {
  std::string block =
      Report(MemoWithNameTimes(false), false, true, "C:\\memo.txt", Fields(true, true));
  EXPECT_EQ(block.substr(block.find("  type:")),
            "  type: FILETIME \n"
            " state: deleted \n"
            " FN at: 2011/05/30 22:47:55.861093600 (UTC) \n"
            " FN mt: 2011/05/30 22:47:55.861093600 (UTC) \n"
            " FN ct: 2011/05/30 22:47:55.861093600 (UTC) \n"
            "FN crt: 2011/05/30 22:47:55.861093600 (UTC) \n"
            "FNtype: FILETIME \n"
            "alerts: SI<FN \n"
            " notes:  \n"
            "  find: suspect (FN) \n");
  // A live file has no state line; with no sign the alerts are empty.
  RawFileInfo live = Memo(false);
  SetNameTimes(live.basic, &live);
  block = Report(live, false, true, "C:\\memo.txt", Fields(true, true));
  EXPECT_EQ(block.substr(block.find("FNtype:")),
            "FNtype: FILETIME \nalerts:  \n notes:  \n  find: consistent (FN) \n");
}

TEST(FileReport, NameTimesAndStateAreTheLastFieldsOfTheRow) {
  const std::string name_fields =
      "|2011/05/30 22:47:55.861093600 (UTC) |2011/05/30 22:47:55.861093600 (UTC) "
      "|2011/05/30 22:47:55.861093600 (UTC) |2011/05/30 22:47:55.861093600 (UTC) |FILETIME "
      "|SI<FN | |suspect (FN) ";
  std::string row = Report(MemoWithNameTimes(true), true, true, "C:\\memo.txt", Fields(true, true));
  EXPECT_EQ(row.substr(row.find("5C1E0A93D2B74F6E8A0C31F5B9D47E26")),
            "5C1E0A93D2B74F6E8A0C31F5B9D47E26 " + name_fields + "|deleted \n");
  row = Report(MemoWithNameTimes(false), true, true, "C:\\memo.txt", Fields(true, false));
  EXPECT_EQ(row.substr(row.find("null | null | null | null | null | null | null | null | null")),
            std::string(kNullFields, sizeof kNullFields - 2) + " " + name_fields + "\n");
  row = Report(Memo(false), true, true, "C:\\memo.txt", Fields(false, true));
  EXPECT_EQ(row.substr(row.rfind("null")), "null |in use \n");
  // A file reached by no name has no name times to show.
  row = Report(Memo(false), true, true, "C:\\memo.txt", Fields(true, false));
  EXPECT_EQ(row.substr(row.rfind("null | null | null | null | null")),
            "null | null | null | null | null |null |null |null |null |null | | |unread \n");
  EXPECT_EQ(kRowLayout.header(Fields(true, true)).substr(kRowLayout.header({}).size() - 2),
            " | FN atime | FN mtime | FN ctime | FN crtime | FN TYPE | alerts | notes | finding | "
            "state \n");
}

TEST(OutputSchema, EveryRowHasTheFieldsOfItsHeaderWhateverTheRunShows) {
  // Every set of witnesses a run may show, on a file whose witnesses held
  // something, one whose held nothing, a shadow copy's state and a path
  // that failed: each row of -e and of CSV has as many fields as its
  // header, and JSON has each shown group's keys and no other's.
  RawFileInfo full = MemoWithNameTimes(true);
  full.facts.Set(Fact::kUsnRecords, 3);
  full.facts.Set(Fact::kUsnCreated, full.basic.CreationTime);
  full.facts.Set(Fact::kUsnFirst, full.basic.CreationTime);
  full.facts.Set(Fact::kUsnLast, full.basic.LastWriteTime);
  const RawFileInfo plain = Memo(false);
  RawFileInfo state = Memo(false);
  state.facts.Set(Fact::kSnapshotStore, 2);
  state.facts.Set(Fact::kSnapshotCreated, state.basic.LastWriteTime);
  testing::FakePlatform zone;
  for (int bits = 0; bits < 1 << kWitnessCount; ++bits) {
    RecordFields fields;
    for (int w = 0; w < kWitnessCount; ++w)
      if (bits >> w & 1) fields.witnesses.add(static_cast<Witness>(w));
    const std::string row_header = kRowLayout.header(fields);
    const std::string csv_header = kRfc4180Layout.header(fields);
    std::vector<FileTimestampRecord> records;
    for (const RawFileInfo* raw : std::initializer_list<const RawFileInfo*>{&full, &state, &plain})
      records.push_back(BuildRecord("C:\\memo.txt", *raw, TimeForm{true, true}, zone, fields));
    FileTimestampRecord failed;
    failed.path = "C:\\gone.txt";
    failed.error = 2;
    failed.error_text = "gone\n";
    failed.fields = fields;
    for (const FileTimestampRecord& r : records) {
      std::string row, csv, json;
      kRowLayout.print(r, &row);
      kRfc4180Layout.print(r, &csv);
      kJsonLayout.print(r, &json);
      EXPECT_EQ(Count(row, " |"), Count(row_header, " | ")) << bits << row;
      EXPECT_EQ(Count(csv, ","), Count(csv_header, ",")) << bits << csv;
      for (const FieldGroup& g : kFieldGroups) {
        for (const Column& c : g.columns) {
          if (c.json == nullptr || c.in_object) continue;
          EXPECT_EQ(Count(json, "\"" + std::string(c.json) + "\":"),
                    fields.has(g.witness) ? 1u : 0u)
              << bits << json;
        }
      }
    }
    std::string csv;
    kRfc4180Layout.print(failed, &csv);
    EXPECT_EQ(Count(csv, ","), Count(csv_header, ",")) << bits << csv;
  }
}

TEST(ForgerySigns, EachFiresOnItsCaseAlone) {
  constexpr FILETIME kDay = 864000000000;
  constexpr FILETIME kCreated = 130000000001234567;
  constexpr FILETIME kSecond = 10000000;
  // The object ID's time is 2011-05-30; the file is created later, a day
  // after the volume was made.
  const RawFileInfo memo = Memo(true);
  auto plain = [&] {
    RawFileInfo raw = memo;
    raw.basic.CreationTime = raw.basic.LastWriteTime = raw.basic.ChangeTime =
        raw.basic.LastAccessTime = kCreated;
    SetNameTimes(raw.basic, &raw);
    raw.volume_created = kCreated - kDay;
    return raw;
  };
  const struct {
    const char* signs;  // alerts, then notes
    const char* finding;
    void (*make)(RawFileInfo&);
  } cases[] = {
      {"", "consistent (FN)", [](RawFileInfo&) {}},
      {"SI<FN", "suspect (FN)", [](RawFileInfo& r) { r.basic.CreationTime -= 1; }},
      {"SI>FN", "suspect (FN)",
       [](RawFileInfo& r) {
         for (FILETIME* t : {&r.basic.CreationTime, &r.basic.LastWriteTime, &r.basic.ChangeTime,
                             &r.basic.LastAccessTime})
           *t += 3 * kSecond;
       }},
      {"SI-seconds", "suspect (FN)",
       [](RawFileInfo& r) {
         for (FILETIME* t : {&r.basic.CreationTime, &r.basic.LastWriteTime, &r.basic.ChangeTime,
                             &r.basic.LastAccessTime})
           *t += kSecond - kCreated % kSecond;
       }},
      {"ctime<volume", "suspect (FN)",
       [](RawFileInfo& r) { r.basic.ChangeTime = r.volume_created - 3 * kDay; }},
      {"ctime<volume", "suspect (FN)",  // the name's, after a rename
       [](RawFileInfo& r) { r.facts.Set(Fact::kNameChange, r.volume_created - 3 * kDay); }},
      {"", "consistent (FN)",  // within the 2 days a zone can make
       [](RawFileInfo& r) { r.basic.ChangeTime = r.volume_created - kDay; }},
      {"OID<SI", "suspect (FN OID)",
       [](RawFileInfo& r) {
         std::memcpy(r.object_id.BirthObjectId, r.object_id.ObjectId, 16);
         std::memcpy(r.volume_id, r.object_id.BirthVolumeId, 16);
         r.has_volume_id = true;
       }},
      {"copied", "provenance (FN)", [](RawFileInfo& r) { r.basic.LastWriteTime -= kDay; }},
      {"extracted", "provenance (FN)",
       [](RawFileInfo& r) { r.basic.LastWriteTime = kCreated - kCreated % kSecond - kDay; }},
      {"seconds", "provenance (FN)",
       [](RawFileInfo& r) {
         for (FILETIME* t : {&r.basic.CreationTime, &r.basic.LastWriteTime, &r.basic.ChangeTime,
                             &r.basic.LastAccessTime})
           *t += kSecond - kCreated % kSecond;
         SetNameTimes(r.basic, &r);
       }},
      {"SI<volume FN<volume", "provenance (FN)",
       [](RawFileInfo& r) {
         r.basic.CreationTime = r.volume_created - 3 * kDay;
         r.facts.Set(Fact::kNameCreation, r.basic.CreationTime);
       }},
      {"clock-1/64", "consistent (FN)",
       [](RawFileInfo& r) {
         const FILETIME t = kCreated - kCreated % (kSecond / 64);
         r.basic.CreationTime = r.basic.LastWriteTime = r.basic.ChangeTime =
             r.basic.LastAccessTime = t;
         SetNameTimes(r.basic, &r);
         r.volume_created = t - kDay;  // formatted under the same clock
       }},
      {"", "consistent (FN)",  // the same times on a volume formatted by a newer system
       [](RawFileInfo& r) {
         const FILETIME t = kCreated - kCreated % (kSecond / 64);
         r.basic.CreationTime = r.basic.LastWriteTime = r.basic.ChangeTime =
             r.basic.LastAccessTime = t;
         SetNameTimes(r.basic, &r);
       }},
      {"SI<FN copied", "suspect (FN)",
       [](RawFileInfo& r) {
         r.basic.CreationTime += kDay;
         r.facts.Set(Fact::kNameCreation, r.facts.Get(Fact::kNameCreation) + 2 * kDay);
       }},
      {"SI<FN", "suspect (FN)",  // the 8.3 name left when the long one was edited
       [](RawFileInfo& r) { r.facts.Set(Fact::kShortNameCreation, kCreated + kDay); }},
      {"SI>FN", "suspect (FN)",
       [](RawFileInfo& r) { r.facts.Set(Fact::kShortNameCreation, kCreated - kDay); }},
      {"set-seconds", "suspect (FN)",  // SetFileTime on whole seconds, then a rename
       [](RawFileInfo& r) {
         for (FILETIME* t :
              {&r.basic.CreationTime, &r.basic.LastWriteTime, &r.basic.LastAccessTime})
           *t += kSecond - kCreated % kSecond;
         SetNameTimes(r.basic, &r);
       }},
      {"", "consistent (FN)",  // the same beside a change time on the 1/64-second clock
       [](RawFileInfo& r) {
         for (FILETIME* t :
              {&r.basic.CreationTime, &r.basic.LastWriteTime, &r.basic.LastAccessTime})
           *t += kSecond - kCreated % kSecond;
         r.basic.ChangeTime -= kCreated % (kSecond / 64);
         SetNameTimes(r.basic, &r);
       }},
      {"mtime<I30", "suspect (FN I30)",
       [](RawFileInfo& r) {
         r.facts.Set(Fact::kNameLinks, 1);
         r.facts.Set(Fact::kIndexCreation, r.basic.CreationTime);
         r.facts.Set(Fact::kIndexWrite, r.basic.LastWriteTime + 1);
       }},
      {"", "consistent (FN I30)",  // the entry of another hard link, which lags
       [](RawFileInfo& r) {
         r.facts.Set(Fact::kNameLinks, 2);
         r.facts.Set(Fact::kIndexCreation, r.basic.CreationTime);
         r.facts.Set(Fact::kIndexWrite, r.basic.LastWriteTime + 1);
       }},
      {"", "consistent (FN I30)",  // a folder's entry lags: never later, but not weighed
       [](RawFileInfo& r) {
         r.basic.FileAttributes = kFileAttributeDirectory;
         r.facts.Set(Fact::kNameLinks, 1);
         r.facts.Set(Fact::kIndexCreation, r.basic.CreationTime);
         r.facts.Set(Fact::kIndexWrite, r.basic.LastWriteTime + 1);
       }},
      {"LOG-fwd", "suspect (FN LOG)",
       [](RawFileInfo& r) {
         r.facts.Set(Fact::kLogRecords, 2);
         r.facts.Set(Fact::kLogMovedForward, 1);
       }},
      {"SI!=LOG", "suspect (FN LOG)",
       [](RawFileInfo& r) {
         r.facts.Set(Fact::kLogRecords, 2);
         r.facts.Set(Fact::kLogUnwritten, 1);
       }},
  };
  for (const auto& c : cases) {
    RawFileInfo raw = plain();
    c.make(raw);
    EXPECT_EQ(Signs(raw), c.signs) << c.signs;
    std::string finding;
    AppendFindingText(ReadSigns(raw), SignWitnesses(raw), 0, &finding);
    EXPECT_EQ(finding, c.finding) << c.signs;
  }
  // Without the data a sign needs, it stays silent, and nothing is read.
  RawFileInfo raw = plain();
  raw.basic.CreationTime -= 1;
  raw.facts = {};
  EXPECT_EQ(Signs(raw), "");
  EXPECT_EQ(FindingOf(ReadSigns(raw), SignWitnesses(raw)), Finding::kUnread);
  raw = plain();
  std::memcpy(raw.object_id.BirthObjectId, raw.object_id.ObjectId, 16);
  EXPECT_EQ(Signs(raw), "");  // the volume's own ID is not known
  raw = plain();
  raw.volume_created = 0;  // nor when the volume was made
  raw.basic.ChangeTime = raw.basic.CreationTime = 1;
  raw.facts.Set(Fact::kNameCreation, 1);
  EXPECT_EQ(Signs(raw), "");
}

}  // namespace
}  // namespace qst

namespace qst {
namespace {

TEST(CsvText, NoNameRunsAsAFormulaAndEachComesBackExactly) {
  const struct {
    std::string name, field;
  } cases[] = {
      {"=1+2", "'=1+2"},
      {"+1", "'+1"},
      {"-x.txt", "'-x.txt"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\tx", "'\tx"},
      {"\rx", "\"'\rx\""},
      {"=a,b", "\"'=a,b\""},
      {"'=x", "''=x"},  // an apostrophe of its own is kept, one more in front
      {"''", "''"},
      {"'x", "'x"},
      {"a=b", "a=b"},
      {"C:\\=x", "C:\\=x"},
  };
  for (const auto& c : cases) {
    std::string field;
    AppendCsvName(c.name, &field);
    EXPECT_EQ(field, c.field) << c.name;
    // A program takes one apostrophe off a field that starts with the
    // ones a formula would.
    std::string back = field.front() == '"' ? field.substr(1, field.size() - 2) : field;
    const std::size_t first = back.find_first_not_of('\'');
    if (first != std::string::npos && first > 0 &&
        std::string_view("=+-@\t\r").find(back[first]) != std::string_view::npos)
      back.erase(0, 1);
    EXPECT_EQ(back, c.name);
  }
  // A NUL, at which programs that read CSV end a text, as the text layouts
  // write it.
  std::string field;
  AppendCsvName(std::string("a\0b", 3), &field);
  EXPECT_EQ(field, "a<00>b");
}

TEST(HtmlPage, SaysWhatWasNotReadAndLossesLineByLine) {
  testing::FakePlatform zone;
  RecordFields fields;
  fields.witnesses.add(Witness::kFileName);
  HtmlReport report(fields, TimeForm{true, false}, zone);
  ReportRun run;
  run.losses = "qst: a.img: 2 records lost\nqst: a.img: USN journal read in part\n";
  std::string page = report.Page(run);
  EXPECT_NE(
      page.find("<pre>qst: a.img: 2 records lost\nqst: a.img: USN journal read in part\n</pre>"),
      std::string::npos);
  EXPECT_EQ(page.find("&lt;0A&gt;"), std::string::npos);
  // A witness the volume never had is no loss.
  run.losses += "qst: a.img: no volume shadow copies\n";
  run.absent = "qst: a.img: no volume shadow copies\n";
  page = report.Page(run);
  EXPECT_NE(
      page.find("<pre>qst: a.img: 2 records lost\nqst: a.img: USN journal read in part\n</pre>"
                "</dd>\n<dt>Not on this volume</dt><dd><pre>qst: a.img: no volume shadow "
                "copies\n</pre>"),
      std::string::npos);
  // Without the volume's creation, its signs were not read; with it, they
  // were (and fired on nothing here).
  EXPECT_NE(page.find("<code>ctime&lt;volume</code></td><td>not read (needs -d)"),
            std::string::npos);
  EXPECT_NE(page.find("<code>SI&lt;USN</code></td><td>not read (needs -U)"), std::string::npos);
  run.has_created = true;
  run.created = 130000000000000000;
  page = report.Page(run);
  EXPECT_NE(page.find("data-sign=\"ctime&lt;volume\">0<"), std::string::npos);
  EXPECT_NE(page.find("<dt>Volume made</dt>"), std::string::npos);
}

TEST(HtmlPage, AFlaggedFileShowsTheValuesEachSignWeighsAndItsHonestCauses) {
  constexpr FILETIME kDay = 864000000000;
  const FILETIME created = Memo(false).basic.CreationTime;  // 2011/05/30 22:47:55.8610936
  const struct {
    Witness witness;
    Fact fact;
    FILETIME value;
    const char* shown;  // the row's text for the sign
  } cases[] = {
      {Witness::kFileName, Fact::kNameCreation, created + kDay,
       "<code>SI&lt;FN</code>: $SI creation <span class=\"v\">2011/05/30 22:47:55.861093600</span> "
       "against $FN creation <span class=\"v\">2011/05/31 22:47:55.861093600</span>"},
      {Witness::kIndex, Fact::kIndexCreation, created - 7,
       "<code>SI!=I30</code>: $SI creation <span class=\"v\">2011/05/30 22:47:55.861093600</span> "
       "against $I30 creation <span class=\"v\">2011/05/30 22:47:55.861092900</span>"},
      {Witness::kUsn, Fact::kUsnCreated, created + kDay / 24,
       "<code>SI&lt;USN</code>: $SI creation <span class=\"v\">2011/05/30 "
       "22:47:55.861093600</span> "
       "against journal's File create <span class=\"v\">2011/05/30 23:47:55.861093600</span>"},
  };
  testing::FakePlatform zone;
  for (const auto& c : cases) {
    RecordFields fields;
    fields.witnesses.add(c.witness);
    fields.report = true;
    HtmlReport report(fields, TimeForm{true, false}, zone);
    RawFileInfo raw = Memo(false);
    raw.facts.Set(c.fact, c.value);
    report.Add(BuildRecord("C:\\f", raw, TimeForm{true, false}, zone, fields));
    const std::string page = report.Page(ReportRun{});
    EXPECT_NE(page.find(c.shown), std::string::npos) << c.shown << "\n" << page;
    const std::size_t sign = page.find(c.shown);
    EXPECT_NE(page.find("<small>Also: ", sign), std::string::npos);
  }
}

TEST(HtmlPage, TheChartsBarsAndTicksFitTheTimes) {
  // Files made over a span: the bars are the least calendar step that holds
  // it in a hundred, the axis ticks at round times, each series in the
  // legend and in the chart's table.
  constexpr FILETIME kStart = 133500000000000000;  // 2024-01-17 21:20:00 UTC
  constexpr FILETIME kMinute = 600000000, kDay = 1440 * kMinute;
  const struct {
    FILETIME span;
    const char* bars;
    const char* first_tick;
  } cases[] = {
      {25 * kMinute, "bars of 30 seconds", ">2024/01/17 21:25:00<"},
      {3 * kDay, "bars of 1 hour", ">2024/01/18<"},
      {200 * 365 * kDay, "bars of 5 years", ">"},
  };
  testing::FakePlatform zone;
  for (const auto& c : cases) {
    RecordFields fields;
    fields.witnesses.add(Witness::kFileName);
    HtmlReport report(fields, TimeForm{true, false}, zone);
    for (FILETIME t = 0; t <= 100; ++t) {
      RawFileInfo raw = Memo(false);
      raw.basic.CreationTime = kStart + c.span / 100 * t;
      raw.facts.Set(Fact::kNameCreation, raw.basic.CreationTime);
      report.Add(
          BuildRecord("C:\\f" + std::to_string(t), raw, TimeForm{true, false}, zone, fields));
    }
    const std::string page = report.Page(ReportRun{});
    EXPECT_NE(page.find(c.bars), std::string::npos) << c.bars;
    const std::size_t tick = page.find("text-anchor=\"middle\"");
    ASSERT_NE(tick, std::string::npos);
    EXPECT_NE(page.find(c.first_tick, tick), std::string::npos) << page.substr(tick, 120);
    EXPECT_NE(page.find("files by $SI creation</text>"), std::string::npos);
    EXPECT_NE(page.find("$FILE_NAME creation</text>"), std::string::npos);
    EXPECT_EQ(page.find("journal: File create</text>"), std::string::npos);
    EXPECT_NE(page.find("<th>$FILE_NAME</th>"), std::string::npos);
    EXPECT_NE(page.find("0 earlier and 0 later files"), std::string::npos);
  }
}

TEST(HtmlPage, TheChartsRangeHoldsWhatItDrawsAndCountsWhatItDoesNot) {
  // Times at both ends of what a FILETIME holds: the range runs from the
  // first to the last, never wrapping past 2^64 ticks; a $FILE_NAME time
  // beyond the bars' range is counted in the caption.
  constexpr FILETIME kLast = ~FILETIME{0};
  const struct {
    std::vector<FILETIME> created;
    FILETIME name;
    const char* range;
    const char* outside;
  } cases[] = {
      {{0, 0x7FFFFFFFFFFFFFFF, kLast},
       0,
       "0 earlier and 1 later files are outside the chart; outside it too: 1 $FILE_NAME creation "
       "time.",
       "Files by creation time, 1601/01/01 to 30828/09/14"},
      {std::vector<FILETIME>(300, 133500000000000000), kLast,
       "0 earlier and 0 later files are outside the chart; outside it too: 1 $FILE_NAME "
       "creation time.",
       "Files by creation time, 2024/01/17 21:20:00 to 2024/01/17 21:20:00"},
  };
  testing::FakePlatform zone;
  for (const auto& c : cases) {
    RecordFields fields;
    fields.witnesses.add(Witness::kFileName);
    HtmlReport report(fields, TimeForm{true, false}, zone);
    for (std::size_t i = 0; i < c.created.size(); ++i) {
      RawFileInfo raw = Memo(false);
      raw.basic.CreationTime = c.created[i];
      raw.facts.Set(Fact::kNameCreation, i == 0 && c.name != 0 ? c.name : c.created[i]);
      report.Add(
          BuildRecord("C:\\f" + std::to_string(i), raw, TimeForm{true, false}, zone, fields));
    }
    const std::string page = report.Page(ReportRun{});
    EXPECT_NE(page.find(c.range), std::string::npos) << page.substr(page.find("<svg"), 600);
    EXPECT_NE(page.find(c.outside), std::string::npos) << page.substr(page.find("<svg"), 600);
    // The y axis is marked below its top too.
    EXPECT_NE(page.find("text-anchor=\"end\" x=\"46\" y=\"224\">0</text>"), std::string::npos);
  }
}

TEST(HtmlText, NamesAreTextWhateverTheyHold) {
  struct Case {
    std::string name, html;
  };
  const Case cases[] = {
      {"plain \xc3\xa9.txt", "plain \xc3\xa9.txt"},
      {"<b>&'\"</b>", "&lt;b&gt;&amp;&#39;&quot;&lt;/b&gt;"},
      {"line\nbreak\x7f", "line&lt;0A&gt;break&lt;7F&gt;"},
      {"not utf-8 \xff", "not utf-8 \xef\xbf\xbd"},
      {std::string("nul\0x", 5), "nul&lt;00&gt;x"},
      {"invoice\u202Egpj.exe", "invoice<span class=\"mark\">&lt;U+202E&gt;</span>gpj.exe"},
  };
  for (const Case& c : cases) {
    std::string out;
    AppendHtmlText(c.name, &out);
    EXPECT_EQ(out, c.html) << c.name;
  }
}

TEST(EventForm, NoValueOutgrowsASearchEngineAndLongPathsAreKeptWhole) {
  // A path of 40,000 bytes (deep folders of two-byte characters): each
  // event's values stay under 32,766 bytes, the path is cut at a character
  // and marked, and its hex pieces give it back whole.
  std::string path = "C:";
  while (path.size() < 40000) path += "\\d\xC3\xA9\xC3\xA9\xC3\xA9";
  testing::UtcZone zone;
  std::string events;
  kEventsLayout.print(BuildRecord(path, Memo(false), TimeForm{true, true}, zone), &events);
  ASSERT_EQ(Count(events, "\n"), 4u);
  const std::string line = events.substr(0, events.find('\n'));
  // The longest string value: no event value holds a quote here but those
  // that end it.
  std::size_t longest = 0;
  for (std::size_t at = 0; (at = line.find('"', at)) != std::string::npos;) {
    const std::size_t end = line.find('"', at + 1);
    longest = std::max(longest, end - at - 1);
    at = end + 1;
  }
  EXPECT_LE(longest, 32766u);
  const std::string cut = "\"path\":\"";
  const std::size_t at = line.find(cut) + cut.size();
  const std::string shown = line.substr(at, line.find('"', at) - at);
  EXPECT_EQ(shown.substr(shown.size() - 6), " [cut]");
  std::string escaped;  // the path as JSON writes it
  for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_EQ(escaped.compare(0, shown.size() - 6, shown, 0, shown.size() - 6), 0);
  EXPECT_GT(shown.size(), 15000u);
  EXPECT_NE(line.find("\"message\":\"" + shown + ": $SI Creation Time\""), std::string::npos);
  std::string hex;
  const std::string parts = "\"path_hex_parts\":[";
  std::size_t p = line.find(parts) + parts.size();
  while (line[p] == '"') {
    const std::size_t end = line.find('"', p + 1);
    hex += line.substr(p + 1, end - p - 1);
    p = end + 1 + (line[end + 1] == ',');
  }
  std::string whole;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    whole += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  EXPECT_EQ(whole, path);
}

TEST(FormShape, AnyNameKeepsEveryFormsLinesRowsAndFields) {
  // Names built from the characters that end lines, separate fields, quote,
  // turn text or start formulas, or read as the text layouts' codes, mixed
  // with bytes that are not UTF-8: a file and a journal record so named
  // print as many lines, rows and fields in every form as a plain name does,
  // and what the text layouts show of a volume's name reads back as it.
  const std::vector<std::string> pieces = {"|",
                                           " |",
                                           ",",
                                           "\"",
                                           "'",
                                           "\n",
                                           "\r",
                                           "\r\n",
                                           std::string(1, '\0'),
                                           "\t",
                                           "=",
                                           "+",
                                           "-",
                                           "@",
                                           "\\",
                                           "/",
                                           "<0A>",
                                           "<U+202E>",
                                           "<3C",
                                           "<",
                                           "\xE2\x80\xAE",
                                           "\xE2\x81\xA6",
                                           "\xC3",
                                           "\xFF",
                                           "\xED\xA0\x80",
                                           "a",
                                           " ",
                                           "\x7F",
                                           "\x1B[2J",
                                           "{",
                                           "}",
                                           ":",
                                           "\u00e9"};
  const std::vector<char16_t> units = {u'|',   u',',   u'"',   u'\n',  u'\r', 0,     u'\t', u'=',
                                       0xD800, 0xDC00, 0x202E, 0x2066, u'a',  u'\\', 0x7F,  0xFFFF};
  std::mt19937 random(20261209);
  for (int n = 0; n < 3000; ++n) {
    std::string name;
    std::u16string journal_name;
    for (int k = 1 + static_cast<int>(random() % 8); k > 0; --k) {
      name += pieces[random() % pieces.size()];
      journal_name += units[random() % units.size()];
    }
    EXPECT_EQ(testing::FormShapeFault(name, journal_name), "") << testing::Escaped(name);
    // A volume's name, as the text layouts show it, reads back as itself.
    for (bool row : {false, true}) {
      std::string shown;
      AppendTextName(name, &shown, row, true);
      EXPECT_EQ(PathFromText(shown), name) << testing::Escaped(name) << " shown " << shown;
    }
  }
}

}  // namespace
}  // namespace qst
