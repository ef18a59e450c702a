// Each name's entry in its folder's $I30 index (-I): the carver of entries
// left in slack over entries built byte by byte, and the witness end to end
// on a volume made with mkntfs and filled through ntfs-3g, one of whose
// records has its creation time edited in its bytes, with The Sleuth Kit's
// fls as witness of the live entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "probe/witnesses/index-entries/index-entries.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::Capture;
using testing::RunQst;
using testing::ShellQuote;

constexpr std::uint64_t kFolder = 40;
constexpr std::uint64_t k1700 = 31241376000000000;  // 1700-01-01
constexpr std::uint64_t kOld = k1700 + 1234500;     // and a fraction of a second

void Put(std::string& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// An index entry as NTFS writes it, naming `record` in `parent`.
std::string Entry(std::uint64_t record, std::uint64_t parent, const std::u16string& name,
                  std::uint64_t creation, std::uint16_t flags = 0) {
  const std::size_t key = 0x42 + 2 * name.size();
  std::string e((0x10 + key + 7) / 8 * 8 + (flags & 1 ? 8 : 0), '\0');
  Put(e, 0, record | std::uint64_t{3} << 48, 8);
  Put(e, 8, e.size(), 2);
  Put(e, 10, key, 2);
  Put(e, 12, flags, 2);
  Put(e, 0x10, parent | std::uint64_t{1} << 48, 8);
  for (int i = 0; i < 4; ++i) Put(e, 0x18 + 8 * i, creation + i, 8);
  Put(e, 0x38, 4096, 8);
  Put(e, 0x40, 1234, 8);
  e[0x50] = static_cast<char>(name.size());
  e[0x51] = 1;
  for (std::size_t i = 0; i < name.size(); ++i) Put(e, 0x52 + 2 * i, name[i], 2);
  return e;
}

std::vector<FolderEntry> Carve(const std::string& bytes) {
  std::vector<FolderEntry> out;
  CarveFolderEntries(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), kFolder,
                     &out);
  return out;
}

