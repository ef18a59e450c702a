// The listings of the witnesses' own records, one by one instead of files
// (--journal-only, --logfile-only): each witness's forms, which the
// schema's group of the witness holds (FieldGroup::listing).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "print/schema.h"
#include "probe/witnesses/logfile/logfile-record.h"
#include "probe/witnesses/usn/usn-journal.h"

namespace qst {

// A change journal as a timeline: each record in the run's form. `path` is
// the record's file's path where the volume still leads to its folder
// (UTF-8), else empty. The machine forms want the UTC ISO time form.
std::string JournalHeader(ListingForm form);
void PrintJournalRecord(const UsnRecord& record, std::string_view path, ListingForm form,
                        TimeForm time_form, const LocalTimeConverter& zone, std::string* out);

// The transaction log as a timeline: each record in the run's form (the
// journal's forms), oldest first. `target` is the MFT record it changes,
// or kNoLogTarget.
std::string LogHeader(ListingForm form);
void PrintLogRecord(const LogRecord& record, std::uint64_t target, ListingForm form,
                    TimeForm time_form, const LocalTimeConverter& zone, std::string* out);

// The two listings as the schema's groups of their witnesses hold them.
extern const Listing kJournalListing;
extern const Listing kLogListing;

}  // namespace qst
