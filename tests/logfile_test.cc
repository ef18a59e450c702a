// $LogFile: the reader on logs built here (restart pages, record pages with
// fixups, records over pages, the wrap, damage), and the real Windows 7 log
// of the evidence volume through the binary, joined to its files (the join
// itself: logfile_join_test.cc).
#include "probe/witnesses/logfile/logfile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "logfile_builder.h"
#include "probe/witnesses/logfile/logfile-files.h"
#include "run_binary.h"
#include "test_env.h"

namespace qst {
namespace {

using namespace testing::logfile;

constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kBits = 44;  // sequence bits: offsets up to 8 MiB
constexpr std::uint32_t kData = 0x40;

// Writes the update sequence of the page at `at` (array at `array`): each
// sector's last two bytes saved in the array and replaced by the number.
void Protect(std::vector<std::uint8_t>& b, std::size_t at, std::size_t array, std::uint16_t usn) {
  Put16(b, at + 4, static_cast<std::uint16_t>(array));
  Put16(b, at + 6, kPage / 512 + 1);
  Put16(b, at + array, usn);
  for (std::size_t i = 1; i <= kPage / 512; ++i) {
    const std::size_t tail = at + i * 512 - 2;
    b[at + array + 2 * i] = b[tail], b[at + array + 2 * i + 1] = b[tail + 1];
    Put16(b, tail, usn);
  }
}

// A log of `pages` record pages after the two restart pages and `tails`
// tail pages, written from the start of its circular area on and wrapping
// at its end.
class LogBuilder {
 public:
  explicit LogBuilder(std::uint64_t pages, std::uint64_t tails = 2, std::int16_t major = 1)
      : bytes_((2 + tails + pages) * kPage, 0xFF),
        first_((2 + tails) * kPage),
        at_(first_ + kData),
        major_(major) {}

  // Appends a record of client data `client` with header `flags`; its LSN.
  std::uint64_t Add(const std::vector<std::uint8_t>& client, std::uint64_t previous = 0,
                    std::uint16_t flags = 0) {
    const std::uint64_t length = 0x30 + client.size();
    if (at_ % kPage + 0x30 > kPage) NextPage();
    const std::uint64_t lsn = sequence_ << (64 - kBits) | at_ >> 3;
    std::vector<std::uint8_t> record(length, 0);
    Put64(record, 0x00, lsn);
    Put64(record, 0x08, previous);
    Put32(record, 0x18, static_cast<std::uint32_t>(client.size()));
    Put32(record, 0x20, 1);
    Put32(record, 0x24, 7);
    Put16(record, 0x28, static_cast<std::uint16_t>(flags | (at_ % kPage + length > kPage)));
    std::copy(client.begin(), client.end(), record.begin() + 0x30);
    for (std::size_t i = 0; i < record.size();) {
      if (at_ % kPage == 0) at_ += kData;
      Open(at_ / kPage * kPage);
      const std::size_t n = std::min<std::size_t>(record.size() - i, kPage - at_ % kPage);
      std::copy(record.begin() + i, record.begin() + i + n, bytes_.begin() + at_);
      Put64(bytes_, at_ / kPage * kPage + 0x08, lsn);
      i += n, at_ += n;
      if (i == record.size())
        Put64(bytes_, at_ / kPage * kPage - (at_ % kPage == 0 ? kPage : 0) + 0x20, lsn);
      if (at_ % kPage == 0) NextPage();
    }
    at_ = (at_ + 7) / 8 * 8;
    last_ = lsn;
    return lsn;
  }

