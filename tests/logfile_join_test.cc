// $LogFile's records joined to files: which file each belongs to, and the
// signs of a time moved back, a creation set forward and a time the log
// never wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "logfile_builder.h"
#include "probe/witnesses/logfile/logfile-files.h"

namespace qst {
namespace {

using namespace testing::logfile;

// An MFT record image holding $STANDARD_INFORMATION with `times`.
std::vector<std::uint8_t> Image(std::uint16_t sequence, const std::vector<std::uint8_t>& times) {
  std::vector<std::uint8_t> v(0x38 + 0x18 + 0x48, 0);
  std::memcpy(v.data(), "FILE", 4);
  Put16(v, 0x10, sequence);
  Put16(v, 0x14, 0x38);
  Put32(v, 0x38, 0x10);
  Put32(v, 0x38 + 0x04, 0x18 + 0x48);
  Put32(v, 0x38 + 0x10, 0x48);
  Put16(v, 0x38 + 0x14, 0x18);
  std::copy(times.begin(), times.end(), v.begin() + 0x38 + 0x18);
  return v;
}

LogRecord Update(std::uint64_t lsn, std::uint16_t redo, const std::vector<std::uint8_t>& after,
                 const std::vector<std::uint8_t>& before, std::uint64_t record = 40) {
  static std::vector<std::vector<std::uint8_t>> keep;
  keep.push_back(after), keep.push_back(before);
  LogRecord r;
  r.lsn = lsn;
  r.type = kLogClientRecord;
  r.has_client = true;
  r.redo = redo;
  r.undo = redo == kLogInitializeFileRecordSegment ? std::uint16_t{kLogNoop} : redo;
  r.record_offset = 0x38;
  r.attribute_offset = 0x18;
  r.cluster_block = static_cast<std::uint16_t>(record % 4 * 2);
  r.target_vcn = record / 4;
  r.redo_data = keep[keep.size() - 2];
  r.undo_data = keep.back();
  return r;
}

constexpr std::uint64_t kT = 130000000000000000;  // 2012

// The facts the log `records` give file 40 (sequence 3) whose times are
// now `current`.
Facts JoinedFacts(const std::vector<LogRecord>& records, const NtfsTimes& current,
                  std::uint64_t whole_from = 0) {
  LogFileIndex index;
  for (const LogRecord& r : records) index.Add(r, LogTargetRecord(r, 4096, 1024));
  index.SetWholeFrom(whole_from);
  index.Seal();
  Facts facts;
  std::vector<WitnessEvent> events;
  index.Join(40, 3, false, current, &facts, &events);
  return facts;
}

TEST(LogFileJoin, TheSignFiresOnAForgersMoveAndNotOnHonestOnes) {
  const struct {
    const char* what;
    std::vector<LogRecord> records;
    bool fires;
  } cases[] = {
      {"creation set back years on a file a year old",
       {Update(10, kLogUpdateResidentValue, Times(kT - 5 * kYear, kT, kT + kHour, kT),
               Times(kT - kYear, kT, kT, kT))},
       true},
      {"a copy: made now, its write time set to the source's",
       {Update(10, kLogInitializeFileRecordSegment, Image(3, Times(kT, kT, kT, kT)), {}),
        Update(11, kLogUpdateResidentValue, Times(kT, kT - 2 * kYear, kT + 10, kT),
               Times(kT, kT, kT, kT))},
       false},
      {"an extraction: made now, creation and write set to the archive's",
       {Update(10, kLogUpdateResidentValue, Times(kT - kYear, kT - kYear, kT + 50, kT),
               Times(kT, kT + 20, kT + 20, kT))},
       false},
      {"a clock set back: the change time goes back too",
       {Update(10, kLogUpdateResidentValue, Times(kT - kYear, kT - kHour, kT - kHour, kT),
               Times(kT - kYear, kT, kT, kT))},
       false},
      {"SetFileTime 13 months after an untouched file was made: write set back 3 years",
       {Update(10, kLogUpdateResidentValue, Times(kT, kT - 3 * kYear, kT + 13 * kYear / 12, kT),
               Times(kT, kT, kT, kT))},
       true},
      {"two SetFileTime calls on a file a year old: creation to 2099, then back to 2010",
       {Update(10, kLogUpdateResidentValue, Times(kT + 87 * kYear, kT, kT + kHour, kT),
               Times(kT - kYear, kT, kT, kT)),
        Update(11, kLogUpdateResidentValue, Times(kT - 2 * kYear, kT, kT + 2 * kHour, kT),
               Times(kT + 87 * kYear, kT, kT + kHour, kT))},
       true},
      {"creation, write and change set back together: no clock moves a creation",
       {Update(10, kLogUpdateResidentValue,
               Times(kT - 3 * kYear, kT - 3 * kYear, kT - 3 * kYear, kT),
               Times(kT - kYear, kT, kT, kT))},
       true},
      {"a copy made now whose creation is set twice, forward and back",
       {Update(10, kLogInitializeFileRecordSegment, Image(3, Times(kT, kT, kT, kT)), {}),
        Update(11, kLogUpdateResidentValue, Times(kT + 87 * kYear, kT, kT + 10, kT),
               Times(kT, kT, kT, kT)),
        Update(12, kLogUpdateResidentValue, Times(kT - 2 * kYear, kT, kT + 20, kT),
               Times(kT + 87 * kYear, kT, kT + 10, kT))},
       false},
      {"times moved forward",
       {Update(10, kLogUpdateResidentValue, Times(kT, kT + kYear, kT + kYear, kT),
               Times(kT - kYear, kT, kT, kT))},
       false},
  };
  for (const auto& c : cases) {
    const Facts facts = JoinedFacts(c.records, NtfsTimes{kT - 5 * kYear, kT, kT + kHour, kT});
    EXPECT_EQ(facts.Get(Fact::kLogMovedBack) != 0, c.fires) << c.what;
    EXPECT_EQ(facts.Get(Fact::kLogRecords), c.records.size()) << c.what;
  }
}

TEST(LogFileJoin, ACreationSetForwardOrATimeTheLogNeverWroteIsTold) {
  const NtfsTimes now{kT, kT + kHour, kT + kHour, kT};
  const LogRecord touched = Update(10, kLogUpdateResidentValue,
                                   Times(kT, kT + kHour, kT + kHour, kT), Times(kT, kT, kT, kT));
  LogRecord moved_value =
      Update(11, kLogUpdateResidentValue, Times(kT - kYear, kT, kT, kT), Times(kT, kT, kT, kT));
  moved_value.record_offset = 0x48;
  const struct {
    const char* what;
    std::vector<LogRecord> records;
    NtfsTimes current;
    bool forward, unwritten;
    std::uint64_t whole_from = 0;  // logs merged: where they hold every record from
  } cases[] = {
      {"creation set a year forward on a file a year old",
       {Update(10, kLogUpdateResidentValue, Times(kT + kYear, kT, kT + kHour, kT),
               Times(kT - kYear, kT, kT, kT))},
       {kT + kYear, kT, kT + kHour, kT},
       true,
       false},
      {"a copy made now whose creation is set forward to its source's",
       {Update(10, kLogInitializeFileRecordSegment, Image(3, Times(kT, kT, kT, kT)), {}),
        Update(11, kLogUpdateResidentValue, Times(kT + kHour / 2, kT, kT + 10, kT),
               Times(kT, kT, kT, kT))},
       {kT + kHour / 2, kT, kT + 10, kT},
       false,
       false},
      {"creation rounded up to a whole second",
       {Update(10, kLogUpdateResidentValue, Times(kT + 9999999, kT, kT + kHour, kT),
               Times(kT, kT, kT, kT))},
       {kT + 9999999, kT, kT + kHour, kT},
       false,
       false},
      {"the log's last values are the record's", {touched}, now, false, false},
      {"a record lagging the log holds the values before its last record",
       {touched},
       {kT, kT, kT, kT},
       false,
       false},
      {"creation written in the record's bytes after the log",
       {touched},
       {kT - kYear, kT + kHour, kT + kHour, kT},
       false,
       true},
      {"write time written in the record's bytes after the log",
       {touched},
       {kT, kT - kYear, kT + kHour, kT},
       false,
       true},
      {"access alone unlike the log: not weighed",
       {touched},
       {kT, kT + kHour, kT + kHour, kT + 1},
       false,
       false},
      {"a value changed where a larger record keeps $SI: not weighed",
       {touched, moved_value},
       {kT - kYear, kT + kHour, kT + kHour, kT},
       false,
       false},
      {"a shadow copy's record before a gap between the logs: not weighed",
       {touched},
       {kT - kYear, kT + kHour, kT + kHour, kT},
       false,
       false,
       11},
      {"the same record where the logs hold every record since",
       {touched},
       {kT - kYear, kT + kHour, kT + kHour, kT},
       false,
       true,
       10},
  };
  for (const auto& c : cases) {
    const Facts facts = JoinedFacts(c.records, c.current, c.whole_from);
    EXPECT_EQ(facts.Get(Fact::kLogMovedForward) != 0, c.forward) << c.what;
    EXPECT_EQ(facts.Get(Fact::kLogUnwritten) != 0, c.unwritten) << c.what;
  }
}

TEST(LogFileJoin, RecordsBelongToTheFileTheirRecordHeldThen) {
  LogFileIndex index;
  auto add = [&](const LogRecord& r) { index.Add(r, LogTargetRecord(r, 4096, 1024)); };
  add(Update(5, kLogUpdateResidentValue, Times(kT, kT, kT, kT), Times(kT - kYear, kT, kT, kT)));
  add(Update(9, kLogInitializeFileRecordSegment,
             Image(7, Times(kT + kYear, kT + kYear, kT + kYear, kT + kYear)), {}));
  add(Update(12, kLogUpdateResidentValue,
             Times(kT + kYear, kT + 2 * kYear, kT + 2 * kYear, kT + kYear),
             Times(kT + kYear, kT + kYear, kT + kYear, kT + kYear)));
  index.Seal();
  Facts facts;
  std::vector<WitnessEvent> events;
  const NtfsTimes now{kT + kYear, kT + 2 * kYear, kT + 2 * kYear, kT + kYear};
  index.Join(40, 7, false, now, &facts, &events);
  EXPECT_EQ(facts.Get(Fact::kLogRecords), 2u);
  EXPECT_EQ(facts.Get(Fact::kLogFirstLsn), 9u);
  EXPECT_EQ(facts.Get(Fact::kLogLastLsn), 12u);
  // The earlier write, change and access; the current ones are left out.
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].code, 1u);
  EXPECT_EQ(events[0].time, kT + kYear);
  EXPECT_EQ(events[1].code, 2u);
  // The file before it (sequence 6) had the first record; nothing is joined
  // to a sequence the log never made.
  Facts other;
  events.clear();
  index.Join(40, 6, false, now, &other, &events);
  EXPECT_EQ(other.Get(Fact::kLogRecords), 0u);
  EXPECT_FALSE(other.Has(Fact::kLogFirstLsn));

