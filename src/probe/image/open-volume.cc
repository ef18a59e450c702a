#include "probe/image/open-volume.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "probe/fat/fat-boot.h"
#include "probe/file-systems.h"
#include "probe/image/fat-platform.h"
#include "probe/image/raw-reader.h"
#include "probe/ntfs/boot-sector.h"
#include "probe/ntfs/mft.h"
#include "probe/witnesses/snapshots/shadow-storage.h"
#include "probe/witnesses/snapshots/shadow-stores.h"
#include "util/text.h"

namespace qst {
namespace {

constexpr std::uint64_t kSectorSize = 512;

// The bytes of a volume that starts `offset` bytes into an image.
class OffsetReader : public VolumeReader {
 public:
  OffsetReader(std::shared_ptr<VolumeReader> image, std::uint64_t offset)
      : image_(std::move(image)), offset_(offset) {}
  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset + offset_ < offset) return ReadStatus::kPastEnd;
    return image_->Read(offset + offset_, buffer, size);
  }
  std::uint64_t Size() const override {
    std::uint64_t size = image_->Size();
    return size > offset_ ? size - offset_ : 0;
  }
  void Prefetch(std::uint64_t offset, std::uint64_t size) override {
    if (offset + offset_ >= offset) image_->Prefetch(offset + offset_, size);
  }
  const std::uint8_t* View(std::uint64_t offset, std::size_t size) override {
    return offset + offset_ >= offset ? image_->View(offset + offset_, size) : nullptr;
  }
  void Unview(const std::uint8_t* view, std::size_t size) override { image_->Unview(view, size); }
  bool ConcurrentReads() const override { return image_->ConcurrentReads(); }

 private:
  std::shared_ptr<VolumeReader> image_;
  std::uint64_t offset_;
};

// The lines that list `partitions` with what each holds.
std::string PartitionLines(VolumeReader& image, const std::vector<Partition>& partitions) {
  std::string lines = "   start     length  description\n";
  for (const Partition& p : partitions) {
    std::string holds = FileSystemAt(image, p.start * kSectorSize);
    if (holds.empty() && HoldsFat(image, p.start * kSectorSize)) holds = "a FAT or exFAT volume";
    const std::string what = p.description.empty() || holds.empty() ? p.description + holds
                                                                    : p.description + ": " + holds;
    lines += Format("%8llu %10llu  %s\n", static_cast<unsigned long long>(p.start),
                    static_cast<unsigned long long>(p.length), what.c_str());
  }
  return lines;
}

// The byte offset of the NTFS volume to use: -o's sector, else the only
// NTFS partition of a partitioned image, else the image itself. Returns
// false with the list of choices in `message` when there are several.
bool ChooseVolume(VolumeReader& image, std::vector<Partition> partitions,
                  const ImageSelection& selection, std::string* message, std::uint64_t* offset) {
  if (selection.sector >= 0) {
    *offset = static_cast<std::uint64_t>(selection.sector) * kSectorSize;
    return true;
  }
  *offset = 0;
  std::vector<Partition> found;
  for (const Partition& p : partitions)
    if (p.ntfs.has_value() ? *p.ntfs : HoldsNtfs(image, p.start * kSectorSize)) found.push_back(p);
  // Without NTFS, the FAT or exFAT volume (a USB stick, a card).
  if (found.empty())
    for (const Partition& p : partitions)
      if (HoldsFat(image, p.start * kSectorSize)) found.push_back(p);
  if (found.size() == 1) {
    *offset = found[0].start * kSectorSize;
    // The NTFS volume is read before a FAT one: the other is said, for -o.
    for (const Partition& p : partitions)
      if (p.start != found[0].start && !HoldsNtfs(image, p.start * kSectorSize) &&
          HoldsFat(image, p.start * kSectorSize))
        *message += Format(
            "qst: %s: the volume at sector %llu is read; the image also holds a FAT "
            "or exFAT volume at sector %llu (-o %llu reads it)\n",
            selection.path.c_str(), static_cast<unsigned long long>(found[0].start),
            static_cast<unsigned long long>(p.start), static_cast<unsigned long long>(p.start));
  }
  // A table whose partitions hold none, on an image that is no volume
  // itself: what each holds, for -o.
  if (found.empty() && !partitions.empty() && !HoldsNtfs(image, 0) && !HoldsFat(image, 0)) {
    *message = Format("qst: %s holds no NTFS, FAT or exFAT volume; its partitions:\n",
                      selection.path.c_str()) +
               PartitionLines(image, partitions);
    return false;
  }
  if (found.size() <= 1) return true;
  *message = Format("qst: %s holds %zu NTFS volumes; choose one with -o SECTOR:\n",
                    selection.path.c_str(), found.size());
  *message += "   start     length  description\n";
  for (const Partition& p : found)
    *message += Format("%8llu %10llu  %s\n", static_cast<unsigned long long>(p.start),
                       static_cast<unsigned long long>(p.length), p.description.c_str());
  return false;
}

}  // namespace

