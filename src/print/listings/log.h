// The transaction log's records listed one by one (--logfile-only), in
// each form; the schema's group of the log holds the listing.
#pragma once

#include <cstdint>
#include <string>

#include "print/schema.h"
#include "probe/witnesses/logfile/logfile-record.h"

namespace qst {

// The transaction log as a timeline: each record in the run's form (the
// journal's forms), oldest first. `target` is the MFT record it changes,
// or kNoLogTarget.
// With `states` the header has a column for where each record was read,
// and each record's `state` fills it.
std::string LogHeader(ListingForm form, bool states = false);
void PrintLogRecord(const LogRecord& record, std::uint64_t target, ListingForm form,
                    TimeForm time_form, const LocalTimeConverter& zone, std::string* out,
                    const char* state = nullptr);

extern const Listing kLogListing;

}  // namespace qst
