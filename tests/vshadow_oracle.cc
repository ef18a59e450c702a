// Volume shadow copies through libvshadow, the tests' second reader of the
// stores qst reads with its own: loaded at run time, reading the volume
// through a libbfio handle over the volume's reader.
#include "vshadow_oracle.h"

#include <libvshadow.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "probe/image/loaded-library.h"
#include "probe/witnesses/snapshots/shadow-catalog.h"
#include "probe/witnesses/snapshots/shadow-stores.h"

namespace qst {
namespace {

struct VshadowApi {
  decltype(&::libbfio_handle_initialize) handle_initialize;
  decltype(&::libbfio_handle_free) handle_free;
  decltype(&::libbfio_error_free) bfio_error_free;
  decltype(&::libvshadow_volume_initialize) volume_initialize;
  decltype(&::libvshadow_volume_free) volume_free;
  decltype(&::libvshadow_volume_open_file_io_handle) volume_open;
  decltype(&::libvshadow_volume_close) volume_close;
  decltype(&::libvshadow_volume_get_number_of_stores) number_of_stores;
  decltype(&::libvshadow_volume_get_store) get_store;
  decltype(&::libvshadow_store_free) store_free;
  decltype(&::libvshadow_store_has_in_volume_data) has_in_volume_data;
  decltype(&::libvshadow_store_get_identifier) identifier;
  decltype(&::libvshadow_store_get_creation_time) creation_time;
  decltype(&::libvshadow_store_get_volume_size) volume_size;
  decltype(&::libvshadow_store_read_buffer_at_offset) read_at;
  decltype(&::libvshadow_error_backtrace_sprint) backtrace_sprint;
  decltype(&::libvshadow_error_free) error_free;
};

// Returns null with `*error` set when a library or a name in it is missing.
const VshadowApi* LoadVshadow(std::string* error) {
  static VshadowApi loaded_api;
  static std::string failure;
  static const bool loaded = [] {
    void* vshadow = OpenLibrary("libvshadow.so.1", "libvshadow.so", &failure);
    void* bfio = OpenLibrary("libbfio.so.1", "libbfio.so", &failure);
    if (vshadow == nullptr || bfio == nullptr) return false;
    auto find = [&](void* library, auto** slot, const char* name) {
      FindFunction(library, slot, name, "", &failure);
    };
    VshadowApi& a = loaded_api;
    find(bfio, &a.handle_initialize, "libbfio_handle_initialize");
    find(bfio, &a.handle_free, "libbfio_handle_free");
    find(bfio, &a.bfio_error_free, "libbfio_error_free");
    find(vshadow, &a.volume_initialize, "libvshadow_volume_initialize");
    find(vshadow, &a.volume_free, "libvshadow_volume_free");
    find(vshadow, &a.volume_open, "libvshadow_volume_open_file_io_handle");
    find(vshadow, &a.volume_close, "libvshadow_volume_close");
    find(vshadow, &a.number_of_stores, "libvshadow_volume_get_number_of_stores");
    find(vshadow, &a.get_store, "libvshadow_volume_get_store");
    find(vshadow, &a.store_free, "libvshadow_store_free");
    find(vshadow, &a.has_in_volume_data, "libvshadow_store_has_in_volume_data");
    find(vshadow, &a.identifier, "libvshadow_store_get_identifier");
    find(vshadow, &a.creation_time, "libvshadow_store_get_creation_time");
    find(vshadow, &a.volume_size, "libvshadow_store_get_volume_size");
    find(vshadow, &a.read_at, "libvshadow_store_read_buffer_at_offset");
    find(vshadow, &a.backtrace_sprint, "libvshadow_error_backtrace_sprint");
    find(vshadow, &a.error_free, "libvshadow_error_free");
    return failure.empty();
  }();
  if (!loaded) {
    *error = failure;
    return nullptr;
  }
  return &loaded_api;
}

// The libraries, once LoadVshadow has found them.
const VshadowApi& Vshadow() {
  std::string ignored;
  return *LoadVshadow(&ignored);
}

// The library's message for `error`, which it then frees.
std::string TakeError(libvshadow_error_t* error) {
  if (error == nullptr) return "unknown error";
  char text[4096] = {};
  Vshadow().backtrace_sprint(error, text, sizeof text);
  Vshadow().error_free(&error);
  // The backtrace holds the innermost cause first ("unsupported version"),
  // each caller's line after it ("unable to read from file IO handle").
  std::string s(text, strnlen(text, sizeof text));
  s = s.substr(0, s.find('\n'));
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s.empty() ? "unknown error" : s;
}

// The libbfio handle's view of the volume: read only, at the offset it
// seeks to. The library never writes through it.
struct IoHandle {
  VolumeReader* volume = nullptr;
  std::uint64_t offset = 0;
  // What the library may still read in the call under way: the reads of a
  // damaged or crafted catalog or block list that loops end there, as an
  // error of the call, rather than go on for ever.
  std::uint64_t budget = ~0ull;
  // 8-byte fields of the volume shown to the library with another value
  // (offset, value): never written, only seen so in its reads.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> shown;
};

IoHandle* Io(intptr_t* handle) { return reinterpret_cast<IoHandle*>(handle); }

int IoFree(intptr_t**, libbfio_error_t**) { return 1; }
int IoClone(intptr_t** destination, intptr_t* source, libbfio_error_t**) {
  *destination = source;
  return 1;
}
int IoOpen(intptr_t*, int access_flags, libbfio_error_t**) {
  return (access_flags & LIBBFIO_ACCESS_FLAG_WRITE) != 0 ? -1 : 1;
}
int IoClose(intptr_t*, libbfio_error_t**) { return 0; }
ssize_t IoRead(intptr_t* handle, std::uint8_t* buffer, size_t size, libbfio_error_t**) {
  IoHandle* io = Io(handle);
  const std::uint64_t total = io->volume->Size();
  if (io->offset >= total) return 0;
  size = static_cast<size_t>(std::min<std::uint64_t>({size, total - io->offset, 1u << 30}));
  if (size > io->budget || !io->volume->ReadAll(io->offset, buffer, size)) return -1;
  io->budget -= size;
  for (const auto& [field, value] : io->shown)
    for (std::uint64_t b = 0; b < 8; ++b)
      if (field + b >= io->offset && field + b - io->offset < size)
        buffer[field + b - io->offset] = static_cast<std::uint8_t>(value >> (8 * b));
  io->offset += size;
  return static_cast<ssize_t>(size);
}
ssize_t IoWrite(intptr_t*, const std::uint8_t*, size_t, libbfio_error_t**) { return -1; }
off64_t IoSeek(intptr_t* handle, off64_t offset, int whence, libbfio_error_t**) {
  IoHandle* io = Io(handle);
  off64_t base = whence == SEEK_SET   ? 0
                 : whence == SEEK_CUR ? static_cast<off64_t>(io->offset)
                 : whence == SEEK_END ? static_cast<off64_t>(io->volume->Size())
                                      : -1;
  if (base < 0 || offset < -base) return -1;
  io->offset = static_cast<std::uint64_t>(base + offset);
  return static_cast<off64_t>(io->offset);
}
int IoExists(intptr_t*, libbfio_error_t**) { return 1; }
int IoIsOpen(intptr_t*, libbfio_error_t**) { return 1; }
int IoSize(intptr_t* handle, size64_t* size, libbfio_error_t**) {
  *size = Io(handle)->volume->Size();
  return 1;
}

// The library's volume, held until its last store is closed.
class VshadowVolume {
 public:
  explicit VshadowVolume(VolumeReader& volume) { io_.volume = &volume; }
  ~VshadowVolume() {
    if (volume_ != nullptr) {
      Vshadow().volume_close(volume_, nullptr);
      Vshadow().volume_free(&volume_, nullptr);
    }
    if (handle_ != nullptr) Vshadow().handle_free(&handle_, nullptr);
  }
  VshadowVolume(const VshadowVolume&) = delete;
  VshadowVolume& operator=(const VshadowVolume&) = delete;

