// Shadow copies (-S) on a real Windows 7 volume with two stores: each
// store's rows against qst and istat over that store mounted apart with
// vshadowmount; a file gone since a store was made; the history sign on a
// copy whose current volume alone was forged; stores that cannot be read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "probe/memory-reader.h"
#include "probe/witnesses/snapshots/shadow-catalog.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::Capture;
using testing::RunQst;
using testing::ShellQuote;

// The evidence volume made raw once, its stores mounted apart, and two
// copies: one forged in its current volume only, one whose second store's
// data is said to lie elsewhere.
class ShadowCopies : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string dir_template = "/tmp/qst_vss_XXXXXX";
    dir_ = mkdtemp(dir_template.data());
    raw_ = dir_ + "/vsstest.raw";
    skip_ = testing::RawEvidenceVolume(QST_SOURCE_DIR, raw_, "vshadowmount istat jq");
    if (!skip_.empty()) return;
    // Another_file (record 39) was read after the second store was made:
    // the stores keep the block of its record as it was, so its creation
    // time set back here shows on the current volume alone.
    forged_ = dir_ + "/forged.raw";
    lost_ = dir_ + "/lost.raw";
    gone_ = dir_ + "/gone.raw";
    for (const std::string& copy : {forged_, lost_, gone_})
      std::system(("cp --sparse=always " + raw_ + " " + copy).c_str());
    Patch(forged_, CreationTimeOffset(39), Le64(130305261000000000));  // 2013-12-03 06:35:00
    // The second store's catalog entry of type 3, which says where its data
    // lies in the volume, made an empty one.
    Patch(lost_, 0x6e30200, std::string(1, '\x01'));
    // System Volume Information (record 36, in the same block as record 39)
    // deleted on the current volume alone: its record's in-use flag cleared.
    Patch(gone_, CreationTimeOffset(36) - 0x38 - 0x18 + 0x16, std::string("\x02", 1));
    if (geteuid() == 0 && access("/dev/fuse", R_OK | W_OK) == 0) {
      mount_ = dir_ + "/stores";
      std::system(
          ("mkdir " + mount_ + " && vshadowmount " + raw_ + " " + mount_ + " >/dev/null").c_str());
    }
  }
  static void TearDownTestSuite() {
    if (!mount_.empty()) std::system(("umount " + mount_ + " 2>/dev/null").c_str());
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }
  void SetUp() override {
    if (!skip_.empty()) QST_SKIP() << skip_;
  }

  static std::string Le64(std::uint64_t v) {
    std::string bytes(8, '\0');
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(v >> (8 * i));
    return bytes;
  }
  static std::uint64_t Load(const std::string& bytes, std::size_t at, int size) {
    std::uint64_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
  }
  static void Patch(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  // A copy of the evidence, `name` in the test's folder, with `bytes`
  // written at `offset`.
  static std::string PatchedCopy(const std::string& name, std::uint64_t offset,
                                 const std::string& bytes) {
    const std::string copy = dir_ + "/" + name;
    std::system(("cp --sparse=always " + raw_ + " " + copy).c_str());
    Patch(copy, offset, bytes);
    return copy;
  }
  // A copy of the evidence with `stores` stores, oldest first, each a copy
  // of its newer store (the same changed blocks, a block list of its own,
  // made ten minutes apart): a new catalog and the lists lie past the
  // volume's end, where the library reads too.
  static std::string ManyStores(int stores) {
    const std::string copy = dir_ + "/stores" + std::to_string(stores) + ".raw";
    std::system(("cp --sparse=always " + raw_ + " " + copy).c_str());
    std::ifstream in(raw_, std::ios::binary);
    auto read = [&in](std::uint64_t at, std::size_t size) {
      std::string bytes(size, '\0');
      in.seekg(static_cast<std::streamoff>(at));
      in.read(bytes.data(), static_cast<std::streamsize>(size));
      return bytes;
    };
    const std::uint64_t catalog = Load(read(0x1e00, 128), 0x30, 8), block = 0x4000;
    const std::string first = read(catalog, block);
    const std::string made = first.substr(3 * 128, 128), where = first.substr(4 * 128, 128);
    const std::string list = read(Load(where, 8, 8), block);
    const std::uint64_t end = 0x40000000, per_block = 127;
    const std::uint64_t blocks = (2 * stores + per_block - 1) / per_block;
    const std::uint64_t lists = end + blocks * block;
    std::vector<std::string> entries;
    for (int i = 0; i < stores; ++i) {
      std::string m = made, w = where;
      m.replace(0x10, 4, Le64(0x1000 + i).substr(0, 4));
      m.replace(0x30, 8, Le64(Load(made, 0x30, 8) + i * 6'000'000'000ull));
      w.replace(0x10, 16, m.substr(0x10, 16));
      w.replace(8, 8, Le64(lists + i * block));
      entries.push_back(m);
      entries.push_back(w);
      std::string own = list;
      own.replace(0x20, 16, Le64(lists + i * block) + Le64(0));
      Patch(copy, lists + i * block, own);
    }
    for (std::uint64_t b = 0; b < blocks; ++b) {
      std::string bytes = first.substr(0, 128) + std::string(block - 128, '\0');
      bytes.replace(0x18, 24,
                    Le64(b * block) + Le64(end + b * block) +
                        Le64(b + 1 < blocks ? end + (b + 1) * block : 0));
      for (std::uint64_t k = 0; k < per_block && b * per_block + k < entries.size(); ++k)
        bytes.replace((k + 1) * 128, 128, entries[b * per_block + k]);
      Patch(copy, end + b * block, bytes);
    }
    Patch(copy, 0x1e00 + 0x30, Le64(end));
    return copy;
  }
  // Where the creation time of a record's $STANDARD_INFORMATION lies in the
  // volume as Windows made it.
  static std::uint64_t CreationTimeOffset(std::uint64_t record) {
    return testing::CreationTimeOffset(raw_, record);
  }

  // One line per JSON record that `filter` (jq) selects, as `fields` give it.
  static std::vector<std::string> Rows(const std::vector<std::string>& args,
                                       const std::string& filter) {
    std::string command = ShellQuote(QST_BINARY);
    for (const std::string& a : args) command += " " + ShellQuote(a);
    std::string out = Capture(command + " --json 2>/dev/null | jq -r " +
                              ShellQuote("select(" + filter +
                                         ") | [.path, .index, .times.atime.utc, .times.mtime.utc, "
                                         ".times.ctime.utc, .times.crtime.utc, "
                                         "(.alerts // [] | join(\" \"))] | join(\"|\")"));
    std::vector<std::string> rows;
    for (std::size_t pos = 0; pos < out.size();) {
      std::size_t end = out.find('\n', pos);
      rows.push_back(out.substr(pos, end - pos));
      pos = end + 1;
    }
    return rows;
  }

  static inline std::string skip_, dir_, raw_, forged_, lost_, gone_, mount_;
};

// istat's four $STANDARD_INFORMATION times of a record, in the JSON's form.
std::string IstatTimes(const std::string& image, const std::string& record) {
  std::string out = Capture("istat -z UTC " + ShellQuote(image) + " " + record);
  std::string times;
  for (const char* label : {"Accessed:\t", "File Modified:\t", "MFT Modified:\t", "Created:\t"}) {
    std::size_t at = out.find(label);
    if (at == std::string::npos) return "";
    std::string t =
        out.substr(at + std::string(label).size(), 29);  // 2013-12-03 06:35:09.736378700
    t[10] = 'T';
    times += "|" + t.substr(0, 27) + "Z";
  }
  return times;
}

TEST_F(ShadowCopies, EachStoreAgreesWithTheStoreReadApart) {
  if (mount_.empty()) QST_SKIP() << "mounting the stores needs root and /dev/fuse";
  for (int store : {1, 2}) {
    const std::string device = mount_ + "/vss" + std::to_string(store);
    std::vector<std::string> rows =
        Rows({"-d", raw_, "-S", "-r", "C:\\"}, ".snapshot.store == " + std::to_string(store));
    std::vector<std::string> apart = Rows({"-d", device, "-r", "C:\\"}, "true");
    // Every name the store holds has its row, the files gone since included
    // (no file of this volume was renamed since: no row comes by reference
    // under a newer name).
    std::sort(rows.begin(), rows.end());
    std::sort(apart.begin(), apart.end());
    EXPECT_EQ(rows, apart) << "store " << store;
    EXPECT_GE(rows.size(), 5u);
    for (const std::string& row : rows) {
      // istat over the store's own device reads the same four times.
      std::size_t index = row.find('|') + 1;
      std::string record = row.substr(index, row.find('|', index) - index);
      std::size_t times = row.find('|', index);
      EXPECT_EQ(row.substr(times, row.rfind('|') - times), IstatTimes(device, record)) << row;
    }
  }
}

TEST_F(ShadowCopies, AFileGoneSinceIsFoundByItsOldPath) {
  // syslog became syslog.gz, a new file in the same MFT record: the first
  // store holds syslog; its record there is another file than syslog.gz.
  auto r = RunQst({"-d", raw_, "-S", "-e", "-u", "C:\\syslog", "C:\\syslog.gz"});
  EXPECT_EQ(r.status, 1);
  std::string text = r.out;
  EXPECT_NE(text.find("\nC:\\syslog, CODE=2:The system cannot find the file specified.\n"),
            std::string::npos);
  EXPECT_NE(text.find("C:\\syslog |35 |2013/12/03 06:32:24.516488500 (UTC) "), std::string::npos);
  EXPECT_NE(text.find(" |1 2013/12/03 06:35:09.736378700 (UTC) \n"), std::string::npos);
  EXPECT_EQ(Rows({"-d", raw_, "-S", "C:\\syslog.gz"}, "true").size(), 2u);  // now and store 2
  EXPECT_EQ(r.err, "qst: 1 path could not be reported; its error code is in the output\n");
}

TEST_F(ShadowCopies, AWalkEntersAFolderTheCopiesAloneHold) {
  // Its files are orphans on the volume now, and still in the folder in
  // both stores.
  auto path_and_state = [](const std::vector<std::string>& args) {
    return Capture(ShellQuote(QST_BINARY) + " -d " + args[0] +
                   " -S -r 'C:\\' --json 2>/dev/null | jq -r --arg p " + ShellQuote(args[1]) +
                   " 'select(.path | startswith($p)) | .path + \" \" + "
                   "(.snapshot.store // \"now\" | tostring)'");
  };
  const std::string svi = "C:\\System Volume Information\\";
  const std::string catalog = "{3808876b-c176-4e48-b7ae-04046e6cc752}";
  const std::string store1 = "{600f0b69-5bdf-11e3-9d6c-005056c00008}" + catalog;
  const std::string store2 = "{600f0b6d-5bdf-11e3-9d6c-005056c00008}" + catalog;
  EXPECT_EQ(path_and_state({gone_, svi}), svi + " 1\n" + svi + " 2\n" + svi + catalog + " 1\n" +
                                              svi + catalog + " 2\n" + svi + store1 + " 1\n" + svi +
                                              store1 + " 2\n" + svi + store2 + " 2\n");
  EXPECT_EQ(path_and_state({gone_, "C:\\$Orphan\\"}),
            "C:\\$Orphan\\" + catalog + " now\nC:\\$Orphan\\" + catalog + " 1\nC:\\$Orphan\\" +
                catalog + " 2\nC:\\$Orphan\\" + store1 + " now\nC:\\$Orphan\\" + store1 +
                " 1\nC:\\$Orphan\\" + store1 + " 2\nC:\\$Orphan\\" + store2 +
                " now\nC:\\$Orphan\\" + store2 + " 2\n");
}

TEST_F(ShadowCopies, HistoryFiresOnTheForgedFileAlone) {
  for (const std::string& row : Rows({"-d", raw_, "-S", "-r", "C:\\"}, "true"))
    EXPECT_EQ(row.find("history"), std::string::npos) << row;
  std::vector<std::string> forged = Rows({"-d", forged_, "-S", "-r", "C:\\"}, "true");
  int fired = 0;
  for (const std::string& row : forged) {
    if (row.find("history") == std::string::npos) continue;
    ++fired;
    EXPECT_EQ(row.rfind("C:\\another_file|39|", 0), 0u) << row;
  }
  EXPECT_EQ(fired, 1);
  // The store still shows the creation time the file had.
  EXPECT_EQ(Rows({"-d", forged_, "-S", "C:\\another_file"}, ".snapshot.store == 2"),
            std::vector<std::string>{"C:\\another_file|39|2013-12-03T06:36:26.8473142Z|"
                                     "2013-12-03T06:36:26.9409143Z|2013-12-03T06:36:26.9409143Z|"
                                     "2013-12-03T06:36:26.8473142Z|"});
}

// Each copy's $LogFile adds, joined or listed, what the stores mounted apart
// hold beyond the logs before: each LSN once.
TEST_F(ShadowCopies, EachCopysLogAddsTheRecordsTheOthersLack) {
  if (mount_.empty()) QST_SKIP() << "mounting the stores needs root and /dev/fuse";
  auto lines = [](const std::string& args, const char* key) {
    std::istringstream out(Capture(ShellQuote(QST_BINARY) + " " + args +
                                   " -L --logfile-only --json 2>/dev/null | jq -r ." + key));
    std::multiset<std::string> all;
    for (std::string line; std::getline(out, line);) all.insert(line);
    return all;
  };
  std::multiset<std::string> known = lines("-d " + raw_, "lsn"),
                             states = lines("-S -d " + raw_, "state");
  EXPECT_EQ(states.count("live"), known.size());
  std::string expected;
  for (std::string store : {"1", "2"}) {  // store 1 is the older
    std::size_t added = 0;
    for (const std::string& lsn : lines("-d " + mount_ + "/vss" + store, "lsn"))
      if (known.count(lsn) == 0) known.insert(lsn), ++added;
    expected += "qst: " + raw_ + ": $LogFile of shadow copy " + store + ": " +
                std::to_string(added) + " records the volume's own no longer holds\n";
    EXPECT_EQ(std::count_if(states.begin(), states.end(),
                            [&](const std::string& state) {
                              return state.rfind("copy " + store + " made ", 0) == 0;
                            }),
              static_cast<std::ptrdiff_t>(added));
  }
  EXPECT_EQ(RunQst({"-d", raw_, "-S", "-L", "C:\\"}).err, expected);
}

TEST_F(ShadowCopies, EveryFormShowsEachState) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::string a = "C:\\another_file";
  const Case cases[] = {
      {{"-n", "--bodyfile"},
       "0|C:\\another_file|39|r/rrwxrwxrwx|0|0|22|1386052818.5334930|1386052586.9409143|"
       "1386052586.9409143|1386052586.8473142\n"
       "0|C:\\another_file ($FILE_NAME)|39|r/rrwxrwxrwx|0|0|22|1386052586.8473142|"
       "1386052586.8473142|1386052586.8473142|1386052586.8473142\n"
       "0|C:\\another_file (snapshot 2)|39|r/rrwxrwxrwx|0|0|22|1386052586.8473142|"
       "1386052586.9409143|1386052586.9409143|1386052586.8473142\n"
       "0|C:\\another_file (snapshot 2) ($FILE_NAME)|39|r/rrwxrwxrwx|0|0|22|1386052586.8473142|"
       "1386052586.8473142|1386052586.8473142|1386052586.8473142\n"},
      {{"--csv", "-a"},
       "path,index,folder,size,atime,mtime,ctime,crtime,type,object_id,otime,oseq,omac,"
       "birth_object_id,botime,boseq,bomac,birth_volume_id,state,alerts,notes,finding,snapshot,"
       "snapshot_created,error_code,error_message\r\n"
       "C:\\another_file,39,no,22,2013-12-03T06:40:18.5334930Z,2013-12-03T06:36:26.9409143Z,"
       "2013-12-03T06:36:26.9409143Z,2013-12-03T06:36:26.8473142Z,FILETIME,,,,,,,,,,in use,,,"
       "consistent (VSS),current,,,\r\n"
       "C:\\another_file,39,no,22,2013-12-03T06:36:26.8473142Z,2013-12-03T06:36:26.9409143Z,"
       "2013-12-03T06:36:26.9409143Z,2013-12-03T06:36:26.8473142Z,FILETIME,,,,,,,,,,in use,,,"
       "unread,2,2013-12-03T06:37:48.9190583Z,,\r\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-d", raw_, "-S"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(a);
    auto r = RunQst(args);
    EXPECT_EQ(r.out, c.out) << c.args[0];
  }
  // The row layout with -U: the journal's fields are not read in a store.
  auto r = RunQst({"-d", raw_, "-S", "-U", "-e", "-u", a});
  EXPECT_NE(
      r.out.find(
          " |null |null |null |null |null | | |unread |2 2013/12/03 06:37:48.919058300 (UTC) \n"),
      std::string::npos)
      << r.out;
}

TEST_F(ShadowCopies, ThreadsChangeNothingInTheOutput) {
  // A walk's records are built on several threads while the copies are read
  // one thread at a time: the output is that of one thread.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-S", "-a", "-n", "-e", "-u", "-r", "C:\\"},
        {"-S", "--json", "-r", "C:\\"},
        {"-S", "-U", "--events", "-r", "C:\\"}}) {
    std::vector<std::string> one = {"-d", raw_, "-j", "1"}, many = {"-d", raw_, "-j", "4"};
    one.insert(one.end(), args.begin(), args.end());
    many.insert(many.end(), args.begin(), args.end());
    auto single = RunQst(one);
    EXPECT_NE(single.out.find("another_file"), std::string::npos) << args[1];
    for (int run = 0; run < 3; ++run) {
      auto r = RunQst(many);
      EXPECT_EQ(r.both, single.both) << args[1];
      EXPECT_EQ(r.status, single.status);
    }
  }
}