  // The log as written: restart pages (each whole unless `damage` names
  // it), record pages protected. With `in_tail`, the page of the newest
  // record is only in the last tail page, as NTFS has it while filling the
  // page: in its place, what the pass before left there.
  std::vector<std::uint8_t> Bytes(int damage = -1, bool in_tail = false) const {
    std::vector<std::uint8_t> b = bytes_;
    if (in_tail) {
      const std::size_t page = LsnOffset(last_, kBits) / kPage * kPage, tail = first_ - kPage;
      std::copy(b.begin() + page, b.begin() + page + kPage, b.begin() + tail);
      // Version 1.x names the page copied by its offset; 2.0 by the LSN.
      if (major_ < 2) Put64(b, tail + 0x08, page);
      auto stale = stale_.find(page);
      if (stale != stale_.end())
        std::copy(stale->second.begin(), stale->second.end(), b.begin() + page);
      else
        std::fill(b.begin() + page, b.begin() + page + kPage, 0xFF);
    }
    for (int r = 0; r < 2; ++r) {
      const std::size_t p = static_cast<std::size_t>(r) * kPage;
      std::fill(b.begin() + p, b.begin() + p + kPage, 0);
      std::memcpy(&b[p], "RSTR", 4);
      Put32(b, p + 0x10, kPage);
      Put32(b, p + 0x14, kPage);
      Put16(b, p + 0x18, 0x30);
      Put16(b, p + 0x1A, major_ < 2 ? 1 : 0);
      Put16(b, p + 0x1C, static_cast<std::uint16_t>(major_));
      const std::size_t a = p + 0x30;
      Put64(b, a + 0x00, last_);
      Put16(b, a + 0x08, 1);
      Put16(b, a + 0x0E, 2);
      Put32(b, a + 0x10, kBits);
      Put16(b, a + 0x14, 0x40 + 0xA0);
      Put16(b, a + 0x16, 0x40);
      Put64(b, a + 0x18, bytes_.size());
      Put16(b, a + 0x24, 0x30);
      Put16(b, a + 0x26, kData);
      Protect(b, p, 0x1E, static_cast<std::uint16_t>(r + 1));
      if (r == damage) Put16(b, p + 1022, 0xBEEF);
    }
    for (std::size_t p = 2 * kPage; p < b.size(); p += kPage)
      if (std::memcmp(&b[p], "RCRD", 4) == 0) Protect(b, p, 0x28, 0x77);
    return b;
  }

 private:
  void Open(std::size_t page) {
    if (std::memcmp(&bytes_[page], "RCRD", 4) == 0 && written_.count(page) != 0) return;
    if (std::memcmp(&bytes_[page], "RCRD", 4) == 0)
      stale_[page].assign(bytes_.begin() + page, bytes_.begin() + page + kPage);
    std::fill(bytes_.begin() + page, bytes_.begin() + page + kPage, 0);
    std::memcpy(&bytes_[page], "RCRD", 4);
    written_.insert(page);
  }
  void NextPage() {
    at_ = (at_ + kPage - 1) / kPage * kPage;
    if (at_ >= bytes_.size()) {
      at_ = first_;
      ++sequence_;
      written_.clear();
    }
    at_ += kData;
  }