bool HoldsFat(VolumeReader& image, std::uint64_t offset) {
  std::uint8_t sector[512];
  return image.ReadAll(offset, sector, sizeof sector) && LooksLikeFatBootSector(sector);
}

bool WantsPartitions(Disk* disk, const ImageSelection& selection) {
  disk->bare_mft = selection.sector < 0 && IsBareMft(*disk->reader);
  return selection.sector < 0 && !disk->bare_mft;
}

const char* ContainerMark(VolumeReader& image) {
  char head[8] = {};
  image.Read(0, head, std::min<std::uint64_t>(sizeof head, image.Size()));
  static constexpr std::pair<const char*, const char*> kMarks[] = {
      {"EVF", "E01"},       {"LVF", "E01"},      {"LEF", "E01"},
      {"AFF", "AFF"},       {"KDMV", "VMDK"},    {"COWD", "VMDK"},
      {"# Disk D", "VMDK"}, {"conectix", "VHD"}, {"vhdxfile", "VHDX"}};
  for (const auto& [mark, format] : kMarks)
    if (std::memcmp(head, mark, std::strlen(mark)) == 0) return format;
  return nullptr;
}

namespace {

// Opens what the run reads beside the volume: the witness parts joined to
// each file, or the lister of the witness whose records the run lists.
bool OpenWitnesses(const ImageSelection& selection, NtfsVolume& volume, Platform& host,
                   const SnapshotSource& snapshots, VolumeWitnesses* witnesses,
                   std::string* message) {
  // The copies oldest first, as the catalog need not list them.
  std::vector<StoreVolume> stores;
  for (const Snapshot& s : snapshots.stores) stores.push_back({s.store, s.created, s.volume.get()});
  std::stable_sort(stores.begin(), stores.end(), [](const StoreVolume& a, const StoreVolume& b) {
    return a.created < b.created;
  });
  if (!selection.listed)
    return OpenWitnessParts({selection, volume, host, OpenRawFile, stores}, &witnesses->parts,
                            message);
  witnesses->listed = selection.listed;
  return OpenWitnessLister({selection, &volume, host, OpenRawFile, stores}, &witnesses->lister,
                           message);
}

// "2013-12-03T06:35:09.7363787Z".
std::string UtcText(FILETIME time) {
  RenderedTimestamp t = RenderTimestamp(time, TimeForm{true, true}, UtcZone());
  std::string text;
  if (!AppendIsoUtc(t, &text)) text = t.text;
  return text;
}

// The volumes of the image --shadow-storage names: each of its partitions,
// or the image itself.
bool OpenStorage(const ImageSelection& selection, Platform& host,
                 std::vector<std::shared_ptr<VolumeReader>>* volumes, std::string* message) {
  ImageSelection storage;
  storage.path = selection.apart_of(Witness::kSnapshots);
  Disk disk;
  if (!OpenDisk(storage, host, &disk, message)) return false;
  std::shared_ptr<VolumeReader> image = std::move(disk.reader);
  // A volume is read once, however many partitions name where it starts.
  std::set<std::uint64_t> starts;
  for (const Partition& p : disk.partitions)
    if (starts.insert(p.start).second)
      volumes->push_back(std::make_shared<OffsetReader>(image, p.start * kSectorSize));
  if (volumes->empty()) volumes->push_back(image);
  return true;
}

// The shadow copies that -S asks for, each read as a volume of its own,
// their data also looked for on `storage` where --shadow-storage names it;
// what cannot be read is told in the source's report.
SnapshotSource ReadSnapshots(VolumeReader& volume, const ImageSelection& selection,
                             NtfsReadOptions options,
                             const std::vector<std::shared_ptr<VolumeReader>>& storage) {
  SnapshotSource source;
  const char* name = selection.path.c_str();
  ShadowStores shadow;
  std::string why;
  const std::string& storage_name = selection.apart_of(Witness::kSnapshots);
  const bool opened = storage_name.empty()
                          ? OpenShadowStores(volume, &shadow, &why)
                          : OpenShadowStoresWith(volume, storage, storage_name, &shadow, &why);
  if (!opened) {
    source.report = Format("qst: %s: -S: %s; the volume alone is reported\n", name, why.c_str());
    return source;
  }
  if (shadow.stores.empty() && shadow.unreadable.empty())
    source.report = source.absence = Format("qst: %s: no volume shadow copies\n", name);
  if (shadow.beyond != 0)
    source.report += Format(
        "qst: %s: the catalog names %zu shadow copies: the oldest %zu, past the %zu Windows keeps "
        "on a volume, not read\n",
        name, shadow.beyond + shadow.stores.size() + shadow.unreadable.size(), shadow.beyond,
        kMaxShadowStores);
  // One line for each store that cannot be read, in the stores' order.
  std::vector<std::pair<int, std::string>> lines;
  auto tell = [&](int number, bool has_created, FILETIME created, const std::string& what) {
    std::string made = has_created ? " (made " + UtcText(created) + ")" : "";
    lines.emplace_back(
        number, Format("qst: %s: shadow copy %d%s %s\n", name, number, made.c_str(), what.c_str()));
  };
  for (const ShadowStores::Unreadable& lost : shadow.unreadable)
    tell(lost.number, lost.has_created, lost.created, "cannot be read: " + lost.why);
  options.progress = nullptr;
  for (ShadowStore& store : shadow.stores) {
    Snapshot snapshot{store.number, store.created, std::move(store.reader), nullptr};
    std::string error;
    if (NtfsVolume::Open(*snapshot.reader, options, &snapshot.volume, &error))
      source.stores.push_back(std::move(snapshot));
    else
      tell(store.number, true, store.created, "holds no usable NTFS volume: " + error);
  }
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [number, line] : lines) source.report += line;
  return source;
}

