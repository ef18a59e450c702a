#include "probe/image/fat-platform.h"

#include <utility>
#include <vector>

#include "probe/evidence.h"
#include "probe/fat/fat-time.h"
#include "probe/image/windows-platform.h"

namespace qst {
namespace {

using namespace windows_error;

class FatPlatform : public WindowsPathsPlatform, public Evidence {
 public:
  FatPlatform(std::unique_ptr<VolumeReader> reader, std::unique_ptr<FatVolume> volume,
              Platform& host, HostErrorToWindows to_windows, std::string image_name,
              std::optional<int> zone)
      : WindowsPathsPlatform(host, to_windows),
        reader_(std::move(reader)),
        volume_(std::move(volume)),
        image_name_(std::move(image_name)),
        fixed_zone_(zone.value_or(0)),
        written_in_(zone.has_value() ? static_cast<const LocalTimeConverter&>(fixed_zone_) : host) {
  }

  Evidence* VolumeEvidence() override { return this; }
  bool ProbesFromMemory() const override { return true; }

  void ProbeSnapshots(const std::string&, const DirEntry*, const RawFileInfo*,
                      std::vector<RawFileInfo>*) override {}
  std::optional<std::uint64_t> VolumeSerial() const override { return volume_->geometry().serial; }
  std::string LossReport() const override {
    return DescribeFatDamage(image_name_, volume_->damage());
  }

  int Probe(const std::string& path, RawFileInfo* info) override {
    std::uint32_t node = FatVolume::kRoot;
    bool ambiguous = false;
    if (int error = Resolve(Utf16FromWtf8(path), &node, &ambiguous)) return error;
    // Several live files the last name matches but for case: each is
    // listed by a search, none reported here for the others.
    if (ambiguous && !path.ends_with('\\')) return kAmbiguousName;
    return Report(path, node, info);
  }

  int ProbeEntry(const std::string& path, const DirEntry& entry, RawFileInfo* info) override {
    if (entry.hint.record == SearchHint::kNoRecord) return Probe(path, info);
    return Report(path, static_cast<std::uint32_t>(entry.hint.record), info);
  }

  int OpenFolderSearch(const std::string& folder, const DirEntry& entry,
                       std::unique_ptr<DirSearch>* search) override {
    if (entry.hint.record == SearchHint::kNoRecord) return OpenSearch(folder + "*", search);
    return SearchFolder(static_cast<std::uint32_t>(entry.hint.record), u"*", search);
  }

  int OpenSearch(const std::string& pattern, std::unique_ptr<DirSearch>* search) override {
    return OpenWindowsSearch(
        pattern, FatVolume::kRoot,
        [&](std::u16string_view path, std::uint32_t* folder) { return Resolve(path, folder); },
        [&](std::uint32_t n) { return volume_->node(n).entry.folder(); },
        [&](std::uint32_t folder, std::u16string_view wanted) {
          return SearchFolder(folder, wanted, search);
        },
        [&](std::uint32_t folder, std::u16string_view last) {
          const std::vector<std::uint32_t> found = volume_->LookupAll(folder, last);
          if (found.empty()) return kFileNotFound;
          // Under the name asked for, or each under its own where several match.
          std::vector<DirEntry> entries;
          for (std::uint32_t n : found)
            entries.push_back(
                Entry(std::u16string(found.size() == 1 ? last : volume_->Name(n)), n));
          search->reset(new VectorSearch(std::move(entries)));
          return 0;
        });
  }

 private:
  DirEntry Entry(const std::u16string& name, std::uint32_t node) const {
    DirEntry entry{Wtf8FromUtf16(name), volume_->node(node).entry.folder()};
    entry.hint.record = node;
    entry.hint.folder = volume_->node(node).parent;
    return entry;
  }

  bool Matches(std::u16string_view pattern, std::u16string_view name) const {
    if (pattern == u"*") return true;
    return MatchWildcard(pattern, name, [&](char16_t a, char16_t b) {
      return volume_->SameName(std::u16string_view(&a, 1), std::u16string_view(&b, 1));
    });
  }

