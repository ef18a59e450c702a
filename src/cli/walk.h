// Expanding a wildcard and walking a tree: every entry of a folder search
// handed to ProcessFile, with probes kept in flight where the platform
// answers slowly.
#pragma once

#include <string>

#include "cli/context.h"
#include "probe/record.h"

namespace qst {

// Hands every match of `pattern` to ProcessFile: folders with a separator
// appended, "." and ".." passed over. Matched folders are not entered.
void ExpandWildcard(const std::string& pattern, Context& context);

// Hands every entry below `folder` to ProcessFile, depth first, each folder
// just before its contents. `folder` ends with the separator, or is a
// pattern whose last component ends in a wildcard; `folder` itself is not
// reported. Folders below it are entered by the entry their search yielded,
// not by their path. A folder that the walk has entered already (reached
// again through a link) is reported but not entered again; `start` tells
// which folder the walk starts in.
void WalkTree(const std::string& folder, Context& context, FileIdentity start = {});

}  // namespace qst
