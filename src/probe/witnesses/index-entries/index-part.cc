#include "probe/witnesses/index-entries/index-part.h"

#include <future>
#include <list>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "probe/ntfs/mft-record.h"
#include "probe/signs.h"
#include "probe/utf16.h"
#include "probe/witnesses/index-entries/index-entries.h"
#include "util/text.h"

namespace qst {
namespace {

// Each name's entry in its folder's $I30 index. A folder's index is read
// whole once, as a walk lists the folder (or as one of its names is first
// joined), and kept while the walk may come back to it: the last folders
// read, and those on the path to the folder read last (a walk joins the
// rest of a folder's names after each of its sub-folders' trees).
class IndexPart : public WitnessPart {
 public:
  // With `slack`, each folder's entries left in slack are read too, and
  // listed after its names.
  IndexPart(NtfsVolume& volume, std::string image_name, bool slack)
      : volume_(volume), image_name_(std::move(image_name)), slack_(slack) {}

  void Join(const FileJoin& file, RawFileInfo* info, JoinScratch* scratch) const override {
    if (file.name == NtfsVolume::kNone) return;
    const std::uint64_t folder = volume_.FolderOfName(file.name);
    // An entry is trusted only in the folder the name names, by record and
    // sequence number.
    if (folder == NtfsVolume::kNone || !volume_.IsFolder(folder) ||
        volume_.SequenceOf(folder) != volume_.FolderSequenceOfName(file.name))
      return;
    NtfsVolume::NameBuffer buffer;
    // A thread joins a folder's names one after another: the last folder
    // it joined is kept at hand.
    // The scratch holds the index alive; a pointer to it is enough here
    // (copying the shared pointer makes the threads fight over its count).
    std::shared_ptr<const FolderIndex> held;
    const FolderIndex* index = nullptr;
    if (scratch != nullptr && scratch->key == folder + 1) {
      index = static_cast<const FolderIndex*>(scratch->kept.get());
    } else {
      held = Folder(folder);
      index = held.get();
      if (scratch != nullptr) *scratch = {folder + 1, held, 0};
    }
    index->Join(file.record, file.sequence, volume_.NameText(file.name, buffer), &info->facts,
                scratch != nullptr ? &scratch->cursor : nullptr);
    if (index->Lossy() && !info->facts.Has(Fact::kIndexCreation))
      info->witnesses_lost |= FindingBit(Witness::kIndex);
  }

  void ListFolder(std::uint64_t folder, const std::function<bool(std::u16string_view)>& matches,
                  std::uint32_t tag, std::vector<DirEntry>* entries) const override {
    // The orphans' folder is made up: it has no index.
    if (folder == NtfsVolume::kOrphanFolder || !volume_.IsFolder(folder)) return;
    // Without slack to list, the threads that print the folder's names read
    // its index as they first ask for it, and the walk goes on.
    if (!slack_) return;
    const std::shared_ptr<const FolderIndex> index = Folder(folder);
    const std::vector<FolderEntry>& slack = index->slack();
    for (std::size_t i = 0; i < slack.size() && i >> kItemBits == 0; ++i) {
      if (!matches(slack[i].name)) continue;
      // Entered by no walk: no record stands behind it.
      DirEntry entry{Wtf8FromUtf16(slack[i].name), false};
      entry.hint.record = RecordNumber(slack[i].reference);
      entry.hint.folder = folder;
      entry.hint.item = tag << kItemBits | static_cast<std::uint32_t>(i);
      entries->push_back(std::move(entry));
    }
  }

  bool ProbeListed(std::uint64_t folder, std::uint32_t item, RawFileInfo* info) const override {
    if (!slack_ || folder == NtfsVolume::kOrphanFolder || !volume_.IsFolder(folder)) return false;
    const std::shared_ptr<const FolderIndex> index = Folder(folder);
    if (item >= index->slack().size()) return false;
    const FolderEntry& entry = index->slack()[item];
    const std::uint64_t record = RecordNumber(entry.reference);
    *info = RawFileInfo{};
    info->slack = true;
    info->index_lost = !entry.referenced;
    info->file_index = entry.referenced ? static_cast<std::uint32_t>(record) : 0;
    info->volume = 3;  // none of the volume's own files
    info->file_id = entry.reference;
    AddEntryFacts(entry, &info->facts);
    if (!entry.referenced) return true;
    const bool in_use = record < NtfsVolume::kNone && volume_.InUse(record);
    info->facts.Set(Fact::kIndexReused,
                    in_use && volume_.SequenceOf(record) != SequenceNumber(entry.reference));
    return true;
  }

