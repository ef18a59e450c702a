// The signs that a file's times were set by hand, and the notes on where
// they came from: one table, read by the record (which signs fire), the
// printers and the page (their names and reasoning), --help and the manual.
// A sign fires only on what was read: where a witness it needs was not
// read for the file, it stays silent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "probe/platform.h"
#include "probe/witness.h"

namespace qst {

enum class SignKind : std::uint8_t {
  kForgery,     // a witness contradicts the file's times: printed among the alerts
  kProvenance,  // where the file came from, which honest work also shows: a note
  kClock,       // the clock that wrote the times: a note
};

struct SignRule {
  const char* name;  // as printed among the alerts or the notes
  SignKind kind;
  std::optional<Witness> needs;  // the witness it reads; none: the record alone serves
  const char* brief;             // its line in --help
  const char* why;               // its reasoning, one line (the page)
  const char* benign;            // what honest work makes it fire
  bool (*fires)(const RawFileInfo& raw);
  bool weighs_volume = false;  // it weighs a time against the volume's creation
};

// In the order the signs are printed; at most kMaxSigns.
extern const std::span<const SignRule> kSigns;
inline constexpr std::size_t kMaxSigns = 32;

// Which of kSigns fired, by their place in the table.
class SignSet {
 public:
  SignSet() = default;
  explicit SignSet(std::uint32_t bits) : bits_(bits) {}
  bool has(std::size_t sign) const { return (bits_ >> sign & 1) != 0; }
  std::uint32_t bits() const { return bits_; }
  void add(std::size_t sign) { bits_ |= 1u << sign; }
  bool empty() const { return bits_ == 0; }
  // Those of kind kForgery (the alerts), or the others (the notes).
  SignSet Alerts() const;
  SignSet Notes() const;
  bool operator==(const SignSet&) const = default;

 private:
  std::uint32_t bits_ = 0;
};

// The signs that fire on `raw`.
SignSet ReadSigns(const RawFileInfo& raw);

// What the signs of a file come to, for an examiner to filter on: no
// witness beyond $STANDARD_INFORMATION read, nothing against its times,
// notes of where it came from alone, or a sign of forgery.
enum class Finding : std::uint8_t { kUnread, kConsistent, kProvenance, kSuspect };

// The witnesses a file's finding names, each a bit of a mask: a witness by
// its place in Witness, and after them an object ID born on this volume.
inline constexpr int kFindingBits = kWitnessCount + 1;
inline constexpr int kObjectIdBit = kWitnessCount;
static_assert(kFindingBits <= 8, "a finding's witnesses fit a byte");
constexpr std::uint8_t FindingBit(Witness w) {
  return static_cast<std::uint8_t>(1u << static_cast<int>(w));
}
// The name of a bit in the finding ("FN", "USN", "VSS", "I30", "LOG",
// "OID"); null for a bit that names none.
const char* FindingWitnessName(int bit);

// The witnesses `raw` holds something of the file in: its $FILE_NAME, the
// journal's or the log's records of it, its states in shadow copies, its
// $I30 entry, an object ID born on this volume.
std::uint8_t SignWitnesses(const RawFileInfo& raw);

Finding FindingOf(SignSet signs, std::uint8_t witnesses);
// "unread", "consistent", "provenance" or "suspect".
const char* FindingName(Finding f);

// The finding in the text layouts and CSV: its name, then the witnesses
// read in brackets ("suspect (FN I30)"), or "unread"; those `lost` after
// them ("provenance (FN; lost I30)").
void AppendFindingText(SignSet signs, std::uint8_t witnesses, std::uint8_t lost, std::string* out);

// Whether one of `signs` weighs a time against the volume's creation.
bool WeighsVolume(SignSet signs);

// Appends the names of `signs`, each after `separator` but the first (pass
// signs.Alerts() or signs.Notes() for one field).
void AppendSignNames(SignSet signs, const char* separator, std::string* out);

}  // namespace qst