  std::vector<std::uint8_t> bytes_;
  std::size_t first_, at_;
  std::int16_t major_;
  std::uint64_t sequence_ = 1, last_ = 0;
  std::set<std::size_t> written_;
  std::map<std::size_t, std::vector<std::uint8_t>> stale_;  // a page as the pass before left it
};

// NTFS client data: redo and undo operations and bytes, the record's
// target.
std::vector<std::uint8_t> Client(std::uint16_t redo, std::uint16_t undo,
                                 const std::vector<std::uint8_t>& redo_data,
                                 const std::vector<std::uint8_t>& undo_data,
                                 std::uint64_t record = 40, std::uint16_t record_offset = 0x38,
                                 std::uint16_t attribute_offset = 0x18) {
  std::vector<std::uint8_t> c(0x28, 0);
  Put16(c, 0x00, redo);
  Put16(c, 0x02, undo);
  Put16(c, 0x04, 0x28);
  Put16(c, 0x06, static_cast<std::uint16_t>(redo_data.size()));
  Put16(c, 0x08, static_cast<std::uint16_t>(0x28 + (redo_data.size() + 7) / 8 * 8));
  Put16(c, 0x0A, static_cast<std::uint16_t>(undo_data.size()));
  Put16(c, 0x0E, 1);
  Put16(c, 0x10, record_offset);
  Put16(c, 0x12, attribute_offset);
  // 4096-byte clusters of four 1024-byte records.
  Put16(c, 0x14, static_cast<std::uint16_t>(record % 4 * 2));
  Put64(c, 0x18, record / 4);
  c.insert(c.end(), redo_data.begin(), redo_data.end());
  c.resize(0x28 + (redo_data.size() + 7) / 8 * 8, 0);
  c.insert(c.end(), undo_data.begin(), undo_data.end());
  return c;
}

struct Read {
  LogFileScan scan;
  std::vector<LogRecord> records;
  std::vector<std::vector<std::uint8_t>> redo;
};

Read ReadLog(const std::vector<std::uint8_t>& log, std::uint64_t* bytes_read = nullptr) {
  Read r;
  r.scan = ReadLogFile(
      log.size(),
      [&](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
        if (offset > log.size() || size > log.size() - offset) return false;
        if (bytes_read != nullptr) *bytes_read += size;
        std::memcpy(out, log.data() + offset, size);
        return true;
      },
      [&](const LogRecord& rec) {
        r.records.push_back(rec);
        r.redo.emplace_back(rec.redo_data.begin(), rec.redo_data.end());
      });
  return r;
}

std::vector<std::uint8_t> Filled(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

TEST(LogFileReader, ReadsRecordsOverSectorsAndPagesInLsnOrder) {
  LogBuilder log(8);
  std::vector<std::uint64_t> lsns;
  // Sizes that cross sector tails (fixups) and pages.
  for (std::size_t n : {200, 900, 3000, 40, 5000, 64, 7000, 16})
    lsns.push_back(log.Add(Client(7, 7, Filled(n, static_cast<std::uint8_t>(n)), Filled(8, 1))));
  const Read r = ReadLog(log.Bytes());
  ASSERT_TRUE(r.scan.usable);
  EXPECT_EQ(r.scan.damaged_pages, 0u);
  EXPECT_EQ(r.scan.damaged_records, 0u);
  ASSERT_EQ(r.records.size(), lsns.size());
  std::size_t i = 0;
  for (std::size_t n : {200, 900, 3000, 40, 5000, 64, 7000, 16}) {
    EXPECT_EQ(r.records[i].lsn, lsns[i]);
    EXPECT_EQ(r.redo[i], Filled(n, static_cast<std::uint8_t>(n))) << n;
    EXPECT_EQ(r.records[i].redo, 7);
    ++i;
  }
  EXPECT_EQ(DescribeLogDamage("IMG", r.scan), "");
}

TEST(LogFileReader, GivesTheOldestFirstAcrossTheWrap) {
  LogBuilder log(4);
  std::vector<std::uint64_t> lsns;
  // About a page and a half past the end: the pages after the newest still
  // hold the records before them.
  for (int i = 0; i < 28; ++i) lsns.push_back(log.Add(Client(7, 7, Filled(700, 3), {})));
  const Read r = ReadLog(log.Bytes());
  ASSERT_FALSE(r.records.empty());
  // The newest are all there, in order, and none older than what the
  // log still holds.
  for (std::size_t i = 1; i < r.records.size(); ++i)
    EXPECT_LT(r.records[i - 1].lsn, r.records[i].lsn);
  EXPECT_EQ(r.records.back().lsn, lsns.back());
  EXPECT_LT(r.records.size(), lsns.size());
  EXPECT_LT(r.records.front().lsn >> (64 - kBits), lsns.back() >> (64 - kBits));
  EXPECT_EQ(r.scan.damaged_pages, 0u);
}

TEST(LogFileReader, ReadsTheNewestRecordsFromTheirTailCopy) {
  // Windows 7 (1.1, two tail pages), Windows 10 taken back to 1.1 (32 kept),
  // Windows 8 and later (2.0, 32).
  const struct {
    std::uint64_t tails;
    std::int16_t major;
  } logs[] = {{2, 1}, {32, 1}, {32, 2}};
  for (const auto& l : logs) {
    LogBuilder log(6, l.tails, l.major);
    std::vector<std::uint64_t> lsns;
    // Past the end, into pages the first pass filled; most records marked
    // as holding no redo (0x0002) or no undo bytes (0x0004), as Windows 8
    // and later write them.
    for (int i = 0; i < 40; ++i)
      lsns.push_back(log.Add(Client(7, 7, Filled(700, 3), {}), 0,
                             static_cast<std::uint16_t>(i % 3 == 0 ? 0 : 2 * (i % 3))));
    const Read r = ReadLog(log.Bytes(-1, true));
    ASSERT_GT(r.records.size(), 20u) << l.tails << " " << l.major;
    EXPECT_EQ(r.records.back().lsn, lsns.back()) << l.tails << " " << l.major;
    for (std::size_t i = 1; i < r.records.size(); ++i)
      EXPECT_LT(r.records[i - 1].lsn, r.records[i].lsn) << l.tails << " " << l.major;
    EXPECT_EQ(r.records.front().lsn >> (64 - kBits), 1u);
    EXPECT_EQ(r.scan.damaged_pages + r.scan.damaged_records, 0u);
  }
}

TEST(LogFileReader, DamageCostsOnlyWhatItTouches) {
  LogBuilder log(6);
  std::vector<std::uint64_t> lsns;
  for (int i = 0; i < 24; ++i) lsns.push_back(log.Add(Client(7, 7, Filled(500, 9), {})));
  {
    // A torn record page: one sector's tail is not the update number.
    std::vector<std::uint8_t> b = log.Bytes();
    b[6 * kPage + 1022] ^= 0xFF;
    const Read r = ReadLog(b);
    EXPECT_EQ(r.scan.damaged_pages, 1u);
    EXPECT_GT(r.records.size(), 15u);
    EXPECT_LT(r.records.size(), lsns.size());
    EXPECT_EQ(DescribeLogDamage("IMG", r.scan).substr(0, 28), "qst: IMG: $LogFile 1 damaged");
  }
  {
    const Read r = ReadLog(log.Bytes(0));
    EXPECT_TRUE(r.scan.usable);
    EXPECT_EQ(r.records.size(), lsns.size());
    EXPECT_EQ(DescribeLogDamage("IMG", r.scan),
              "qst: IMG: $LogFile one restart page damaged, the other used\n");
  }
  // One field of the restart area out of its range in both pages: the
  // records are read as NTFS lays them out, and the field is named.
  const struct {
    std::size_t at;  // in the restart area
    std::uint64_t value;
    int bytes;
    const char* field;
  } fields[] = {{0x26, kPage, 2, "page data offset"},
                {0x10, 70, 4, "sequence number bits"},
                {0x18, 0, 8, "file size"}};
  for (const auto& f : fields) {
    std::vector<std::uint8_t> b = log.Bytes();
    for (std::size_t page : {std::size_t{0}, std::size_t{kPage}}) {
      if (f.bytes == 2) Put16(b, page + 0x30 + f.at, static_cast<std::uint16_t>(f.value));
      if (f.bytes == 4) Put32(b, page + 0x30 + f.at, static_cast<std::uint32_t>(f.value));
      if (f.bytes == 8) Put64(b, page + 0x30 + f.at, f.value);
    }
    const Read r = ReadLog(b);
    EXPECT_EQ(r.records.size(), lsns.size()) << f.field;
    EXPECT_EQ(DescribeLogDamage("IMG", r.scan), std::string("qst: IMG: $LogFile restart area's ") +
                                                    f.field +
                                                    " out of range, read as NTFS writes them\n");
  }
  {
    // Every record claiming 1 MiB: each breaks off where the written pages
    // end, and the pages are read about once, not again for each record.
    LogBuilder big(64);
    std::vector<std::uint64_t> claims;
    for (int i = 0; i < 400; ++i) claims.push_back(big.Add(Client(7, 7, Filled(500, 9), {})));
    std::vector<std::uint8_t> b = big.Bytes();
    for (std::uint64_t lsn : claims) Put32(b, LsnOffset(lsn, kBits) + 0x18, 1u << 20);
    std::uint64_t bytes_read = 0;
    const Read r = ReadLog(b, &bytes_read);
    EXPECT_TRUE(r.records.empty());
    EXPECT_GT(r.scan.damaged_records, 50u);
    EXPECT_LT(bytes_read, 4 * b.size());
  }
  {
    std::vector<std::uint8_t> b = log.Bytes(0);
    b[kPage + 1022] ^= 0xFF;  // the second restart page torn too
    const Read r = ReadLog(b);
    EXPECT_FALSE(r.scan.usable);
    EXPECT_TRUE(r.records.empty());
    EXPECT_EQ(DescribeLogDamage("IMG", r.scan),
              "qst: IMG: $LogFile no whole restart page, not read\n");
  }
}

// The Windows 7 volume of the evidence: its log read whole, undamaged, and
// joined.
TEST(LogFileEvidence, TheWindowsLogIsReadWholeAndJoined) {
  const std::string raw = ::testing::TempDir() + "/qst_logfile_vss.raw";
  if (std::string why = testing::RawEvidenceVolume(QST_SOURCE_DIR, raw); !why.empty())
    QST_SKIP() << why;
  const testing::RunResult run = testing::RunQst({"-d", raw, "-L", "--json", "-r", "C:\\"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  // Every file of the volume is in the log's window (it was made minutes
  // before it was imaged): each has log records, and one was changed
  // after its creation.
  EXPECT_NE(run.out.find("\"C:\\\\another_file\""), std::string::npos);
  EXPECT_EQ(run.out.find("\"logfile\":null"), std::string::npos);
  EXPECT_NE(run.out.find("{\"time\":\"mtime\",\"filetime\":130305261868473142}"),
            std::string::npos);
  EXPECT_EQ(run.out.find("LOG-back"), std::string::npos);

  // The log itself: every record, oldest first, none damaged, each
  // operation one NTFS has.
  const testing::RunResult list = testing::RunQst({"-d", raw, "-L", "--logfile-only", "--csv"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.err, "");
  std::istringstream lines(list.out);
  std::string line;
  std::getline(lines, line);
  std::uint64_t records = 0, previous = 0;
  while (std::getline(lines, line)) {
    const std::uint64_t lsn = std::stoull(line);
    EXPECT_GT(lsn, previous);
    previous = lsn;
    ++records;
    EXPECT_EQ(line.find(",0x"), std::string::npos) << line;
  }
  // The client records from the oldest page on (the page the newest
  // overwrote keeps the start of an older pass, whose order is lost), the
  // two newest only in a tail page; the checkpoints' client restart areas
  // are no records of a change.
  EXPECT_EQ(records, 3347u);

  // A log collected apart in which a tool set another_file's creation
  // time back to what it is now from a day later, two days after that,
  // and in which a copy set the write time of password.txt (made a second
  // before) back: the sign fires on the first alone, and the creation time
  // it had is shown.
  constexpr std::uint64_t kMade = 130305261868473142;  // another_file's creation
  constexpr std::uint64_t kDay = 864000000000;
  LogBuilder log(8);
  log.Add(Client(kLogUpdateResidentValue, kLogUpdateResidentValue,
                 Times(kMade, kMade + 2 * kDay, kMade + 3 * kDay, kMade + 2 * kDay),
                 Times(kMade + kDay, kMade + 2 * kDay, kMade + 2 * kDay, kMade + 2 * kDay), 39));
  log.Add(Client(kLogUpdateResidentValue, kLogUpdateResidentValue,
                 Times(kMade, kMade - kYear, kMade + 20000000, kMade),
                 Times(kMade, kMade, kMade + 10000000, kMade), 41));
  const std::string apart = ::testing::TempDir() + "/qst_logfile_apart";
  {
    const std::vector<std::uint8_t> bytes = log.Bytes();
    std::ofstream(apart, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  const testing::RunResult forged = testing::RunQst(
      {"-d", raw, "--logfile=" + apart, "-e", "-u", "C:\\another_file", "C:\\password.txt"});
  EXPECT_EQ(forged.status, 0);
  EXPECT_EQ(forged.err, "");
  const std::vector<std::string> rows = testing::SortedLines(forged.out);
  ASSERT_EQ(rows.size(), 3u);  // another_file, password.txt, the header
  EXPECT_NE(rows[0].find("|1 |"), std::string::npos) << rows[0];
  // Shown as the other times are (kMade + kDay).
  EXPECT_NE(rows[0].find("crtime:2013/12/04 06:36:26.847314200 (UTC), "), std::string::npos)
      << rows[0];
  // The write time it shows is not the record's: written around the log.
  EXPECT_NE(rows[0].find("|LOG-back SI!=LOG | |suspect (LOG) "), std::string::npos) << rows[0];
  EXPECT_NE(rows[1].find("|1 |"), std::string::npos) << rows[1];
  EXPECT_EQ(rows[1].find("LOG-back"), std::string::npos) << rows[1];
  // Beside the volume's bare $MFT, whose own $DATA tells the cluster size
  // (its bytes allocated over its clusters): the same finding.
  const std::string mft = ::testing::TempDir() + "/qst_logfile_mft";
  ASSERT_EQ(std::system(("icat " + raw + " 0 > " + mft).c_str()), 0);
  const std::vector<std::string> args = {"-d", mft,  "--logfile=" + apart,
                                         "-e", "-u", "C:\\another_file"};
  const testing::RunResult told = testing::RunQst(args);
  EXPECT_EQ(told.err, "");
  EXPECT_NE(told.out.find("|LOG-back SI!=LOG | |suspect (LOG) "), std::string::npos) << told.out;
  // Its allocated size made to fit no cluster count, and a log whose
  // records state none either: the size taken is said.
  {
    std::fstream f(mft, std::ios::binary | std::ios::in | std::ios::out);
    std::string record(1024, '\0');
    f.read(record.data(), 1024);
    auto load = [&](std::size_t at, int size) {
      std::uint64_t v = 0;
      for (int i = size - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(record[at + i]);
      return v;
    };
    std::size_t a = load(0x14, 2);
    while (a + 0x30 < 1024 && load(a, 4) != 0x80) a += load(a + 4, 4);
    ASSERT_EQ(load(a, 4), 0x80u);
    f.seekp(static_cast<std::streamoff>(a + 0x28));
    f.write("\x39\x30\0\0\0\0\0\0", 8);  // 12,345 bytes
  }
  const testing::RunResult bare = testing::RunQst(args);
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.err, "qst: " + apart +
                          ": $LogFile read with clusters of 4096 bytes assumed (a bare $MFT tells "
                          "no cluster size, nor do the log's records): the MFT records it names "
                          "may be others\n");
  unlink(mft.c_str());
  unlink(apart.c_str());
  unlink(raw.c_str());
}

// A Windows 10 log collected apart, listed alone: every client record an
// independent reader finds, with its operations and target, and no other.
TEST(LogFileEvidence, AWindows10LogIsListedWholeAlone) {
  const std::string log = std::string(QST_SOURCE_DIR) + "/../shared/evidence/logfile-win10.bin";
  std::ifstream expected(std::string(QST_SOURCE_DIR) +
                         "/../shared/evidence/logfile-win10.records.tsv");
  if (access(log.c_str(), R_OK) != 0 || !expected) QST_SKIP() << "no " << log << " and its list";
  const testing::RunResult run = testing::RunQst({"--logfile=" + log, "--csv"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  // lsn, previous, undo next, transaction, redo, undo, record, target
  // attribute, record offset, attribute offset, target VCN, ...
  std::vector<std::string> listed;
  std::istringstream rows(run.out);
  std::string row, field;
  std::getline(rows, row);
  while (std::getline(rows, row)) {
    std::vector<std::string> f;
    std::istringstream fields(row);
    while (std::getline(fields, field, ',')) f.push_back(field);
    ASSERT_GE(f.size(), 11u) << row;
    listed.push_back(f[0] + " " + f[4] + " " + f[5] + " " + f[7] + " " + f[10] + " " + f[3]);
  }
  // lsn, redo, undo, target attribute, target VCN, cluster block, transaction
  std::vector<std::string> found;
  std::getline(expected, row);
  while (std::getline(expected, row)) {
    std::vector<std::string> f;
    std::istringstream fields(row);
    while (std::getline(fields, field, '\t')) f.push_back(field);
    ASSERT_EQ(f.size(), 7u) << row;
    found.push_back(f[0] + " " + f[1] + " " + f[2] + " " + f[3] + " " + f[4] + " " + f[6]);
  }
  EXPECT_EQ(found.size(), 266u);
  EXPECT_EQ(listed, found);
}

}  // namespace
}  // namespace qst