  // False with `*why` when the volume cannot be read for stores.
  bool Open(std::string* why) {
    libbfio_error_t* bfio_error = nullptr;
    if (Vshadow().handle_initialize(&handle_, reinterpret_cast<intptr_t*>(&io_), IoFree, IoClone,
                                    IoOpen, IoClose, IoRead, IoWrite, IoSeek, IoExists, IoIsOpen,
                                    IoSize, LIBBFIO_FLAG_IO_HANDLE_CLONE_BY_REFERENCE,
                                    &bfio_error) != 1) {
      Vshadow().bfio_error_free(&bfio_error);
      handle_ = nullptr;
      *why = "libbfio cannot make a handle";
      return false;
    }
    libvshadow_error_t* error = nullptr;
    // The header and the catalog: a few blocks of 16 KiB.
    Allow(16u << 20);
    if (Vshadow().volume_initialize(&volume_, &error) != 1) {
      volume_ = nullptr;
      *why = TakeError(error);
      return false;
    }
    if (Vshadow().volume_open(volume_, handle_, LIBVSHADOW_OPEN_READ, &error) != 1) {
      *why = TakeError(error);
      Vshadow().volume_free(&volume_, nullptr);
      return false;
    }
    return true;
  }
  libvshadow_volume_t* get() { return volume_; }
  VolumeReader& Current() { return *io_.volume; }

