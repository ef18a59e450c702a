// Shadow copies read by our own reader of stores: against libvshadow, byte
// for byte, on the real Windows 7 volume; with their data moved to a second
// disk as Windows keeps shadow storage on another volume
// (move_shadow_storage.py), through --shadow-storage; and the rules of the
// chain on descriptors built one by one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "probe/image/raw-reader.h"
#include "probe/memory-reader.h"
#include "probe/witnesses/snapshots/shadow-catalog.h"
#include "probe/witnesses/snapshots/shadow-storage.h"
#include "probe/witnesses/snapshots/shadow-store.h"
#include "probe/witnesses/snapshots/shadow-stores.h"
#include "run_binary.h"
#include "test_env.h"
#include "vshadow_oracle.h"

namespace qst {
namespace {

using testing::RunQst;
using testing::ShellQuote;

// The evidence volume made raw, and the same volume with its stores' data
// moved to an MBR disk whose one partition holds it.
class ShadowStorage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string dir_template = "/tmp/qst_storage_XXXXXX";
    dir_ = mkdtemp(dir_template.data());
    raw_ = dir_ + "/vsstest.raw";
    moved_ = dir_ + "/moved.raw";
    disk_ = dir_ + "/storage.img";
    skip_ = testing::RawEvidenceVolume(QST_SOURCE_DIR, raw_, "mkntfs sfdisk python3");
    if (!skip_.empty()) return;
    const std::string mover = std::string(QST_SOURCE_DIR) + "/tests/move_shadow_storage.py";
    if (std::system(
            ("python3 " + ShellQuote(mover) + " " + raw_ + " " + moved_ + " " + disk_).c_str()) !=
        0)
      skip_ = "the evidence could not be moved";
  }
  static void TearDownTestSuite() {
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }
  void SetUp() override {
    if (!skip_.empty()) QST_SKIP() << skip_;
  }
  static std::unique_ptr<VolumeReader> Open(const std::string& path, std::uint64_t offset = 0) {
    std::unique_ptr<VolumeReader> reader;
    EXPECT_EQ(OpenRawFile(path, offset, &reader), 0) << path;
    return reader;
  }
  static void Patch(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  static std::string Copy(const std::string& from, const std::string& name) {
    const std::string copy = dir_ + "/" + name;
    std::system(("cp --sparse=always " + from + " " + copy).c_str());
    return copy;
  }

  static inline std::string skip_, dir_, raw_, moved_, disk_;
};

constexpr std::uint64_t kPartition = 2048 * 512;

TEST_F(ShadowStorage, EveryByteOfEachStoreIsTheLibrarysWhereverItsDataLies) {
  auto volume = Open(raw_), moved = Open(moved_);
  std::vector<std::shared_ptr<VolumeReader>> storage = {Open(disk_, kPartition)};
  ShadowStores library, own, across;
  std::string why;
  ASSERT_TRUE(OpenShadowStoresThroughLibrary(*volume, &library, &why)) << why;
  ASSERT_TRUE(OpenShadowStores(*volume, &own, &why)) << why;
  ASSERT_TRUE(OpenShadowStoresWith(*moved, storage, "storage.img", &across, &why)) << why;
  ASSERT_EQ(library.stores.size(), 2u);
  for (const ShadowStores* ours : {&own, &across}) {
    ASSERT_EQ(ours->stores.size(), 2u);
    EXPECT_TRUE(ours->unreadable.empty());
    for (std::size_t s = 0; s < 2; ++s) {
      const ShadowStore &theirs = library.stores[s], &mine = ours->stores[s];
      EXPECT_EQ(mine.number, theirs.number);
      EXPECT_EQ(mine.created, theirs.created);
      ASSERT_EQ(mine.reader->Size(), theirs.reader->Size());
      // The moved copy differs from the volume in its shadow-copy header and
      // catalog: where a store reads those from the volume, it reads them so.
      std::vector<char> a(4 << 20), b(a.size()), was(512), is(512);
      std::uint64_t differ = 0;
      for (std::uint64_t at = 0; at < mine.reader->Size(); at += a.size()) {
        ASSERT_TRUE(theirs.reader->ReadAll(at, a.data(), a.size()));
        ASSERT_TRUE(mine.reader->ReadAll(at, b.data(), b.size())) << at;
        if (std::memcmp(a.data(), b.data(), a.size()) == 0) continue;
        for (std::size_t k = 0; k < a.size(); k += 512) {
          if (std::memcmp(a.data() + k, b.data() + k, 512) == 0) continue;
          ASSERT_TRUE(volume->ReadAll(at + k, was.data(), 512));
          ASSERT_TRUE(moved->ReadAll(at + k, is.data(), 512));
          differ += ours == &own || was == is || std::memcmp(b.data() + k, is.data(), 512) != 0;
        }
      }
      EXPECT_EQ(differ, 0u) << "store " << mine.number;
    }
  }
}

TEST_F(ShadowStorage, AMovedStorageGivesTheRowsOfTheVolumeThatHeldIt) {
  // The storage volume as the second partition of a disk whose first holds
  // an NTFS volume without stores: the one whose catalog holds them is read.
  const std::string two = dir_ + "/two.img";
  ASSERT_EQ(std::system(("truncate -s 74M " + two + " && printf 'label: dos\\nstart=2048, " +
                         "size=16384, type=7\\nstart=18432, type=7\\n' | sfdisk -q " + two +
                         " && truncate -s 8M " + two + ".p1 && mkntfs -F -f -q " + two +
                         ".p1 >/dev/null 2>&1 && dd if=" + two + ".p1 of=" + two +
                         " bs=512 seek=2048 conv=notrunc status=none && dd if=" + disk_ +
                         " of=" + two + " bs=512 skip=2048 seek=18432 conv=notrunc status=none")
                            .c_str()),
            0);
  for (const std::string& storage : {disk_, two}) {
    for (const char* form : {"--json", "--csv", "--bodyfile"}) {
      auto held = RunQst({"-d", raw_, "-S", "-n", form, "-r", "C:\\"});
      auto moved = RunQst({"-d", moved_, "--shadow-storage=" + storage, "-n", form, "-r", "C:\\"});
      EXPECT_EQ(moved.status, held.status) << storage << form;
      EXPECT_EQ(moved.out, held.out) << storage << form;
      EXPECT_EQ(moved.err, "") << storage << form;
    }
  }
  // Without the storage, each store is said unreadable, and the volume's
  // rows stand.
  auto alone = RunQst({"-d", moved_, "-S", "-e", "C:\\Another_file"});
  EXPECT_EQ(alone.err, "qst: " + moved_ +
                           ": shadow copy 1 (made 2013-12-03T06:35:09.7363787Z) cannot be read: "
                           "its data is not on this volume\n"
                           "qst: " +
                           moved_ +
                           ": shadow copy 2 (made 2013-12-03T06:37:48.9190583Z) cannot be read: "
                           "its data is not on this volume\n");
}

TEST_F(ShadowStorage, StorageThatCannotServeIsSaidAndCostsOnlyTheStores) {
  const std::string prefix = "qst: " + moved_ + ": shadow copy ";
  const std::string one = prefix + "1 (made 2013-12-03T06:35:09.7363787Z) cannot be read: ";
  const std::string two = prefix + "2 (made 2013-12-03T06:37:48.9190583Z) cannot be read: ";
  // The storage volume's catalog entry of store 2 (the second type 3 entry
  // of its catalog, at 40 MiB) names a block list that names itself.
  const std::string looping = Copy(disk_, "looping.img");
  std::ifstream in(disk_, std::ios::binary);
  std::string entry(128, '\0');
  in.seekg(static_cast<std::streamoff>(kPartition + (40 << 20) + 2 * 128));
  in.read(entry.data(), 128);
  std::uint64_t list = 0;
  for (int i = 7; i >= 0; --i) list = list << 8 | static_cast<unsigned char>(entry[8 + i]);
  std::string self(8, '\0');
  for (int i = 0; i < 8; ++i) self[i] = static_cast<char>(list >> (8 * i));
  Patch(looping, kPartition + list + 0x28, self);
  const std::string empty = dir_ + "/empty.img";
  ASSERT_EQ(
      std::system(("truncate -s 8M " + empty + " && mkntfs -F -f -q " + empty + " >/dev/null 2>&1")
                      .c_str()),
      0);
  // The disk's table made a GPT of 4,096 partitions: all but the last start
  // inside the storage volume, where no volume lies; the last where it does.
  const std::string many = Copy(disk_, "many.img");
  {
    std::string table(512 * 2048 - 512, '\0');
    std::string mbr(512, '\0');
    mbr[446 + 4] = static_cast<char>(0xEE);
    mbr[510] = 0x55, mbr[511] = static_cast<char>(0xAA);
    auto put = [](std::string& b, std::size_t at, std::uint64_t v, int size) {
      for (int i = 0; i < size; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
    };
    put(mbr, 446 + 8, 1, 4);
    put(mbr, 446 + 12, 0xFFFFFFFF, 4);
    table.replace(0, 8, "EFI PART");
    put(table, 72, 2, 8);
    put(table, 80, 4096, 4);
    put(table, 84, 128, 4);
    for (std::uint64_t i = 0; i < 4096; ++i) {
      const std::size_t e = 512 + i * 128;
      put(table, e, 0xA2A0D0EBE5B9334Full, 8);  // a basic data partition
      put(table, e + 8, 0x99C7B26844C087B3ull, 8);
      put(table, e + 16, i + 1, 8);
      const std::uint64_t first = kPartition / 512 + (i == 4095 ? 0 : 64 + i);
      put(table, e + 32, first, 8);
      put(table, e + 40, first + 100000, 8);
    }
    Patch(many, 0, mbr + table);
  }
  struct Case {
    std::string storage, err;
    int status;
  } cases[] = {
      {many, "", 0},
      {looping,
       one + "it reads through shadow copy 2, which cannot be read\n" + two +
           "its block list cannot be read whole\n",
       0},
      {empty,
       one + "its data is neither on this volume nor on " + empty + "\n" + two +
           "its data is neither on this volume nor on " + empty + "\n",
       0},
      {dir_ + "/none.img",
       "qst: cannot open image " + dir_ + "/none.img: No such file or directory\n", 1},
  };
  // The rows stand as where no store can be read.
  const auto alone = RunQst({"-d", moved_, "-S", "-e", "C:\\Another_file"});
  for (const Case& c : cases) {
    auto r = RunQst({"-d", moved_, "--shadow-storage=" + c.storage, "-e", "C:\\Another_file"});
    EXPECT_EQ(r.err, c.err) << c.storage;
    EXPECT_EQ(r.status, c.status) << c.storage;
    if (c.storage == many) {
      EXPECT_EQ(r.out,
                RunQst({"-d", moved_, "--shadow-storage=" + disk_, "-e", "C:\\Another_file"}).out);
    } else if (c.status == 0) {
      EXPECT_EQ(r.out, alone.out) << c.storage;
    }
  }
}

TEST(ShadowStorageOption, WantsAnImageAndDashD) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--shadow-storage=", "-d", "x.img", "C:\\"},
       "qst: --shadow-storage= wants the image of the volume the shadow copies' data lies on\n"},
      {{"--shadow-storage=d.img", "."}, "qst: can't use -S without -d\n"},
  };
  for (const Case& c : cases) {
    auto r = RunQst(c.args);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 254);
  }
}