// What lies at `offset` of `image` where no NTFS volume does, to follow the
// reason ("; it holds an ext4 file system, which qst does not read"); and,
// after a wrong -o (`chosen`), where the image's volumes are.
std::string WhatIsThere(VolumeReader& image, std::uint64_t offset, bool container, bool chosen) {
  std::string text;
  const std::string holds = FileSystemAt(image, offset);
  if (!holds.empty() && holds != "an NTFS volume") {
    text = "; it holds " + holds;
    const std::string todo = WhatToDoWith(holds);
    text += todo.empty() ? ", which qst does not read" : " (" + todo + ")";
  } else if (holds.empty() && container && OnlyZerosAt(image, offset)) {
    // A container cut short gives zeros where its data is missing.
    text = "; the image gives only zeros there: it may be cut short or damaged";
  }
  if (!chosen) return text;
  std::vector<Partition> partitions, volumes;
  ReadPartitionTable(image, &partitions);
  for (const Partition& p : partitions)
    if (HoldsNtfs(image, p.start * kSectorSize) || HoldsFat(image, p.start * kSectorSize))
      volumes.push_back(p);
  if (volumes.empty()) return text;
  text += "; its NTFS, FAT and exFAT volumes start at sector";
  for (std::size_t i = 0; i < volumes.size(); ++i)
    text +=
        Format("%s %llu (%s)", i == 0 ? "" : ",", static_cast<unsigned long long>(volumes[i].start),
               volumes[i].description.c_str());
  return text;
}

}  // namespace

