// The change journal's records listed one by one (--journal-only), in each
// form; the schema's group of the journal holds the listing.
#pragma once

#include <string>
#include <string_view>

#include "print/schema.h"
#include "probe/witnesses/usn/usn-journal.h"

namespace qst {

// A change journal as a timeline: each record in the run's form. `path` is
// the record's file's path where the volume still leads to its folder
// (UTF-8), else empty. The machine forms want the UTC ISO time form.
std::string JournalHeader(ListingForm form);
void PrintJournalRecord(const UsnRecord& record, std::string_view path, ListingForm form,
                        TimeForm time_form, const LocalTimeConverter& zone, std::string* out);

extern const Listing kJournalListing;

}  // namespace qst
