// A FAT12, FAT16, FAT32 or exFAT volume read from its bytes: every folder
// from the root read once, its files (and, where asked, its deleted entries)
// kept as nodes in the order the folder holds them. Damage costs only what it
// touches: a chain that loops or breaks ends there, a folder reached a second
// time (a folder that holds itself, or two entries sharing its clusters) is
// listed but not read again, and each is counted for one message.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "probe/fat/fat-boot.h"
#include "probe/fat/fat-entries.h"
#include "probe/fat/fat-table.h"
#include "probe/ntfs/upcase.h"
#include "probe/volume-reader.h"

namespace qst {

struct FatReadOptions {
  bool deleted = false;  // keep deleted entries
};

class FatVolume {
 public:
  static constexpr std::uint32_t kRoot = 0;
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  // What a node keeps of its entry: all but its names, which the volume
  // keeps in one buffer (a volume holds millions of entries).
  struct File {
    std::uint16_t attributes = 0;
    bool deleted = false;
    bool contiguous = false;
    std::uint32_t first_cluster = 0;
    std::uint64_t size = 0;
    FatStamp creation, write, access;
    bool folder() const { return (attributes & kFatDirectory) != 0; }
  };
  struct Node {
    File entry;  // the root's is empty but for its folder attribute
    std::uint32_t parent = kRoot;
    std::uint32_t first_child = 0, children = 0;  // in child order
    std::uint64_t position = 0;                   // the entry's byte in the volume (0: the root)
    std::uint64_t name_at = 0;                    // where its name lies in names_
    std::uint16_t name_length = 0;
    bool read = false;  // a folder read as its clusters' own (not one listed, not entered)
    bool has_short_name = false;
    char short_name[11] = {};  // FAT: the 8.3 name as its entry keeps it
  };

  // What reading the volume met, for the run's closing lines.
  struct Damage {
    std::uint32_t loops = 0;          // chains that came back on themselves
    std::uint32_t broken = 0;         // chains that reached a free, bad or outside cluster
    std::uint32_t unread = 0;         // folders, or parts of them, the image could not give
    std::uint32_t revisits = 0;       // folders whose clusters another folder holds
    std::uint32_t cross_links = 0;    // folders whose chain runs into another's clusters
    std::uint32_t bad_sets = 0;       // exFAT entry sets that fail their checksum
    bool table_cut = false;           // the allocation table is cut short
    std::uint64_t missing_bytes = 0;  // how much of the volume lies past the image's end
    bool upcase_unusable = false;     // exFAT's up-case table unreadable: the built-in one used
  };

  static bool Open(VolumeReader& reader, FatReadOptions options, std::unique_ptr<FatVolume>* volume,
                   std::string* error);

  const FatGeometry& geometry() const { return g_; }
  const Node& node(std::uint32_t n) const { return nodes_[n]; }
  // The long name of a node, else its 8.3 name as Windows shows it.
  std::u16string_view Name(std::uint32_t n) const {
    return std::u16string_view(names_).substr(nodes_[n].name_at, nodes_[n].name_length);
  }
  std::span<const std::uint32_t> Children(std::uint32_t folder) const;
  // The child of `folder` named `name` (its long or its 8.3 name, without
  // regard to case; one written exactly so first), or kNone.
  std::uint32_t Lookup(std::uint32_t folder, std::u16string_view name) const;
  // The same, with every live child whose name equals `name` but for case
  // where none equals it exactly (names that a system which tells case
  // apart wrote); empty where none.
  std::vector<std::uint32_t> LookupAll(std::uint32_t folder, std::u16string_view name) const;
  // The 8.3 name of a FAT file as its entry keeps it ("ALONGF~1.TXT"), in the
  // OEM page's bytes; empty on exFAT.
  std::u16string ShortName(std::uint32_t n) const;
  // Whether two names are one without regard to case.
  bool SameName(std::u16string_view a, std::u16string_view b) const;
  // The number a file is known by: 2 for the root, else its entry's place
  // counted in 32-byte entries from the first byte after the tables, plus 3.
  std::uint64_t Index(std::uint32_t n) const;
  const Damage& damage() const { return damage_; }

 private:
  FatVolume(VolumeReader& reader, const FatGeometry& g, FatReadOptions options)
      : reader_(reader), g_(g), table_(reader, g), options_(options) {}
  // Whether `cluster` opens with a folder's "." entry naming itself.
  bool OpensFolder(std::uint32_t cluster);
  void ReadTree();
  // Reads `folder` and adds its entries as its children.
  void ReadChildren(std::uint32_t folder);
  // Takes exFAT's own up-case table, named among the root's entries.
  void ReadUpcase(const std::vector<std::uint8_t>& root);
  // The bytes of a folder and, for each of its clusters, where it lies.
  void ReadFolder(const Node& folder, std::vector<std::uint8_t>* bytes,
                  std::vector<std::uint64_t>* places);

  VolumeReader& reader_;
  FatGeometry g_;
  FatTable table_;
  FatReadOptions options_;
  // In pieces that never move: a volume of millions of files is never
  // copied whole as it grows.
  std::deque<Node> nodes_;
  std::u16string names_;
  std::vector<std::uint32_t> children_;
  std::unordered_set<std::uint32_t> folder_clusters_;  // every cluster read as a folder's
  UpcaseTable upcase_;
  Damage damage_;
};

// A short text of the damage, for the run's closing lines ("" for none).
std::string DescribeFatDamage(const std::string& image, const FatVolume::Damage& d);

}  // namespace qst