  std::string LossReport() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string report;
    const char* name = image_name_.c_str();
    if (!counted_.empty())
      report += Format(
          "qst: %s: the $I30 index of %zu folder%s read in part; the names it lost "
          "have no index entry\n",
          name, counted_.size(), counted_.size() == 1 ? "" : "s");
    std::uint64_t undecoded = 0;
    for (const auto& [folder, count] : counted_) undecoded += count;
    if (undecoded != 0)
      report += Format("qst: %s: %llu $I30 index entr%s in use could not be decoded\n", name,
                       static_cast<unsigned long long>(undecoded), undecoded == 1 ? "y" : "ies");
    if (const std::uint64_t shared = owners_.shared(); shared != 0)
      report += Format(
          "qst: %s: %llu index block%s named by the $I30 index of more than one folder: "
          "read once, for the folder %s entries name\n",
          name, static_cast<unsigned long long>(shared), shared == 1 ? " is" : "s are",
          shared == 1 ? "its" : "their");
    return report;
  }

 private:
  // A walk joins a folder's names together; the threads that print them
  // may lag a few folders behind.
  static constexpr std::size_t kKept = 8;

  // The folder's index: read by the first thread that asks for it, while
  // the others that ask wait for it rather than read it again.
  std::shared_ptr<const FolderIndex> Folder(std::uint64_t folder) const {
    std::promise<std::shared_ptr<const FolderIndex>> reading;
    std::shared_future<std::shared_ptr<const FolderIndex>> kept;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (auto it = where_.find(folder); it != where_.end()) {
        kept_.splice(kept_.begin(), kept_, it->second);
        kept = kept_.front().index;
      } else {
        const std::uint32_t name = volume_.FirstNameOf(folder);
        const std::uint64_t parent =
            name == NtfsVolume::kNone ? NtfsVolume::kNone : volume_.FolderOfName(name);
        kept_.push_front({folder, parent, reading.get_future().share()});
        where_[folder] = kept_.begin();
        Trim(folder);
      }
    }
    // Waited for without the lock, which the reader takes.
    if (kept.valid()) return kept.get();
    auto index = std::make_shared<FolderIndex>();
    try {
      ReadFolderIndex(volume_, folder, slack_, &owners_, index.get());
    } catch (...) {
      reading.set_exception(std::current_exception());  // no waiter is left waiting
      throw;
    }
    // Counted as first read: a folder read again gives the same.
    if (index->Lossy()) {
      std::lock_guard<std::mutex> lock(mutex_);
      counted_.try_emplace(folder, index->undecoded);
    }
    reading.set_value(index);
    return index;
  }

  // Leaves kept the last kKept folders asked for and those on the path to
  // `newest`, as far as they are kept; drops the rest. Under mutex_.
  void Trim(std::uint64_t newest) const {
    std::unordered_set<std::uint64_t> path;
    for (std::uint64_t f = newest; path.size() < kept_.size();) {
      const auto it = where_.find(f);
      if (it == where_.end() || !path.insert(f).second) break;
      f = it->second->parent;
    }
    std::size_t others = 0;
    for (auto it = kept_.begin(); it != kept_.end();) {
      if (path.count(it->folder) != 0 || ++others <= kKept) {
        ++it;
        continue;
      }
      where_.erase(it->folder);
      it = kept_.erase(it);
    }
  }

  NtfsVolume& volume_;
  std::string image_name_;
  bool slack_;
  mutable std::mutex mutex_;
  struct KeptIndex {
    std::uint64_t folder;
    std::uint64_t parent;  // the folder that lists it
    std::shared_future<std::shared_ptr<const FolderIndex>> index;
  };
  mutable std::list<KeptIndex> kept_;  // the one asked for last first
  mutable std::unordered_map<std::uint64_t, std::list<KeptIndex>::iterator> where_;
  // Folders whose index was read in part, with the entries that could not
  // be decoded.
  mutable std::unordered_map<std::uint64_t, std::uint64_t> counted_;
  // Whom each index block read serves, for the whole volume.
  mutable IndexBlockOwners owners_;
};

}  // namespace

bool OpenIndexPart(const PartSource& source, std::unique_ptr<WitnessPart>* part, std::string*) {
  *part = std::make_unique<IndexPart>(source.volume, source.selection.path,
                                      source.selection.wants(Witness::kState));
  return true;
}

}  // namespace qst
