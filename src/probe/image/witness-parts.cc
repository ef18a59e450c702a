#include "probe/image/witness-parts.h"

#include "probe/image/raw-reader.h"
#include "probe/ntfs/usn-journal.h"
#include "util/text.h"

namespace qst {
namespace {

// The change journal: the volume's own $UsnJrnl:$J, or a stream collected
// apart, read whole into an index by file reference.
class JournalPart : public WitnessPart {
 public:
  JournalPart(std::unique_ptr<UsnJournalIndex> index, std::string image_name)
      : index_(std::move(index)), image_name_(std::move(image_name)) {}

  void Join(const FileJoin& file, RawFileInfo* info) const override {
    if (index_ != nullptr) index_->Join(file.record, file.sequence, &info->facts, &info->events);
  }

  std::string LossReport() const override {
    if (index_ == nullptr)
      return "qst: " + image_name_ + ": no USN change journal ($Extend\\$UsnJrnl:$J)\n";
    return DescribeJournalDamage(image_name_, index_->damaged, index_->unreadable);
  }

 private:
  std::unique_ptr<UsnJournalIndex> index_;  // null: the volume has no journal
  std::string image_name_;
};

bool OpenJournalPart(const PartSource& source, std::unique_ptr<WitnessPart>* part,
                     std::string* message) {
  const ImageSelection& selection = source.selection;
  auto index = std::make_unique<UsnJournalIndex>(selection.events);
  if (!selection.usn_journal.empty()) {
    std::unique_ptr<VolumeReader> file;
    if (!OpenJournalStream(selection.usn_journal, source.host, &file, message)) return false;
    bool read = true;
    index->damaged = ReadUsnStream(
        *file, [&](const UsnRecord& r) { index->Add(r); }, &read);
    index->unreadable = !read;
  } else if (!source.volume.ReadUsnJournal(index.get())) {
    index.reset();
  }
  *part = std::make_unique<JournalPart>(std::move(index), selection.path);
  return true;
}

// Each witness read beside the volume, and how its part is opened.
struct PartEntry {
  Witness witness;
  bool (*open)(const PartSource& source, std::unique_ptr<WitnessPart>* part, std::string* message);
};
constexpr PartEntry kParts[] = {
    {Witness::kUsn, OpenJournalPart},
};

}  // namespace

bool OpenWitnessParts(const PartSource& source, std::vector<std::unique_ptr<WitnessPart>>* parts,
                      std::string* message) {
  for (const PartEntry& entry : kParts) {
    if (!source.selection.wants(entry.witness)) continue;
    std::unique_ptr<WitnessPart> part;
    if (!entry.open(source, &part, message)) return false;
    parts->push_back(std::move(part));
  }
  return true;
}

bool OpenJournalStream(const std::string& path, Platform& host, std::unique_ptr<VolumeReader>* file,
                       std::string* message) {
  if (int error = OpenRawFile(path, 0, file)) {
    *message = Format("qst: cannot open the USN journal %s: %s", path.c_str(),
                      host.ErrorText(error).c_str());
    if (message->empty() || message->back() != '\n') *message += '\n';
    return false;
  }
  return true;
}

std::string DescribeJournalDamage(const std::string& name, std::uint64_t damaged, bool unreadable) {
  if (damaged == 0 && !unreadable) return {};
  std::string line = "qst: " + name + ": USN journal ";
  if (damaged != 0)
    line += std::to_string(damaged) +
            (damaged == 1 ? " damaged stretch skipped" : " damaged stretches skipped");
  if (unreadable) line += std::string(damaged != 0 ? ", " : "") + "read in part";
  return line + "\n";
}

}  // namespace qst