bool OpenImageVolume(Disk disk, const ImageSelection& selection, Platform& host,
                     HostErrorToWindows to_windows, std::unique_ptr<Platform>* platform,
                     std::string* message) {
  NtfsReadOptions options;
  options.deleted = selection.wants(Witness::kState);
  options.name_times = selection.wants(Witness::kFileName);
  options.few_paths = selection.few_paths;
  options.progress = selection.progress;
  options.threads = selection.threads;
  std::string error;
  std::unique_ptr<NtfsVolume> volume;
  if (disk.bare_mft) {
    if (!NtfsVolume::OpenMft(*disk.reader, options, &volume, &error)) {
      *message = Format("qst: %s holds no usable MFT: %s\n", selection.path.c_str(), error.c_str());
      return false;
    }
    VolumeWitnesses witnesses;
    if (!OpenWitnesses(selection, *volume, host, SnapshotSource{}, &witnesses, message))
      return false;
    SnapshotSource snapshots;
    if (selection.wants(Witness::kSnapshots))
      snapshots.report =
          Format("qst: %s: a bare MFT holds no volume shadow copies\n", selection.path.c_str());
    *platform = MakeVolumePlatform(std::move(disk.reader), std::move(volume), host, to_windows,
                                   selection.path, std::move(witnesses), std::move(snapshots));
    return true;
  }
  std::uint64_t offset = 0;
  if (!ChooseVolume(*disk.reader, std::move(disk.partitions), selection, message, &offset))
    return false;
  VolumeReader* whole = disk.reader.get();  // owned by `reader` from here
  std::unique_ptr<VolumeReader> reader =
      offset == 0 ? std::move(disk.reader)
                  : std::make_unique<OffsetReader>(std::move(disk.reader), offset);
  if (HoldsFat(*reader, 0))
    return OpenFatVolume(std::move(reader), selection, host, to_windows, platform, message);
  if (!NtfsVolume::Open(*reader, options, &volume, &error)) {
    *message =
        Format("qst: %s holds no usable NTFS volume at sector %llu: %s%s\n", selection.path.c_str(),
               static_cast<unsigned long long>(offset / kSectorSize), error.c_str(),
               WhatIsThere(*whole, offset, disk.container, selection.sector >= 0).c_str());
    return false;
  }
  SnapshotSource snapshots;
  std::vector<std::shared_ptr<VolumeReader>> storage;
  if (selection.wants(Witness::kSnapshots) && !selection.apart_of(Witness::kSnapshots).empty() &&
      !OpenStorage(selection, host, &storage, message))
    return false;
  if (selection.wants(Witness::kSnapshots))
    snapshots = ReadSnapshots(*reader, selection, options, storage);
  VolumeWitnesses witnesses;
  if (!OpenWitnesses(selection, *volume, host, snapshots, &witnesses, message)) return false;
  *platform = MakeVolumePlatform(std::move(reader), std::move(volume), host, to_windows,
                                 selection.path, std::move(witnesses), std::move(snapshots));
  return true;
}

bool OpenFatVolume(std::unique_ptr<VolumeReader> reader, const ImageSelection& selection,
                   Platform& host, HostErrorToWindows to_windows,
                   std::unique_ptr<Platform>* platform, std::string* message) {
  std::unique_ptr<FatVolume> volume;
  std::string error;
  FatReadOptions options;
  options.deleted = selection.wants(Witness::kState);
  if (!FatVolume::Open(*reader, options, &volume, &error)) {
    *message = Format("qst: %s holds no usable FAT or exFAT volume: %s\n", selection.path.c_str(),
                      error.c_str());
    return false;
  }
  // What only NTFS keeps (every witness but the record's own state): each
  // option that reads it is refused by name, then each stream named apart.
  std::string refused;
  auto refuse = [&](const std::string& option) {
    refused += (refused.empty() ? "" : ", ") + option;
  };
  for (const WitnessDescriptor& w : kWitnesses)
    if (w.witness != Witness::kState && selection.wants(w.witness))
      refuse(std::string("-") + w.letter);
  for (const WitnessDescriptor& w : kWitnesses)
    if (w.apart_lists && (selection.lists(w.witness) || !selection.apart_of(w.witness).empty()))
      refuse(std::string("--") + w.apart);
  if (!refused.empty()) {
    *message = Format("qst: %s holds a %s volume: %s read%s what only NTFS keeps\n",
                      selection.path.c_str(), FatKindName(volume->geometry().kind), refused.c_str(),
                      refused.find(',') == std::string::npos ? "s" : "");
    return false;
  }
  *platform = MakeFatPlatform(std::move(reader), std::move(volume), host, to_windows,
                              selection.path, selection.fat_zone);
  return true;
}

bool OpenJournalFile(const ImageSelection& selection, Platform& host,
                     std::unique_ptr<Platform>* platform, std::string* message) {
  std::unique_ptr<WitnessLister> lister;
  if (!OpenWitnessLister({selection, nullptr, host, OpenRawFile}, &lister, message)) return false;
  *platform = MakeJournalPlatform(std::move(lister), host);
  return true;
}

}  // namespace qst
