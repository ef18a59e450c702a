#include "print/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "cli/report.h"
#include "fake_platform.h"
#include "form_shape.h"
#include "memo_sample.h"
#include "print/form-text.h"
#include "print/html-report.h"
#include "print/schema.h"

namespace qst {
namespace {

using testing::Memo;

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
      {"out-of-order", "provenance (FN)",  // made before the record before it was
       [](RawFileInfo& r) { r.facts.Set(Fact::kRecordBefore, kCreated + 3 * kSecond); }},
      {"out-of-order", "provenance (FN)",  // made after the record after it was
       [](RawFileInfo& r) { r.facts.Set(Fact::kRecordAfter, kCreated - 3 * kSecond); }},
      {"", "consistent (FN)",  // within 2 s of both: threads taking records at once
       [](RawFileInfo& r) {
         r.facts.Set(Fact::kRecordBefore, kCreated + kSecond);
         r.facts.Set(Fact::kRecordAfter, kCreated - kSecond);
       }},
      {"", "consistent (FN)",  // beside records out of step themselves: one of them is
       [](RawFileInfo& r) {
         r.facts.Set(Fact::kRecordBefore, kCreated - kDay);
         r.facts.Set(Fact::kRecordAfter, kCreated - 2 * kDay);
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
