#include "probe/fat/fat-volume.h"

#include <algorithm>
#include <cstring>

#include "probe/fat/exfat-upcase.h"
#include "probe/le.h"
#include "util/text.h"

namespace qst {

namespace {

// The most a folder holds: 65,536 entries on FAT, 256 MiB on exFAT.
constexpr std::uint64_t kFatFolderBytes = 65536 * kFatEntryBytes;
constexpr std::uint64_t kExfatFolderBytes = 256ull << 20;

}  // namespace

bool FatVolume::Open(VolumeReader& reader, FatReadOptions options,
                     std::unique_ptr<FatVolume>* volume, std::string* error) {
  std::uint8_t boot[512];
  if (!reader.ReadAll(0, boot, sizeof boot)) {
    *error = "cannot read the boot sector";
    return false;
  }
  FatGeometry g;
  if (!ParseFatBootSector(boot, &g, error)) return false;
  volume->reset(new FatVolume(reader, g, options));
  (*volume)->ReadTree();
  return true;
}

std::span<const std::uint32_t> FatVolume::Children(std::uint32_t folder) const {
  const Node& n = nodes_[folder];
  return std::span<const std::uint32_t>(children_).subspan(n.first_child, n.children);
}

bool FatVolume::SameName(std::u16string_view a, std::u16string_view b) const {
  return a.size() == b.size() && upcase_.Compare(a, b) == 0;
}

std::u16string FatVolume::ShortName(std::uint32_t n) const {
  const Node& e = nodes_[n];
  if (g_.exfat() || !e.has_short_name) return {};
  std::string_view base = std::string_view(e.short_name, 8);
  std::string_view ext = std::string_view(e.short_name + 8, 3);
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  while (!ext.empty() && ext.back() == ' ') ext.remove_suffix(1);
  std::u16string name;
  for (char c : base) name += static_cast<char16_t>(static_cast<unsigned char>(c));
  if (!ext.empty()) name += u'.';
  for (char c : ext) name += static_cast<char16_t>(static_cast<unsigned char>(c));
  return name;
}

std::vector<std::uint32_t> FatVolume::LookupAll(std::uint32_t folder,
                                                std::u16string_view name) const {
  // A live name before a deleted one; the name written exactly so before
  // those equal but for case; the long name before the 8.3 one.
  for (bool deleted : {false, true}) {
    std::vector<std::uint32_t> found;
    std::uint32_t short_match = kNone;
    for (std::uint32_t child : Children(folder)) {
      const File& e = nodes_[child].entry;
      if (e.deleted != deleted) continue;
      if (Name(child) == name) return {child};
      if (SameName(Name(child), name)) found.push_back(child);
      if (short_match == kNone && !e.deleted && SameName(ShortName(child), name))
        short_match = child;
    }
    // Deleted entries of one name are many: the first stands for them.
    if (!found.empty()) return deleted ? std::vector<std::uint32_t>{found.front()} : found;
    if (short_match != kNone) return {short_match};
  }
  return {};
}

std::uint32_t FatVolume::Lookup(std::uint32_t folder, std::u16string_view name) const {
  const std::vector<std::uint32_t> found = LookupAll(folder, name);
  return found.empty() ? kNone : found.front();
}

std::uint64_t FatVolume::Index(std::uint32_t n) const {
  if (n == kRoot) return 2;
  const std::uint64_t base =
      g_.exfat() || g_.kind == FatKind::kFat32 ? g_.data_offset : g_.root_offset;
  return (nodes_[n].position - base) / kFatEntryBytes + 3;
}

void FatVolume::ReadFolder(const Node& folder, std::vector<std::uint8_t>* bytes,
                           std::vector<std::uint64_t>* places) {
  bytes->clear();
  places->clear();
  if (&folder == &nodes_[kRoot] && !g_.exfat() && g_.kind != FatKind::kFat32) {
    bytes->resize(g_.root_bytes);
    places->push_back(g_.root_offset);
    if (!reader_.ReadAll(g_.root_offset, bytes->data(), bytes->size())) {
      ++damage_.unread;
      bytes->clear();
    }
    return;
  }
  const std::uint64_t most = g_.exfat() ? kExfatFolderBytes : kFatFolderBytes;
  const std::uint64_t limit = most / g_.cluster_bytes + 1;
  std::vector<std::uint32_t> clusters;
  const File& e = folder.entry;
  if (e.deleted && !e.contiguous) {
    // A deleted folder's chain is freed: its first cluster alone is its own,
    // but where that cluster still opens with the folder's own "." entry
    // and its chain is still allocated whole, along the chain.
    if (!OpensFolder(e.first_cluster) ||
        table_.Chain(e.first_cluster, limit, &clusters) != ChainEnd::kEnd || clusters.empty())
      clusters.assign(1, e.first_cluster);
  } else if (e.contiguous) {
    const std::uint64_t count =
        // Rounded up without overflow: exFAT keeps a 64-bit length.
        std::min<std::uint64_t>(e.size / g_.cluster_bytes + (e.size % g_.cluster_bytes != 0),
                                limit);
    for (std::uint64_t i = 0; i < count && g_.ValidCluster(e.first_cluster + i); ++i)
      clusters.push_back(static_cast<std::uint32_t>(e.first_cluster + i));
  } else {
    switch (table_.Chain(e.first_cluster, limit, &clusters)) {
      case ChainEnd::kLoop: ++damage_.loops; break;
      case ChainEnd::kBroken: ++damage_.broken; break;
      case ChainEnd::kUnread: ++damage_.unread; break;
      case ChainEnd::kEnd: break;
    }
  }
  for (std::uint32_t c : clusters) {
    // Each cluster is read as a folder's once in all: a chain that runs into
    // another folder's clusters (cross-linked) ends there, so that no
    // crafted chains make the volume's folders be read again and again.
    if (!folder_clusters_.insert(c).second) {
      if (!e.deleted) ++damage_.cross_links;
      break;
    }
    const std::size_t at = bytes->size();
    bytes->resize(at + g_.cluster_bytes);
    if (!reader_.ReadAll(g_.ClusterOffset(c), bytes->data() + at, g_.cluster_bytes)) {
      bytes->resize(at);
      // A deleted folder's clusters are not its own to lose.
      if (!e.deleted) ++damage_.unread;
      break;
    }
    places->push_back(g_.ClusterOffset(c));
  }
}

bool FatVolume::OpensFolder(std::uint32_t cluster) {
  std::uint8_t dot[kFatEntryBytes];
  return !g_.exfat() && g_.ValidCluster(cluster) &&
         reader_.ReadAll(g_.ClusterOffset(cluster), dot, sizeof dot) &&
         IsDotEntryOf(dot, cluster, g_.kind == FatKind::kFat32);
}

void FatVolume::ReadTree() {
  damage_.table_cut = !table_.whole();
  const std::uint64_t size = reader_.Size();
  damage_.missing_bytes = size < g_.volume_bytes ? g_.volume_bytes - size : 0;
  Node root;
  root.entry.attributes = kFatDirectory;
  root.entry.first_cluster = g_.root_cluster;
  nodes_.push_back(root);
  // FAT12 and FAT16 keep the root outside the clusters: an entry that names
  // cluster 0 as its folder's leads back to it.
  if (g_.root_cluster == 0) folder_clusters_.insert(0);
  // The live folders first, so that a deleted folder whose clusters a live
  // one took since never takes them back; then, where asked for, the
  // deleted ones.
  for (bool deleted : {false, true}) {
    if (deleted && !options_.deleted) break;
    for (std::uint32_t folder = 0; folder < nodes_.size(); ++folder) {
      const File& e = nodes_[folder].entry;
      if (!e.folder() || e.deleted != deleted) continue;
      // A folder whose first cluster another folder holds is listed, not
      // entered (one that holds itself, or its parent).
      const bool fresh = folder == kRoot || folder_clusters_.count(e.first_cluster) == 0;
      if (fresh && (folder == kRoot || g_.ValidCluster(e.first_cluster))) {
        ReadChildren(folder);
      } else if (!deleted) {
        ++(fresh ? damage_.broken : damage_.revisits);
      }
    }
  }
}

void FatVolume::ReadChildren(std::uint32_t folder) {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> places;
  std::vector<FatEntry> entries;
  ReadFolder(nodes_[folder], &bytes, &places);
  if (folder == kRoot && g_.exfat()) ReadUpcase(bytes);
  if (g_.exfat()) {
    FolderDamage d;
    DecodeExfatFolder(bytes.data(), bytes.size(), options_.deleted, &entries, &d);
    if (!nodes_[folder].entry.deleted) damage_.bad_sets += d.bad_sets;
  } else {
    DecodeFatFolder(bytes.data(), bytes.size(), options_.deleted, &entries);
  }
  nodes_[folder].read = true;
  nodes_[folder].first_child = static_cast<std::uint32_t>(children_.size());
  nodes_[folder].children = static_cast<std::uint32_t>(entries.size());
  const std::uint64_t piece =
      places.size() <= 1 && bytes.size() > g_.cluster_bytes ? bytes.size() : g_.cluster_bytes;
  for (FatEntry& e : entries) {
    // FAT12 and FAT16 keep other things in the high half of the cluster.
    if (!g_.exfat() && g_.kind != FatKind::kFat32) e.first_cluster &= 0xFFFF;
    // What a deleted folder held is deleted with it.
    e.deleted = e.deleted || nodes_[folder].entry.deleted;
    Node n;
    n.parent = folder;
    n.position = places[e.offset / piece] + e.offset % piece;
    n.entry = {e.attributes, e.deleted,  e.contiguous, e.first_cluster,
               e.size,       e.creation, e.write,      e.access};
    n.name_at = names_.size();
    n.name_length = static_cast<std::uint16_t>(std::min<std::size_t>(e.name.size(), 0xFFFF));
    names_.append(e.name, 0, n.name_length);
    n.has_short_name = e.short_name.size() == 11;
    if (n.has_short_name) std::memcpy(n.short_name, e.short_name.data(), 11);
    children_.push_back(static_cast<std::uint32_t>(nodes_.size()));
    nodes_.push_back(std::move(n));
  }
}

void FatVolume::ReadUpcase(const std::vector<std::uint8_t>& root) {
  ExfatUpcaseEntry entry;
  if (!FindExfatUpcase(root.data(), root.size(), &entry)) return;
  // At most 65,536 units and their compressed runs.
  std::vector<std::uint8_t> stored, table;
  std::vector<std::uint32_t> clusters;
  const std::uint64_t length = entry.length;
  bool read = length != 0 && length <= 4 * 65536 && g_.ValidCluster(entry.first_cluster);
  if (read) {
    const std::uint64_t count = (length + g_.cluster_bytes - 1) / g_.cluster_bytes;
    for (std::uint64_t i = 0; i < count && read; ++i) {
      read = g_.ValidCluster(static_cast<std::uint32_t>(entry.first_cluster + i));
      const std::size_t at = stored.size();
      stored.resize(at + g_.cluster_bytes);
      read = read &&
             reader_.ReadAll(g_.ClusterOffset(static_cast<std::uint32_t>(entry.first_cluster + i)),
                             stored.data() + at, g_.cluster_bytes);
    }
    stored.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, stored.size())));
  }
  if (!read || !ExpandExfatUpcase(stored.data(), stored.size(), entry.checksum, &table) ||
      !upcase_.Load(table))
    damage_.upcase_unusable = true;
}