TEST_F(ShadowCopies, EveryNameOfTheUntouchedVolumeHasItsIndexEntryAndNoSign) {
  // The volume as Windows left it: each name's entry in its folder's index
  // agrees with the record's creation time, and SI!=I30 fires on none.
  auto r = RunQst({"-d", raw_, "-I", "--json", "-r", "C:\\"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  int files = 0;
  for (std::string line; std::getline(lines, line); ++files) {
    EXPECT_NE(line.find("\"index_entry\":{"), std::string::npos) << line;
    EXPECT_NE(line.find("\"alerts\":[]"), std::string::npos) << line;
  }
  EXPECT_GE(files, 8);
}

TEST_F(ShadowCopies, StoresThatCannotBeReadAreNamed) {
  auto r = RunQst({"-d", lost_, "-S", "-e", "C:\\another_file"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(testing::PathColumn(r.out), std::vector<std::string>{"C:\\another_file"});
  // The first store reads its changed blocks through the second one's data.
  EXPECT_EQ(r.err, "qst: " + lost_ +
                       ": shadow copy 1 (made 2013-12-03T06:35:09.7363787Z) cannot be read: it "
                       "reads through shadow copy 2, which cannot be read\n"
                       "qst: " +
                       lost_ +
                       ": shadow copy 2 (made 2013-12-03T06:37:48.9190583Z) cannot be read: its "
                       "data is not on this volume\n");
}

TEST_F(ShadowCopies, AHeaderOfAnUnknownVersionIsSaid) {
  // The volume's shadow-copy header of a version the library does not know.
  const std::string unknown = PatchedCopy("version9.raw", 0x1e00 + 16, std::string(1, '\x09'));
  auto r = RunQst({"-d", unknown, "-S", "-e", "C:\\another_file"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(testing::PathColumn(r.out), std::vector<std::string>{"C:\\another_file"});
  EXPECT_EQ(r.err, "qst: " + unknown +
                       ": -S: its shadow copies cannot be read (their header is of version 9, "
                       "which this reader does not know); the volume alone is reported\n");
  unlink(unknown.c_str());
}

TEST_F(ShadowCopies, ABlockListThatLoopsEndsWithTheStoresNamed) {
  // The second store's block list names itself as the next one: the
  // library would read it for ever.
  const std::string loop = PatchedCopy("loop.raw", 0x6e44028, Le64(0x6e44000));
  auto r = RunQst({"-d", loop, "-S", "-e", "C:\\another_file"}, "timeout 60 env");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(testing::PathColumn(r.out), std::vector<std::string>{"C:\\another_file"});
  EXPECT_NE(r.err.find(": shadow copy 2 (made 2013-12-03T06:37:48.9190583Z) "), std::string::npos)
      << r.err;
  unlink(loop.c_str());
}

TEST_F(ShadowCopies, AStoreWithoutABlockListIsNotShownAsLaterData) {
  // The first store's catalog entry names no block list: the library would
  // read it through the second store, as if it held that store's data.
  const std::string none = PatchedCopy("nolist.raw", 0x6e30108, Le64(0));
  auto r = RunQst({"-d", none, "-S", "-e", "C:\\another_file"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(testing::PathColumn(r.out),
            (std::vector<std::string>{"C:\\another_file", "C:\\another_file"}));
  EXPECT_EQ(r.err, "qst: " + none +
                       ": shadow copy 1 (made 2013-12-03T06:35:09.7363787Z) cannot be read: its "
                       "catalog entry names no block list\n");
  unlink(none.c_str());
}

TEST_F(ShadowCopies, AnotherVolumesStoreKeptHereIsNoStoreOfThisOne) {
  // A volume that keeps another volume's stores holds only where their
  // data lies (type 3 entries), not that they were made (type 2, in the
  // other volume's catalog): here the first store's type 2 entry is gone.
  // The second store alone is this volume's, read with its own data.
  const std::string other = PatchedCopy("other.raw", 0x6e30080, Le64(0));
  auto r = RunQst({"-d", other, "-S", "-e", "-u", "-r", "C:\\"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.find("history"), std::string::npos) << r.out;
  const std::string both = RunQst({"-d", raw_, "-S", "-e", "-u", "-r", "C:\\"}).out;
  // Each row of the store is the evidence's second store's, numbered 1.
  std::istringstream rows(r.out);
  int stores = 0;
  for (std::string row; std::getline(rows, row);) {
    const std::size_t at = row.find(" |1 2013/12/03 06:37:48.919058300 (UTC) ");
    if (at == std::string::npos) continue;
    ++stores;
    EXPECT_NE(both.find(row.substr(0, at) + " |2 2013/12/03 06:37:48.919058300 (UTC) "),
              std::string::npos)
        << row;
  }
  EXPECT_GE(stores, 5);
  EXPECT_EQ(r.out.find(" |2 2013/12/03"), std::string::npos);
  unlink(other.c_str());
}

TEST_F(ShadowCopies, StoresMadeAtTheSameTimeAreBothRead) {
  // The second store's creation time made the first one's: the library
  // refuses such a volume whole unless shown them apart.
  const std::string same =
      PatchedCopy("same.raw", 0x6e301b0, Le64(0x01ceeff1d012a94b));  // 2013-12-03 06:35:09.7363787
  auto r = RunQst({"-d", same, "-S", "-e", "-u", "C:\\syslog", "C:\\another_file"});
  EXPECT_EQ(r.status, 1) << r.err;  // C:\\syslog is gone from the volume itself
  EXPECT_EQ(r.err, "qst: 1 path could not be reported; its error code is in the output\n");
  EXPECT_NE(r.out.find(" |1 2013/12/03 06:35:09.736378700 (UTC) \n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" |2 2013/12/03 06:35:09.736378700 (UTC) \n"), std::string::npos) << r.out;
  unlink(same.c_str());
}

TEST_F(ShadowCopies, FiveHundredStoresAreEachReadOnce) {
  // Windows keeps up to 512 stores. A block that no store holds is found
  // through every newer store by the library, which made such volumes
  // cost the square of their stores (10 s for one file here); each store
  // now reads only the blocks some store from it on names through it. A
  // catalog naming more is read for the newest 512, the rest said.
  for (const int count : {512, 600}) {
    const std::string many = ManyStores(count);
    auto r = RunQst({"-d", many, "-S", "-e", "-u", "C:\\another_file"}, "timeout 60 env");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, count == 512
                         ? std::string()
                         : "qst: " + many +
                               ": the catalog names 600 shadow copies: the "
                               "oldest 88, past the 512 Windows keeps on a volume, not read\n");
    // The oldest read keeps its number.
    EXPECT_EQ(r.out.find(" |" + std::to_string(count - 512) + " 2013"), std::string::npos);
    EXPECT_NE(r.out.find(" |" + std::to_string(count - 511) + " 2013"), std::string::npos);
    const std::string current = Capture(ShellQuote(QST_BINARY) + " -d " + ShellQuote(raw_) +
                                        " -S -e -u 'C:\\another_file' | tail -1");
    // Every store reads as the evidence's second store, whose list it copies.
    const std::string state = current.substr(0, current.rfind(" |"));
    std::size_t stores = 0;
    for (std::size_t pos = r.out.find('\n') + 1; pos < r.out.size();) {
      std::size_t end = r.out.find('\n', pos);
      const std::string row = r.out.substr(pos, end - pos);
      if (row.find("|current") == std::string::npos) {
        EXPECT_EQ(row.substr(0, row.rfind(" |")), state) << row;
        ++stores;
      }
      pos = end + 1;
    }
    EXPECT_EQ(stores, 512u);
    unlink(many.c_str());
  }
}

TEST(ShadowCopiesAbsent, AVolumeWithoutStoresIsReportedAsUsual) {
  if (std::system("command -v mkntfs >/dev/null") != 0) QST_SKIP() << "needs mkntfs";
  std::string image = ::testing::TempDir() + "/qst_no_stores.img";
  ASSERT_EQ(
      std::system(("truncate -s 8M " + image + " && mkntfs -F -f -q " + image + " >/dev/null 2>&1")
                      .c_str()),
      0);
  auto plain = RunQst({"-d", image, "-e", "C:\\", "C:\\$MFT", "C:\\none"});
  auto r = RunQst({"-d", image, "-S", "-e", "C:\\", "C:\\$MFT", "C:\\none"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qst: " + image + ": no volume shadow copies\n" +
                       "qst: 1 path could not be reported; its error code is in the output\n");
  // The same rows, each ending in its empty signs and "current".
  std::string expected;
  for (std::size_t pos = 0; pos < plain.out.size();) {
    std::size_t end = plain.out.find('\n', pos);
    std::string line = plain.out.substr(pos, end - pos);
    if (line.find(" |") != std::string::npos) {
      if (line.back() == ' ') line.pop_back();
      line += pos == 0 ? " | alerts | notes | finding | snapshot " : " | | |unread |current ";
    }
    expected += line + "\n";
    pos = end + 1;
  }
  EXPECT_EQ(r.out, expected);
  unlink(image.c_str());
}

// A volume of 1 MiB holding block lists built byte by byte: each block a
// chain link (`next`, `type`) naming the volume's blocks at `kept`.
struct ListBlock {
  std::uint64_t at, next;
  std::uint32_t type;
  std::vector<std::uint64_t> kept;
};
std::string ListVolume(const std::vector<ListBlock>& blocks) {
  static const char kId[] = "\x6b\x87\x08\x38\x76\xc1\x48\x4e\xb7\xae\x04\x04\x6e\x6c\xc7\x52";
  std::string volume(1 << 20, '\0');
  auto put = [&volume](std::size_t at, std::uint64_t v, int size) {
    for (int i = 0; i < size; ++i) volume[at + i] = static_cast<char>(v >> (8 * i));
  };
  for (const ListBlock& b : blocks) {
    volume.replace(b.at, 16, kId, 16);
    put(b.at + 0x14, b.type, 4);
    put(b.at + 0x20, b.at, 8);
    put(b.at + 0x28, b.next, 8);
    for (std::size_t d = 0; d < b.kept.size(); ++d) put(b.at + 128 + 32 * d, b.kept[d], 8);
  }
  return volume;
}

TEST(ShadowBlockLists, ReadWholeOrNotAtAll) {
  constexpr std::uint64_t B = 0x4000;
  using Blocks = std::optional<std::vector<std::uint64_t>>;
  struct Case {
    const char* what;
    std::vector<ListBlock> blocks;
    Blocks expected;
  } cases[] = {
      // Unused descriptors name block 0, as the library reads them.
      {"one block", {{B, 0, 3, {5 * B, 2 * B}}}, std::vector<std::uint64_t>{0, 2 * B, 5 * B}},
      {"off the steps", {{B, 0, 3, {5 * B + 512}}}, std::vector<std::uint64_t>{0, 5 * B, 6 * B}},
      {"a chain",
       {{B, 3 * B, 3, {7 * B}}, {3 * B, 0, 3, {9 * B}}},
       std::vector<std::uint64_t>{0, 7 * B, 9 * B}},
      {"names itself", {{B, B, 3, {7 * B}}}, std::nullopt},
      {"a catalog block", {{B, 0, 2, {7 * B}}}, std::nullopt},
      {"past the end", {{B, 1 << 20, 3, {7 * B}}}, std::nullopt},
      // 1 MiB holds 64 blocks: a list of them fits one block of descriptors.
      {"longer than a list can be",
       {{B, 2 * B, 3, {}}, {2 * B, 3 * B, 3, {}}, {3 * B, 0, 3, {}}},
       std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string bytes = ListVolume(c.blocks);
    MemoryVolumeReader volume(bytes);
    EXPECT_EQ(ReadShadowBlockList(volume, B), c.expected) << c.what;
  }
  const std::string bytes = ListVolume({});
  MemoryVolumeReader volume(bytes);
  EXPECT_EQ(ReadShadowBlockList(volume, 0), std::nullopt);
}

}  // namespace
}  // namespace qst