  // Lets the next call of the library read `bytes` of the volume at most.
  void Allow(std::uint64_t bytes) { io_.budget = bytes; }
  // What a read of `size` bytes of a store may take, block lists included:
  // those of every store (each under 1/256 of the volume: 32-byte
  // descriptors of 16 KiB blocks, their headers and bitmaps), the data
  // itself twice (from the volume and a newer store), and room to spare.
  std::uint64_t ReadBudget(std::uint64_t size) const {
    const std::uint64_t volume = io_.volume->Size();
    return 2 * size + (4u << 20) + (stores_ + 1) * (volume / 256);
  }
  void SetStores(int stores) { stores_ = static_cast<std::uint64_t>(std::max(stores, 0)); }
  // Shows the library `value` in the 8 bytes at `field` (before Open).
  void Show(std::uint64_t field, std::uint64_t value) { io_.shown.emplace_back(field, value); }

 private:
  IoHandle io_;
  std::uint64_t stores_ = 0;
  libbfio_handle_t* handle_ = nullptr;
  libvshadow_volume_t* volume_ = nullptr;
};

// Store `index` (the library's, oldest first) read through the library,
// but for the blocks that no store from it on holds: the library would
// look for each through every newer store (a cost that grows with the
// square of the stores' number), and they are read from the volume.
class StoreReader : public VolumeReader {
 public:
  StoreReader(std::shared_ptr<VshadowVolume> volume, libvshadow_store_t* store, std::uint64_t size,
              std::shared_ptr<const ShadowBlockOwners> owners, std::size_t index)
      : volume_(std::move(volume)),
        store_(store),
        size_(size),
        owners_(std::move(owners)),
        index_(index) {}
  ~StoreReader() override { Vshadow().store_free(&store_, nullptr); }
  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (!Inside(offset, size, size_)) return ReadStatus::kPastEnd;
    char* out = static_cast<char*>(buffer);
    while (size > 0) {
      // A stretch of blocks read the same way, within one 16 MiB piece.
      const bool own = owners_->FromVolume(index_, offset);
      std::size_t piece = 0;
      while (piece < size && piece < (1u << 24) &&
             owners_->FromVolume(index_, offset + piece) == own)
        piece += static_cast<std::size_t>(kShadowBlock - (offset + piece) % kShadowBlock);
      piece = std::min(piece, size);
      if (own) {
        if (!volume_->Current().ReadAll(offset, out, piece)) return ReadStatus::kFailed;
      } else {
        volume_->Allow(volume_->ReadBudget(piece));
        if (Vshadow().read_at(store_, out, piece, static_cast<off64_t>(offset), nullptr) !=
            static_cast<ssize_t>(piece))
          return ReadStatus::kFailed;
      }
      offset += piece;
      out += piece;
      size -= piece;
    }
    return ReadStatus::kOk;
  }
  std::uint64_t Size() const override { return size_; }