  // The entries of `folder` that match `wanted`: "." and ".." first (but in
  // the root), then the folder's entries in the order it holds them, the
  // deleted ones (where asked for) among them.
  int SearchFolder(std::uint32_t folder, std::u16string_view wanted,
                   std::unique_ptr<DirSearch>* search) {
    std::vector<DirEntry> entries;
    if (folder != FatVolume::kRoot)
      for (const char16_t* dots : {u".", u".."})
        if (Matches(wanted, dots)) entries.push_back({Wtf8FromUtf16(dots), true});
    // A pattern matches a file by its long name or, as Windows has it, by
    // its 8.3 name; the file is listed under its long name.
    for (std::uint32_t child : volume_->Children(folder)) {
      const FatVolume::File& e = volume_->node(child).entry;
      bool match = Matches(wanted, volume_->Name(child));
      if (!match && !e.deleted) {
        const std::u16string short_name = volume_->ShortName(child);
        match = !short_name.empty() && Matches(wanted, short_name);
      }
      if (match) entries.push_back(Entry(std::u16string(volume_->Name(child)), child));
    }
    if (entries.empty()) return kFileNotFound;
    search->reset(new VectorSearch(std::move(entries)));
    return 0;
  }

  // The node a path names (WalkWindowsPath); with `ambiguous`, whether
  // the name that led to it matches several live files but for case.
  int Resolve(std::u16string_view path, std::uint32_t* found, bool* ambiguous = nullptr) const {
    std::uint32_t last = FatVolume::kNone;
    bool several = false;
    const int error = WalkWindowsPath(
        path, FatVolume::kRoot, [&](std::uint32_t n) { return volume_->node(n).entry.folder(); },
        [&](std::uint32_t folder, std::u16string_view name, std::uint32_t* next) {
          const std::vector<std::uint32_t> matches = volume_->LookupAll(folder, name);
          if (matches.empty()) return false;
          *next = last = matches.front();
          several = matches.size() > 1;
          return true;
        },
        found);
    if (ambiguous != nullptr) *ambiguous = error == 0 && several && *found == last;
    return error;
  }

  int Report(const std::string& path, std::uint32_t node, RawFileInfo* info) const {
    const FatVolume::Node& n = volume_->node(node);
    const bool wants_folder = !path.empty() && path.back() == '\\';
    if (wants_folder && !n.entry.folder()) return kInvalidName;
    *info = RawFileInfo{};
    // As Windows shows a FAT file: no change time (0), and 0 for a time the
    // entry never had; the root keeps no times at all.
    FatStampToFileTime(n.entry.creation, written_in_, &info->basic.CreationTime);
    FatStampToFileTime(n.entry.write, written_in_, &info->basic.LastWriteTime);
    FatStampToFileTime(n.entry.access, written_in_, &info->basic.LastAccessTime);
    if (n.entry.folder()) info->basic.FileAttributes = kFileAttributeDirectory;
    if (!n.entry.folder()) {
      info->has_size = true;
      info->size = n.entry.size;
    }
    const std::uint64_t index = volume_->Index(node);
    info->file_index = static_cast<std::uint32_t>(index);
    info->volume = 1;
    // A folder read as its clusters' own is known by its first cluster, so
    // that a walk leaves one it is already inside, whichever entry leads to
    // it; one listed but not entered (a deleted folder whose cluster a live
    // one took since) by its entry, so that it never keeps the walk out of
    // the live one.
    info->file_id = n.entry.folder() && n.read ? n.entry.first_cluster : index | 1ull << 40;
    info->deleted = n.entry.deleted;
    return 0;
  }

  std::unique_ptr<VolumeReader> reader_;
  std::unique_ptr<FatVolume> volume_;
  std::string image_name_;
  FixedZone fixed_zone_;
  // The zone FAT's local times are read in: --fat-zone's, or the host's.
  const LocalTimeConverter& written_in_;
};

}  // namespace

std::unique_ptr<Platform> MakeFatPlatform(std::unique_ptr<VolumeReader> reader,
                                          std::unique_ptr<FatVolume> volume, Platform& host,
                                          HostErrorToWindows to_windows, std::string image_name,
                                          std::optional<int> zone) {
  return std::make_unique<FatPlatform>(std::move(reader), std::move(volume), host, to_windows,
                                       std::move(image_name), zone);
}

}  // namespace qst