TEST(IndexSlack, EntriesAreCarvedByTheirStructureWhateverTheirTimes) {
  constexpr std::uint64_t k2090 = 154350144000000000;  // 2090-02-12
  const std::string old = Entry(70, kFolder, u"old.txt", k1700);
  const std::string later = Entry(71, kFolder, u"later.doc", k2090, 1);
  const std::string mine = Entry(72, kFolder, u"x", 133500000000000000);
  const std::string host = Entry(78, kFolder, u"a rather long name of a file long gone.txt", k1700);
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::u16string> names;
  };
  std::string overwritten = old;
  overwritten.replace(0, 24, Entry(73, kFolder, u"a", 0).substr(0, 24));
  std::string other_parent = Entry(74, kFolder + 1, u"elsewhere", k1700);
  std::string bad_name = Entry(75, kFolder, u"a/b", k1700);
  std::string bad_space = Entry(76, kFolder, u"ns", k1700);
  bad_space[0x51] = 4;
  std::string last_entry = Entry(77, kFolder, u"last", k1700, 2);
  // Honest bytes in a name's shape: a reference of sequence 0, which NTFS
  // never writes.
  std::string no_sequence = Entry(79, kFolder, u"garbled", k1700);
  Put(no_sequence, 6, 0, 2);
  // A node's end marker: no reference, length 16, no key, "last entry".
  std::string marker(16, '\0');
  Put(marker, 8, 16, 2);
  Put(marker, 12, 2, 2);
  const Case cases[] = {
      {"a backdated and a future entry, zeros between",
       std::string(16, '\0') + old + std::string(24, '\0') + later,
       {u"old.txt", u"later.doc"}},
      {"an entry cut short at the end", old.substr(0, old.size() - 8), {}},
      {"an entry whose start was overwritten by a shorter one", overwritten, {}},
      {"one entry inside another's remnant",
       host.substr(0, 0x18) + mine + host.substr(0x18 + mine.size()),
       {u"x"}},
      {"a parent other than the folder", other_parent, {}},
      {"a slash in the name", bad_name, {}},
      {"a namespace beyond 3", bad_space, {}},
      {"the last entry's flag", last_entry, {}},
      {"a reference of sequence 0", no_sequence, {}},
      {"bytes off the 8-byte steps", std::string(4, 'x') + old, {}},
      {"random bytes", std::string(4096, '\x5a'), {}},
      {"a removed last entry's key after the end marker written over its header",
       marker + old.substr(16) + std::string(16, '\0'),
       {u"old.txt"}},
      {"a key after zeros that are no end marker", std::string(16, '\0') + old.substr(16), {}},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> names;
    for (const FolderEntry& e : Carve(c.bytes)) names.push_back(e.name);
    EXPECT_EQ(names, c.names) << c.what;
  }
  std::vector<FolderEntry> carved = Carve(old + later);
  ASSERT_EQ(carved.size(), 2u);
  EXPECT_EQ(carved[0].times.creation, k1700);
  EXPECT_EQ(carved[0].times.write, k1700 + 1);
  EXPECT_EQ(carved[0].reference, 70u | std::uint64_t{3} << 48);
  EXPECT_EQ(carved[0].allocated, 4096u);
  EXPECT_EQ(carved[0].size, 1234u);
  EXPECT_TRUE(carved[0].slack);
  EXPECT_EQ(carved[1].times.creation, k2090);
  EXPECT_TRUE(carved[0].referenced);
  // A record past what the MFT can hold is none.
  std::vector<FolderEntry> bounded;
  CarveFolderEntries(reinterpret_cast<const std::uint8_t*>(old.data()), old.size(), kFolder,
                     &bounded, 70);
  EXPECT_TRUE(bounded.empty());
  CarveFolderEntries(reinterpret_cast<const std::uint8_t*>(old.data()), old.size(), kFolder,
                     &bounded, 71);
  EXPECT_EQ(bounded.size(), 1u);
  // Its reference lost under the end marker: none is made up.
  carved = Carve(marker + later.substr(16));
  ASSERT_EQ(carved.size(), 1u);
  EXPECT_FALSE(carved[0].referenced);
  EXPECT_EQ(carved[0].reference, 0u);
  EXPECT_EQ(carved[0].times.creation, k2090);
}

TEST(IndexSlack, AnEntryIdenticalToALiveOneIsNotRepeated) {
  FolderIndex index;
  std::vector<FolderEntry> carved = Carve(Entry(70, kFolder, u"same.txt", 1000));
  ASSERT_EQ(carved.size(), 1u);
  FolderEntry live = carved[0];
  std::string bytes = Entry(70, kFolder, u"same.txt", 1000);
  FileNameEntry entry;
  ASSERT_TRUE(DecodeFileNameEntry(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                  static_cast<std::uint16_t>(bytes.size()), &entry));
  index.AddLive(entry);
  index.Seal();
  std::vector<FolderEntry> twice =
      Carve(Entry(70, kFolder, u"same.txt", 1000) + Entry(70, kFolder, u"same.txt", 2000) +
            Entry(70, kFolder, u"same.txt", 2000));
  // The live entry's key again, after an end marker: the same entry.
  std::string marker(16, '\0');
  Put(marker, 8, 16, 2);
  Put(marker, 12, 2, 2);
  for (const FolderEntry& e : Carve(marker + Entry(70, kFolder, u"same.txt", 1000).substr(16)))
    twice.push_back(e);
  index.AddSlack(twice);
  ASSERT_EQ(index.slack().size(), 1u);
  EXPECT_EQ(index.slack()[0].times.creation, 2000u);
  Facts facts;
  index.Join(70, 3, u"same.txt", &facts);
  EXPECT_EQ(facts.Get(Fact::kIndexCreation), 1000u);
  Facts none;
  index.Join(70, 4, u"same.txt", &none);  // another file in the same record
  EXPECT_FALSE(none.Has(Fact::kIndexCreation));
  index.Join(70, 3, u"SAME.TXT", &none);
  EXPECT_FALSE(none.Has(Fact::kIndexCreation));
}

