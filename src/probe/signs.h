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
  kForgery,     // the times were moved where time does not go
  kProvenance,  // where the file came from, which honest work also shows
};

struct SignRule {
  const char* name;  // as printed among the alerts
  SignKind kind;
  std::optional<Witness> needs;  // the witness it reads; none: the record alone serves
  const char* brief;             // its line in --help
  const char* why;               // its reasoning, one line (the page)
  const char* benign;            // what honest work makes it fire
  bool (*fires)(const RawFileInfo& raw);
};

// In the order the signs are printed; at most kMaxSigns.
extern const std::span<const SignRule> kSigns;
inline constexpr std::size_t kMaxSigns = 32;

// Which of kSigns fired, by their place in the table.
class SignSet {
 public:
  bool has(std::size_t sign) const { return (bits_ >> sign & 1) != 0; }
  void add(std::size_t sign) { bits_ |= 1u << sign; }
  bool empty() const { return bits_ == 0; }
  bool operator==(const SignSet&) const = default;

 private:
  std::uint32_t bits_ = 0;
};

// The signs that fire on `raw`.
SignSet ReadSigns(const RawFileInfo& raw);

// Appends the names of `signs`, each after `separator` but the first.
void AppendSignNames(SignSet signs, const char* separator, std::string* out);

}  // namespace qst
