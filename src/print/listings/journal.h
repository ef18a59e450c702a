// The change journal's records listed one by one (--journal-only), in each
// form; the schema's group of the journal holds the listing.
#pragma once

#include <string>
#include <string_view>

#include "print/schema.h"
#include "probe/witnesses/usn/usn-journal.h"

namespace qst {

// A change journal as a timeline: each record in the run's form. `path` is
// the record's file's path as it was then (UTF-8), else empty. The machine
// forms want the UTC ISO time form. With deleted records among `fields`
// (-a) the header has a column for where each record was read (the journal
// as it is, or free clusters), and each record's `state` fills it.
std::string JournalHeader(ListingForm form, RecordFields fields);
void PrintJournalRecord(const UsnRecord& record, std::string_view path, ListingForm form,
                        TimeForm time_form, const LocalTimeConverter& zone, std::string* out,
                        const char* state = nullptr);

extern const Listing kJournalListing;

}  // namespace qst