class IndexEntries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    volume_.Make("qst_index_entries", 24, "fls");
    if (!volume_.skip.empty()) {
      skip_ = volume_.skip;
      return;
    }
    const std::string m = volume_.mount;
    std::system(("mkdir -p " + m + "/small " + m + "/big " + m + "/twin").c_str());
    for (const char* f : {"small/a.txt", "small/edited.txt", "small/old.txt", "small/rewound.txt"})
      std::ofstream(m + "/" + f) << f;
    for (int i = 0; i < 300; ++i) {
      std::ofstream(m + "/big/file-" + std::to_string(i) + ".dat") << i;
      std::ofstream(m + "/twin/twin-" + std::to_string(i) + ".dat") << i;
    }
    // A time before 1800, set as Windows would: the entry follows.
    testing::SetNtfsTimes(m + "/small/old.txt", kOld, kOld, kOld);
    std::system(("umount " + m).c_str());
    volume_.mounted = false;
    edited_ = Record("C:\\small\\edited.txt");
    PlantSlack();
    // The creation time written into the record's bytes alone.
    std::fstream f(volume_.image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(CreationOffset(edited_)));
    const std::string backdated("\x00\x80\x03\xfb\x21\x53\xbf\x01", 8);  // 1999-12-31
    f.write(backdated.data(), 8);
    // The write time alone, of another file.
    f.seekp(static_cast<std::streamoff>(CreationOffset(Record("C:\\small\\rewound.txt")) + 8));
    f.write(backdated.data(), 8);
  }
  static void TearDownTestSuite() { volume_.Remove(); }
  void SetUp() override {
    if (!skip_.empty()) QST_SKIP() << skip_;
  }

  // Applies (or, `undo`, takes back) the update-sequence fixups of a
  // structure of `size` bytes, as NTFS writes it.
  static void Fixups(std::string& bytes, std::size_t size, bool undo) {
    const std::size_t usa = Load(bytes, 4, 2), count = Load(bytes, 6, 2);
    for (std::size_t i = 1; i < count && i * 512 <= size; ++i) {
      const std::size_t end = i * 512 - 2, slot = usa + 2 * i;
      if (undo) {
        bytes.replace(slot, 2, bytes.substr(end, 2));
        bytes.replace(end, 2, bytes.substr(usa, 2));
      } else {
        bytes.replace(end, 2, bytes.substr(slot, 2));
      }
    }
  }
  static std::string Read(std::uint64_t at, std::size_t size) {
    std::ifstream f(volume_.image, std::ios::binary);
    std::string bytes(size, '\0');
    f.seekg(static_cast<std::streamoff>(at));
    f.read(bytes.data(), static_cast<std::streamsize>(size));
    return bytes;
  }
  static void Write(std::uint64_t at, const std::string& bytes) {
    std::fstream f(volume_.image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  // Entries of files gone, written where NTFS leaves them: past the end of
  // the entries in use of big's index block, and past the bytes in use of
  // small's record, which holds its index root.
  static void PlantSlack() {
    const std::uint64_t big = Record("C:\\big\\"), small = Record("C:\\small\\");
    reused_ = Record("C:\\big\\file-7.dat");
    // Big's first index block: the first "INDX" whose entries name file-0.dat.
    std::string image = Read(0, 24 << 20);
    const std::string needle = std::string(
        "f\0i\0l\0e\0-\0"
        "0\0.\0d\0",
        16);
    std::size_t block = 0;
    for (std::size_t at = 0; at + 4096 <= image.size(); at += 4096)
      if (image.compare(at, 4, "INDX") == 0 &&
          image.substr(at, 4096).find(needle) != std::string::npos) {
        block = at;
        break;
      }
    ASSERT_NE(block, 0u);
    std::string b = image.substr(block, 4096);
    Fixups(b, 4096, false);
    const std::size_t end = 0x18 + Load(b, 0x18 + 4, 4);
    // One naming file-7.dat's record as another file (another sequence
    // number), one from 2090, one cut short: garbage, no row.
    std::string gone = Entry(reused_, big, u"gone-before.txt", k1700);
    Put(gone, 0, reused_ | std::uint64_t{9} << 48, 8);
    const std::string later = Entry(reused_ - 1, big, u"from-2090.txt", 154350144000000000);
    const std::string cut = Entry(reused_ + 1001, big, u"cut.txt", k1700).substr(0, 40);
    // Right after the end marker, the key of a last entry removed from the
    // node: its header, and with it the reference, lie under the marker.
    const std::string key = Entry(reused_ + 1002, big, u"lost-ref.txt", k1700).substr(16);
    b.replace(end, key.size(), key);
    b.replace(end + 128, gone.size() + later.size() + cut.size(), gone + later + cut);
    Fixups(b, 4096, true);
    Write(block, b);
    // Small's record: an old root's entry past the bytes in use.
    const std::uint64_t at = testing::RecordOffset(volume_.image, small);
    std::string r = Read(at, 1024);
    Fixups(r, 1024, false);
    const std::size_t used = Load(r, 0x18, 4);
    const std::string old_root = Entry(reused_ - 2, small, u"root-remnant.txt", k1700);
    r.replace((used + 7) / 8 * 8 + 8, old_root.size(), old_root);
    Fixups(r, 1024, true);
    Write(at, r);
  }

  // Marks big's first index block free in its $I30 $BITMAP, as NTFS does
  // when a block empties: its entries are then slack.
  static void FreeFirstBlock() {
    const std::uint64_t at = testing::RecordOffset(volume_.image, Record("C:\\big\\"));
    std::string r = Read(at, 1024);
    Fixups(r, 1024, false);
    for (std::size_t a = Load(r, 0x14, 2); a + 0x18 < 1024 && Load(r, a, 4) != 0xFFFFFFFF;
         a += Load(r, a + 4, 4)) {
      if (Load(r, a, 4) != 0xB0 || r[a + 8] != 0 || r[a + 9] != 4) continue;
      const std::size_t value = a + Load(r, a + 0x14, 2);
      r[value] = static_cast<char>(r[value] & ~1);
      Fixups(r, 1024, true);
      Write(at, r);
      return;
    }
    FAIL() << "big has no resident $I30 bitmap";
  }

  // The first $I30 attribute of `type` in the (fixed-up) record `r`; 0
  // where there is none.
  static std::size_t IndexAttribute(const std::string& r, std::uint32_t type) {
    for (std::size_t a = Load(r, 0x14, 2); a + 0x18 < r.size() && Load(r, a, 4) != 0xFFFFFFFF;
         a += Load(r, a + 4, 4))
      if (Load(r, a, 4) == type && r[a + 9] == 4) return a;
    return 0;
  }
  // Makes a copy of the image for one test, patched by `patch` (which
  // reads and writes volume_.image while it runs).
  static std::string Copy(const std::string& name, const std::function<void()>& patch) {
    const std::string image = volume_.image, copy = volume_.dir + "/" + name + ".img";
    EXPECT_EQ(std::system(("cp " + image + " " + copy).c_str()), 0);
    volume_.image = copy;
    patch();
    volume_.image = image;
    return copy;
  }
  // The (fixed-up) bytes of the index block of big that lists `name`, and
  // where the block and the entry lie.
  static std::string BlockListing(const std::u16string& name, std::uint64_t* block,
                                  std::size_t* entry) {
    std::string needle;
    for (char16_t c : name) needle += {static_cast<char>(c), '\0'};
    std::string image = Read(0, 24 << 20);
    for (std::size_t at = 0; at + 4096 <= image.size(); at += 4096) {
      if (image.compare(at, 4, "INDX") != 0) continue;
      std::string b = image.substr(at, 4096);
      Fixups(b, 4096, false);
      const std::size_t found = b.find(needle);
      if (found == std::string::npos || found > 0x18 + Load(b, 0x1C, 4)) continue;
      *block = at;
      *entry = found - 0x52;
      return b;
    }
    ADD_FAILURE() << "no block lists the name";
    return {};
  }

  static std::uint64_t Record(const std::string& path) {
    auto r = RunQst({"-d", volume_.image, "-e", path});
    std::size_t at = r.out.find(path + " |");
    return std::stoull(r.out.substr(at + path.size() + 2));
  }
  static std::uint64_t Load(const std::string& bytes, std::size_t at, int size) {
    return testing::LoadLe(bytes, at, size);
  }
  static std::uint64_t CreationOffset(std::uint64_t record) {
    return testing::CreationTimeOffset(volume_.image, record);
  }

  static inline testing::ScratchNtfs volume_;
  static inline std::string skip_;
  static inline std::uint64_t edited_ = 0, reused_ = 0;
};

TEST_F(IndexEntries, EveryLiveNameIsJoinedToItsEntryAndTheEditedRecordStandsOut) {
  auto r = RunQst({"-d", volume_.image, "-I", "--json", "-r", "C:\\"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::WithoutVolumeMade(r.err), "");
  // path | entry's creation | record's creation | signs
  const std::string json = volume_.dir + "/run.json";
  std::ofstream(json) << r.out;
  std::string rows = Capture(
      "jq -r '[.path, (.index_entry.crtime.filetime // \"null\" | tostring), "
      "(.times.crtime.filetime | tostring), (.alerts | join(\" \"))] | join(\"|\")' " +
      ShellQuote(json));
  std::map<std::string, std::vector<std::string>> by_path;
  std::istringstream lines(rows);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, '|');) f.push_back(x);
    f.resize(4);
    by_path[f[0]] = f;
  }
  ASSERT_GT(by_path.size(), 300u);
  for (const auto& [path, f] : by_path) {
    if (path.find("$") != std::string::npos) continue;  // NTFS's own files
    EXPECT_NE(f[1], "null") << path;
    if (path == "C:\\small\\edited.txt") {
      EXPECT_NE(f[1], f[2]);
      EXPECT_EQ(f[3], "SI!=I30");
    } else if (path == "C:\\small\\rewound.txt") {
      EXPECT_EQ(f[1], f[2]);
      EXPECT_EQ(f[3], "mtime<I30");  // with -I alone
    } else {
      EXPECT_EQ(f[1], f[2]) << path;
      EXPECT_EQ(f[3], "") << path;
    }
  }
  EXPECT_EQ(by_path["C:\\small\\old.txt"][1], std::to_string(kOld));
  // The Sleuth Kit lists the same names, each for the same record.
  std::string fls = Capture("fls -r -p -u " + ShellQuote(volume_.image));
  std::istringstream listed(fls);
  int names = 0;
  for (std::string line; std::getline(listed, line);) {
    std::size_t tab = line.find('\t');
    std::string path = line.substr(tab + 1);
    if (path.find('$') != std::string::npos || path.find(':') != std::string::npos) continue;
    std::string win = "C:\\" + path;
    for (char& c : win)
      if (c == '/') c = '\\';
    if (line.rfind("d/d", 0) == 0) win += '\\';
    ASSERT_TRUE(by_path.count(win)) << win;
    EXPECT_NE(by_path[win][1], "null") << win;
    ++names;
  }
  EXPECT_GT(names, 300);
}