// A copied volume of four 16 KiB blocks, each filled with its letter
// ('a'..'d'), and a storage volume whose blocks hold 'P'..'S', then an
// empty block list and a bitmap marking block 3 unused; stores built from
// descriptors one by one, store `read` read whole and shown as one letter
// for each run of 512-byte sectors ("a*32": a block of 'a').
struct Descriptor {
  std::uint64_t original, relative, offset;
  std::uint32_t flags, sectors;
};
std::string ReadStore(const std::vector<std::vector<Descriptor>>& stores, std::size_t read,
                      bool newest_marks_block_3_unused = false) {
  constexpr std::uint64_t B = kShadowBlock;
  std::string volume_bytes, storage_bytes;
  for (char c : {'a', 'b', 'c', 'd'}) volume_bytes += std::string(B, c);
  for (char c : {'P', 'Q', 'R', 'S'}) storage_bytes += std::string(B, c);
  static const char kId[] = "\x6b\x87\x08\x38\x76\xc1\x48\x4e\xb7\xae\x04\x04\x6e\x6c\xc7\x52";
  for (char record : {'\x03', '\x06'}) {
    std::string block(B, '\0');
    block.replace(0, 16, kId, 16);
    block[0x14] = record;
    if (record == '\x06') block[128] = 0x08;  // block 3
    storage_bytes += block;
  }
  MemoryVolumeReader volume(volume_bytes), storage(storage_bytes);
  auto chain = std::make_shared<ShadowChain>(volume);
  for (std::size_t s = 0; s < stores.size(); ++s) {
    ShadowCatalogStore entry;
    entry.block_list = 4 * B;
    entry.bitmap = newest_marks_block_3_unused ? 5 * B : 0;
    ShadowStoreMap map;
    std::string why;
    EXPECT_TRUE(map.Read(storage, entry, 4 * B, s + 1 == stores.size(), &why)) << why;
    for (const Descriptor& d : stores[s])
      map.Add({d.original, d.relative, d.offset, d.flags, d.sectors});
    chain->Add(storage, 4 * B, std::move(map));
  }
  auto reader = ShadowChain::Reader(chain, read);
  std::string out(4 * B, '\0');
  if (!reader->ReadAll(0, out.data(), out.size())) return "failed";
  std::string shown;
  for (std::size_t at = 0; at < out.size();) {
    std::size_t end = at;
    while (end < out.size() && out[end] == out[at]) end += 512;
    shown +=
        std::string(1, out[at] == 0 ? '0' : out[at]) + "*" + std::to_string((end - at) / 512) + " ";
    at = end;
  }
  return shown;
}