 private:
  std::shared_ptr<VshadowVolume> volume_;
  libvshadow_store_t* store_;
  std::uint64_t size_;
  std::shared_ptr<const ShadowBlockOwners> owners_;
  std::size_t index_;
};

// What the catalog, read beside the library, tells of its stores.
struct StoreFacts {
  std::vector<ShadowCatalogStore> catalog;
  std::map<FILETIME, FILETIME> true_time;  // a creation time the library was shown: the true one
};

// The catalog's entry of a store of the library, found by its GUID.
const ShadowCatalogStore* CatalogEntry(libvshadow_store_t* store, const StoreFacts& facts) {
  std::uint8_t id[16] = {};
  if (Vshadow().identifier(store, id, sizeof id, nullptr) != 1) return nullptr;
  for (const ShadowCatalogStore& s : facts.catalog)
    if (std::equal(s.id.begin(), s.id.end(), id)) return &s;
  return nullptr;
}

// The library keeps its stores sorted by creation time and refuses the
// whole volume where two share one: it is shown each later one moved by a
// tick, and the true time is kept for the report.
void ShowStoresApart(VshadowVolume& shadow, StoreFacts* facts) {
  std::set<FILETIME> taken, seen;
  for (const ShadowCatalogStore& s : facts->catalog)
    if (s.created) taken.insert(*s.created);
  for (const ShadowCatalogStore& s : facts->catalog) {
    if (!s.created || seen.insert(*s.created).second) continue;
    FILETIME shown = *s.created;
    while (taken.count(shown) != 0) ++shown;
    taken.insert(shown);
    shadow.Show(s.created_at, shown);
    facts->true_time[shown] = *s.created;
  }
}

// A store the library opened, before its reader is made.
struct OpenStore {
  int number = 0;
  FILETIME created = 0;
  libvshadow_store_t* store = nullptr;
  std::uint64_t size = 0;
};

// Opens the store numbered `i` (from 0) of `shadow` into `open`, or adds
// why it cannot be read to `stores`. Returns the blocks its list names,
// where they could be read.
std::optional<std::vector<std::uint64_t>> OpenOne(VshadowVolume& shadow, int i,
                                                  const StoreFacts& facts, OpenStore* open,
                                                  ShadowStores* stores) {
  ShadowStores::Unreadable lost;
  lost.number = i + 1;
  libvshadow_store_t* store = nullptr;
  libvshadow_error_t* error = nullptr;
  if (Vshadow().get_store(shadow.get(), i, &store, &error) != 1) {
    lost.why = TakeError(error);
    stores->unreadable.push_back(std::move(lost));
    return std::nullopt;
  }
  std::uint64_t created = 0;
  if (Vshadow().creation_time(store, &created, nullptr) == 1) {
    if (auto it = facts.true_time.find(created); it != facts.true_time.end()) created = it->second;
    lost.has_created = true;
    lost.created = created;
  }
  const ShadowCatalogStore* entry = CatalogEntry(store, facts);
  size64_t size = 0;
  const char* problem = nullptr;
  if (Vshadow().has_in_volume_data(store, nullptr) != 1)
    problem = "its data is not on this volume";
  else if (entry != nullptr && entry->block_list == std::uint64_t{0})
    // The library would read through it to the newer stores' data.
    problem = "its catalog entry names no block list";
  else if (Vshadow().volume_size(store, &size, nullptr) != 1 || size == 0)
    problem = "it tells no volume size";
  if (problem != nullptr) {
    lost.why = problem;
    stores->unreadable.push_back(std::move(lost));
    Vshadow().store_free(&store, nullptr);
    return std::nullopt;
  }
  *open = {i + 1, created, store, size};
  if (entry == nullptr || !entry->block_list) return std::nullopt;
  return ReadShadowBlockList(shadow.Current(), *entry->block_list);
}

}  // namespace

bool OpenShadowStoresThroughLibrary(VolumeReader& volume, ShadowStores* stores,
                                    std::string* message) {
  std::string why;
  if (LoadVshadow(&why) == nullptr) {
    *message = "libvshadow is not available (" + why + ")";
    return false;
  }
  if (!HasShadowCopyHeader(volume)) return true;
  auto shadow = std::make_shared<VshadowVolume>(volume);
  StoreFacts facts;
  facts.catalog = ReadShadowCatalog(volume);
  ShowStoresApart(*shadow, &facts);
  if (!shadow->Open(&why)) {
    *message = "its shadow copies cannot be read (" + why + ")";
    return false;
  }
  int count = 0;
  libvshadow_error_t* error = nullptr;
  if (Vshadow().number_of_stores(shadow->get(), &count, &error) != 1) {
    *message = "its shadow copies cannot be read (" + TakeError(error) + ")";
    return false;
  }
  shadow->SetStores(count);
  std::vector<OpenStore> open(static_cast<std::size_t>(std::max(count, 0)));
  std::vector<std::optional<std::vector<std::uint64_t>>> lists(open.size());
  for (int i = 0; i < count; ++i) {
    shadow->Allow(16u << 20);
    lists[i] = OpenOne(*shadow, i, facts, &open[i], stores);
  }
  auto owners = std::make_shared<const ShadowBlockOwners>(lists);
  for (std::size_t i = 0; i < open.size(); ++i) {
    if (open[i].store == nullptr) continue;
    ShadowStore s;
    s.number = open[i].number;
    s.created = open[i].created;
    s.reader = std::make_unique<StoreReader>(shadow, open[i].store, open[i].size, owners, i);
    stores->stores.push_back(std::move(s));
  }
  std::stable_sort(
      stores->stores.begin(), stores->stores.end(),
      [](const ShadowStore& a, const ShadowStore& b) { return a.created < b.created; });
  return true;
}

}  // namespace qst