  // Deleted: NTFS raised the sequence to 8 as it freed the record; the
  // file's records run from its initialisation to its deallocation.
  LogFileIndex freed;
  for (const LogRecord& r :
       {Update(9, kLogInitializeFileRecordSegment, Image(7, Times(kT, kT, kT, kT)), {}),
        Update(12, kLogUpdateResidentValue, Times(kT, kT + 1, kT + 1, kT), Times(kT, kT, kT, kT)),
        Update(15, kLogDeallocateFileRecordSegment, {}, {})})
    freed.Add(r, LogTargetRecord(r, 4096, 1024));
  freed.Seal();
  for (bool deleted : {true, false}) {
    Facts joined;
    events.clear();
    freed.Join(40, 8, deleted, now, &joined, &events);
    EXPECT_EQ(joined.Get(Fact::kLogRecords), deleted ? 3u : 0u) << deleted;
    EXPECT_EQ(joined.Get(Fact::kLogLastLsn), deleted ? 15u : 0u) << deleted;
  }
}

TEST(LogFileJoin, AnIndexEntryAddedJoinsTheFileItNamesWhereItsKeyIsAFileName) {
  // An entry naming record 40, sequence 7: in a folder's $I30, its key a
  // $FILE_NAME (a one-letter name, times at 0x08 of the key); in $ObjId:$O,
  // a 16-byte key whose bytes are no times.
  auto entry = [](std::uint16_t key_length, std::uint8_t name_length) {
    std::vector<std::uint8_t> e(0x10 + 0x42 + 2 * 8, 0);
    Put64(e, 0, std::uint64_t{7} << 48 | 40);
    Put16(e, 0x08, static_cast<std::uint16_t>(e.size()));
    Put16(e, 0x0A, key_length);
    Put64(e, 0x10 + 0x08, kT);
    Put64(e, 0x10 + 0x10, kT + kYear * 10000);
    e[0x10 + 0x40] = name_length;
    return e;
  };
  const struct {
    const char* what;
    std::vector<std::uint8_t> entry;
    bool joined;
  } cases[] = {{"$I30", entry(0x44, 1), true},
               {"$O", entry(16, 0), false},
               {"a key length unlike its name's", entry(0x48, 1), false}};
  for (const auto& c : cases) {
    LogRecord added = Update(20, kLogAddIndexEntryAllocation, c.entry, {}, 900);
    added.undo = kLogDeleteIndexEntryAllocation;
    EXPECT_EQ(TimesOfLogRecord(added, true).of != nullptr, c.joined) << c.what;
    LogFileIndex index;
    index.Add(added, LogTargetRecord(added, 4096, 1024));
    index.Seal();
    for (std::uint16_t sequence : {7, 6}) {
      Facts facts;
      std::vector<WitnessEvent> events;
      index.Join(40, sequence, false, NtfsTimes{}, &facts, &events);
      EXPECT_EQ(facts.Get(Fact::kLogRecords), c.joined && sequence == 7 ? 1u : 0u) << c.what;
    }
  }
}

}  // namespace
}  // namespace qst