TEST_F(IndexEntries, EveryFormShowsTheEntryOrNull) {
  const std::string path = "C:\\small\\old.txt";
  auto block = RunQst({"-d", volume_.image, "-I", "-u", path});
  EXPECT_NE(block.out.find("I30crt: 1700/01/01 00:00:00.123450000 (UTC) \n"), std::string::npos)
      << block.out;
  auto row = RunQst({"-d", volume_.image, "-I", "-e", "-u", path, "C:\\"});
  EXPECT_NE(row.out.find(" | I30 atime | I30 mtime | I30 ctime | I30 crtime | I30 allocated | "
                         "I30 size | I30 sequence | I30 reused | alerts | notes | finding \n"),
            std::string::npos)
      << row.out;
  auto body = RunQst({"-d", volume_.image, "-I", "--bodyfile", path});
  EXPECT_NE(body.out.find("|C:\\small\\old.txt ($I30)|"), std::string::npos) << body.out;
  auto csv = RunQst({"-d", volume_.image, "-I", "--csv", path});
  EXPECT_NE(csv.out.find(",i30_atime,i30_mtime,i30_ctime,i30_crtime,i30_allocated,i30_size,"
                         "i30_sequence,i30_reused,alerts,notes,finding,error_code"),
            std::string::npos);
  auto events = RunQst({"-d", volume_.image, "-I", "--events", path});
  EXPECT_NE(
      events.out.find("\"timestamp_desc\":\"Creation Time\",\"message\":\"C:\\\\small\\\\old.txt: "
                      "$I30 Creation Time\""),
      std::string::npos)
      << events.out;
  EXPECT_NE(
      events.out.find(
          "\"data_type\":\"fs:ntfs:index_entry\",\"attribute_type\":null,\"file_reference\":"),
      std::string::npos);
}