std::string DescribeFatDamage(const std::string& image, const FatVolume::Damage& d) {
  std::string text;
  auto line = [&](std::uint32_t count, const char* one, const char* many) {
    if (count != 0)
      text +=
          "qst: " + image + ": " + std::to_string(count) + " " + (count == 1 ? one : many) + "\n";
  };
  if (d.missing_bytes != 0)
    text +=
        "qst: " + image + ": the image ends " + ByteCount(d.missing_bytes) + " before its volume\n";
  if (d.table_cut)
    text += "qst: " + image + ": the allocation table is cut short: chains end where it ends\n";
  line(d.loops, "cluster chain loops back on itself: read up to the loop",
       "cluster chains loop back on themselves: each read up to its loop");
  line(d.broken,
       "cluster chain or folder leads to a cluster that is free, bad or outside the volume",
       "cluster chains or folders lead to clusters that are free, bad or outside the volume");
  line(d.unread, "folder could not be read whole from the image",
       "folders could not be read whole from the image");
  line(d.cross_links, "folder runs into clusters another folder holds: read up to them",
       "folders run into clusters other folders hold: each read up to them");
  line(d.revisits, "folder holds clusters already read as another folder: listed, not entered",
       "folders hold clusters already read as other folders: listed, not entered");
  if (d.upcase_unusable)
    text += "qst: " + image + ": the up-case table is unusable: the built-in one used\n";
  line(d.bad_sets, "exFAT entry set fails its checksum: left out",
       "exFAT entry sets fail their checksums: left out");
  return text;
}

}  // namespace qst