TEST(ShadowChain, EachStoreReadsWhatItHoldsAndTheRestThroughTheNewer) {
  constexpr std::uint64_t B = kShadowBlock;
  constexpr std::uint32_t kForwarder = 1, kOverlay = 2, kNotUsed = 4;
  using Stores = std::vector<std::vector<Descriptor>>;
  struct Case {
    const char* what;
    Stores stores;
    std::size_t read;
    std::string expected;
  } cases[] = {
      {"no descriptor: the volume", {{}}, 0, "a*32 b*32 c*32 d*32 "},
      {"a block kept", {{{B, 0, 2 * B, 0, 0}}}, 0, "a*32 R*32 c*32 d*32 "},
      {"a later descriptor replaces",
       {{{B, 0, 2 * B, 0, 0}, {B, 0, 3 * B, 0, 0}}},
       0,
       "a*32 S*32 c*32 d*32 "},
      {"not used: ignored", {{{B, 0, 2 * B, kNotUsed, 0}}}, 0, "a*32 b*32 c*32 d*32 "},
      {"the older reads through the newer", {{}, {{0, 0, B, 0, 0}}}, 0, "Q*32 b*32 c*32 d*32 "},
      {"the older's own block first",
       {{{0, 0, 3 * B, 0, 0}}, {{0, 0, B, 0, 0}}},
       0,
       "S*32 b*32 c*32 d*32 "},
      {"a forwarder: the newer store's block",
       {{{0, 2 * B, 0, kForwarder, 0}}, {{2 * B, 0, B, 0, 0}}},
       0,
       "Q*32 b*32 Q*32 d*32 "},
      {"a forwarder in the newest: the volume's block",
       {{{0, 3 * B, 0, kForwarder, 0}}},
       0,
       "d*32 b*32 c*32 d*32 "},
      {"a forwarder naming itself: ignored",
       {{{B, B, 0, kForwarder, 0}}},
       0,
       "a*32 b*32 c*32 d*32 "},
      {"a block a forwarder names stands for the forwarder's",
       {{{0, 2 * B, 0, kForwarder, 0}, {2 * B, 0, 3 * B, 0, 0}}},
       0,
       "S*32 b*32 c*32 d*32 "},
      {"an overlay's sectors over the store read",
       {{{B, 0, 0, kOverlay, 0x0000000f}}},
       0,
       "a*32 P*4 b*28 c*32 d*32 "},
      {"overlays add sectors",
       {{{B, 0, 0, kOverlay, 0x3}, {B, 1, 0, kOverlay, 0x30}}},
       0,
       "a*32 P*2 b*2 P*2 b*26 c*32 d*32 "},
      {"an overlay over a kept block",
       {{{B, 0, 2 * B, 0, 0}, {B, 1, 0, kOverlay, 0x80000000}}},
       0,
       "a*32 R*31 P*1 c*32 d*32 "},
      {"overlays are not read through",
       {{}, {{B, 0, 0, kOverlay, 0xf}}},
       0,
       "a*32 b*32 c*32 d*32 "},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadStore(c.stores, c.read), c.expected) << c.what;
  // The newest store's block that its bitmaps mark unused: zeros when that
  // store is read, the volume's when an older one reads through it.
  EXPECT_EQ(ReadStore({{}, {}}, 1, true), "a*32 b*32 c*32 0*32 ");
  EXPECT_EQ(ReadStore({{}, {}}, 0, true), "a*32 b*32 c*32 d*32 ");
}

