#include "probe/witnesses/parts.h"

#include "probe/witnesses/index-entries/index-part.h"
#include "probe/witnesses/logfile/logfile-part.h"
#include "probe/witnesses/usn/usn-part.h"
#include "util/text.h"

namespace qst {
namespace {

// Each witness read beside the volume, and how its part is opened.
struct PartEntry {
  Witness witness;
  bool (*open)(const PartSource& source, std::unique_ptr<WitnessPart>* part, std::string* message);
};
constexpr PartEntry kParts[] = {
    {Witness::kUsn, OpenJournalPart},
    {Witness::kIndex, OpenIndexPart},
    {Witness::kLog, OpenLogPart},
};

// Each witness that lists records of its own, and how its lister is opened.
struct ListerEntry {
  Witness witness;
  bool (*open)(const ListerSource& source, std::unique_ptr<WitnessLister>* lister,
               std::string* message);
};
constexpr ListerEntry kListers[] = {
    {Witness::kUsn, OpenJournalLister},
    {Witness::kLog, OpenLogLister},
};

}  // namespace

std::string StoreState(const StoreVolume& store) {
  SYSTEMTIME t;
  if (!FileTimeToSystemTime(store.created, &t)) return Format("copy %d", store.number);
  return Format("copy %d made %04d-%02d-%02dT%02d:%02d:%02dZ", store.number, t.wYear, t.wMonth,
                t.wDay, t.wHour, t.wMinute, t.wSecond);
}

bool OpenWitnessLister(const ListerSource& source, std::unique_ptr<WitnessLister>* lister,
                       std::string* message) {
  for (const ListerEntry& entry : kListers)
    if (source.selection.listed == entry.witness) return entry.open(source, lister, message);
  return true;
}

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

}  // namespace qst