TEST_F(IndexEntries, ABlockMarkedFreeIsReadAsSlack) {
  // On a copy: the other tests read the volume as it was made.
  const std::string image = volume_.image;
  const std::string copy = volume_.dir + "/freed.img";
  ASSERT_EQ(std::system(("cp " + image + " " + copy).c_str()), 0);
  volume_.image = copy;
  FreeFirstBlock();
  volume_.image = image;
  auto r = RunQst({"-d", copy, "-I", "-a", "--json", "-r", "C:\\big"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::set<std::string> unjoined, slack;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::size_t at = line.find("C:\\\\big\\\\file-");
    if (at == std::string::npos) continue;
    std::string name = line.substr(at, line.find('"', at) - at);
    if (line.find("\"state\":\"slack\"") != std::string::npos)
      slack.insert(name);
    else if (line.find("\"index_entry\":null") != std::string::npos)
      unjoined.insert(name);
  }
  // Each name whose entry lay in the freed block is listed once more, from
  // slack, with that entry (the block's older remnants with it).
  EXPECT_GT(unjoined.size(), 5u);
  EXPECT_TRUE(std::includes(slack.begin(), slack.end(), unjoined.begin(), unjoined.end()));
  // Without -a too, a free block's entries are not taken for live ones.
  auto live = RunQst({"-d", copy, "-I", "--json", "-r", "C:\\big"});
  for (const std::string& name : unjoined) {
    std::size_t at = live.out.find(name + "\"");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_NE(live.out.find("\"index_entry\":null", at), live.out.find("\"index_entry\":{", at))
        << name;
    EXPECT_LT(live.out.find("\"index_entry\":null", at), live.out.find('\n', at)) << name;
  }
}

TEST_F(IndexEntries, EntriesLeftInSlackAreRowsOfTheirOwnWithAllAndTheOption) {
  auto r = RunQst({"-d", volume_.image, "-I", "-a", "-e", "-u", "-r", "C:\\"});
  EXPECT_EQ(r.status, 0) << r.err;
  auto row = [&](const std::string& path) {
    std::size_t at = r.out.find("\n" + path + " |");
    return at == std::string::npos ? std::string()
                                   : r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
  };
  const std::string gone = row("C:\\big\\gone-before.txt");
  EXPECT_EQ(
      gone.substr(0, gone.find(" |null | null")),
      "C:\\big\\gone-before.txt |" + std::to_string(reused_) + " |null |null |null |null |null")
      << gone;
  EXPECT_NE(gone.find(" |slack |1700/01/01 00:00:00.000000300 (UTC) |1700/01/01 "
                      "00:00:00.000000100 (UTC) |1700/01/01 00:00:00.000000200 (UTC) |1700/01/01 "
                      "00:00:00.000000000 (UTC) |4096 |1234 |9 |yes | "),
            std::string::npos)
      << gone;
  EXPECT_NE(row("C:\\big\\from-2090.txt").find(" |slack |2090/02/12"), std::string::npos);
  EXPECT_NE(row("C:\\small\\root-remnant.txt").find(" |slack |1700/01/01"), std::string::npos);
  EXPECT_EQ(row("C:\\big\\cut.txt"), "");
  // A key whose reference is lost: no index, no sequence.
  const std::string lost = row("C:\\big\\lost-ref.txt");
  EXPECT_EQ(lost.substr(0, lost.find(" |null | null")),
            "C:\\big\\lost-ref.txt |null |null |null |null |null |null")
      << lost;
  EXPECT_NE(lost.find(" |slack |1700/01/01 00:00:00.000000300 (UTC) |"), std::string::npos) << lost;
  EXPECT_NE(lost.find(" |4096 |1234 |null |null | "), std::string::npos) << lost;
  // Not without both options; the live entries are not repeated.
  EXPECT_EQ(RunQst({"-d", volume_.image, "-I", "-e", "-r", "C:\\"}).out.find("gone-before"),
            std::string::npos);
  EXPECT_EQ(RunQst({"-d", volume_.image, "-a", "-e", "-r", "C:\\"}).out.find("gone-before"),
            std::string::npos);
  // Each live name once, and no slack row repeats one.
  EXPECT_EQ(r.out.find("file-7.dat |" + std::to_string(reused_) + " |null"), std::string::npos);
  // The timeline forms say where the times come from.
  auto body = RunQst({"-d", volume_.image, "-I", "-a", "--bodyfile", "-r", "C:\\big"});
  EXPECT_NE(body.out.find("|C:\\big\\gone-before.txt ($I30 slack)|"), std::string::npos);
  auto events = RunQst({"-d", volume_.image, "-I", "-a", "--events", "-r", "C:\\big"});
  EXPECT_NE(events.out.find("\"timestamp_desc\":\"Creation Time\",\"message\":"
                            "\"C:\\\\big\\\\gone-before.txt: $I30 slack Creation Time"),
            std::string::npos)
      << events.out.substr(0, 2000);
  auto json = RunQst({"-d", volume_.image, "-I", "-a", "--json", "-r", "C:\\big"});
  EXPECT_NE(json.out.find("\"times\":null,\"type\":null,\"state\":\"slack\""), std::string::npos);
}

// A field that breaks an entry or a block loses what it held, and says so;
// the names it held show their entry lost, not absent.
TEST_F(IndexEntries, AFieldThatBreaksAnEntryOrANodeIsSaidAndItsNamesLoseTheirWitness) {
  // Each field as NTFS lays it out: at `field` of the entry of the name
  // (kHeader: of the block's node header), in the folder's root or block.
  constexpr int kHeader = -1;
  const struct {
    const char* what;
    bool in_root;
    int field;
    std::uint64_t value;
    int size;
    const char* name;  // a file whose entry it loses
    const char* said;
  } cases[] = {
      {"the edited file's key length in its folder's root, 0xFFFF", true, 0x0A, 0xFFFF, 2,
       "C:\\small\\edited.txt", "1 $I30 index entry in use could not be decoded\n"},
      {"an entry length of 0 in a block", false, 0x08, 0, 2, "C:\\big\\file-0.dat",
       "the $I30 index of 1 folder read in part"},
      {"a block's first entry past its end", false, kHeader, 8192, 4, "C:\\big\\file-0.dat",
       "the $I30 index of 1 folder read in part"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string copy = Copy("broken", [&] {
      std::uint64_t at = 0;
      std::size_t entry = 0;
      std::string bytes;
      if (c.in_root) {
        at = testing::RecordOffset(volume_.image, Record("C:\\small\\"));
        bytes = Read(at, 1024);
        Fixups(bytes, 1024, false);
        entry = bytes.find(std::string("e\0d\0i\0t\0e\0d\0", 12)) - 0x52;
      } else {
        bytes = BlockListing(u"file-0.dat", &at, &entry);
      }
      Put(bytes, c.field == kHeader ? 0x18 : entry + c.field, c.value, c.size);
      Fixups(bytes, bytes.size(), true);
      Write(at, bytes);
    });
    auto r = RunQst({"-d", copy, "-I", "--json", "-r", "C:\\"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("qst: " + copy + ": " + c.said), std::string::npos) << r.err;
    std::string path = c.name;
    for (std::size_t at = 0; (at = path.find('\\', at)) != std::string::npos; at += 2)
      path.insert(at, "\\");
    const std::size_t at = r.out.find("\"path\":\"" + path + "\"");
    ASSERT_NE(at, std::string::npos);
    const std::string row = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_NE(row.find("\"index_entry\":null"), std::string::npos) << row;
    EXPECT_NE(row.find(",\"lost\":[\"I30\"]}"), std::string::npos) << row;
    auto text = RunQst({"-d", copy, "-I", "-e", "-u", c.name});
    EXPECT_NE(text.out.find(" (lost I30) \n"), std::string::npos) << text.out;
  }
}

// Folders whose index allocations name the same blocks: each block is read
// for the folder its entries name, and the cross-link is said once.
TEST_F(IndexEntries, BlocksTwoFoldersNameAreReadOnceForTheFolderTheirEntriesName) {
  const std::string copy = Copy("twins", [] {
    auto attribute = [](const std::string& folder, std::uint64_t* at, std::string* r) {
      *at = testing::RecordOffset(volume_.image, Record(folder));
      *r = Read(*at, 1024);
      Fixups(*r, 1024, false);
      return IndexAttribute(*r, 0xA0);
    };
    std::uint64_t big_at = 0, twin_at = 0;
    std::string big, twin;
    const std::size_t from = attribute("C:\\big\\", &big_at, &big);
    const std::size_t to = attribute("C:\\twin\\", &twin_at, &twin);
    ASSERT_TRUE(from != 0 && to != 0);
    ASSERT_EQ(Load(big, from + 4, 4), Load(twin, to + 4, 4)) << "runs of another length";
    // Twin's allocation made big's, its attribute number kept.
    const std::string id = twin.substr(to + 0x0E, 2);
    twin.replace(to, Load(big, from + 4, 4), big.substr(from, Load(big, from + 4, 4)));
    twin.replace(to + 0x0E, 2, id);
    Fixups(twin, 1024, true);
    Write(twin_at, twin);
  });
  for (const char* all : {"-I", "-a"}) {
    auto r = RunQst({"-d", copy, "-I", all, "-e", "-u", "-r", "C:\\"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(" index blocks are named by the $I30 index of more than one folder: "
                         "read once, for the folder their entries name\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("qst: " + copy + ": the $I30 index of 1 folder read in part"),
              std::string::npos)
        << r.err;
    std::istringstream lines(r.out);
    int big = 0, twin = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("C:\\big\\file-", 0) == 0 && line.find("|slack |") == std::string::npos) {
        EXPECT_EQ(line.find("lost I30"), std::string::npos) << line;
        ++big;
      } else if (line.rfind("C:\\twin\\twin-", 0) == 0 &&
                 line.find("|slack |") == std::string::npos) {
        EXPECT_NE(line.find(" (lost I30) "), std::string::npos) << line;
        ++twin;
      }
    }
    EXPECT_EQ(big, 300);
    EXPECT_GT(twin, 200);  // those its root does not hold
  }
}

}  // namespace
}  // namespace qst