TEST(ShadowBlockOwners, ABlockIsTheVolumesWhereNoStoreFromThereOnNamesIt) {
  constexpr std::uint64_t A = 0x4000, C = 0x8000, D = 0xc000;
  using List = std::optional<std::vector<std::uint64_t>>;
  // Stores oldest first; the newest is always left to the library.
  const ShadowBlockOwners owners({List{std::vector<std::uint64_t>{A}},
                                  List{std::vector<std::uint64_t>{C}},
                                  List{std::vector<std::uint64_t>{}}});
  struct Case {
    std::size_t store;
    std::uint64_t offset;
    bool volume;
  } cases[] = {{0, A, false},      {0, A + 100, false}, {0, C, false}, {0, D, true},
               {1, A + 512, true}, {1, C, false},       {1, D, true},  {2, D, false}};
  for (const Case& c : cases)
    EXPECT_EQ(owners.FromVolume(c.store, c.offset), c.volume) << c.store << " " << c.offset;
  // A list not read: no store older than it is known to read the volume.
  const ShadowBlockOwners gap({List{std::vector<std::uint64_t>{A}}, std::nullopt,
                               List{std::vector<std::uint64_t>{C}},
                               List{std::vector<std::uint64_t>{}}});
  EXPECT_FALSE(gap.FromVolume(0, D));
  EXPECT_FALSE(gap.FromVolume(1, D));
  EXPECT_TRUE(gap.FromVolume(2, D));
  EXPECT_TRUE(gap.FromVolume(2, A));
  EXPECT_FALSE(gap.FromVolume(2, C));
}

}  // namespace
}  // namespace qst
