// The segment files of an E01 set (probe/ewf-segment.h): which of them are
// missing, and which sectors the image then gives as zeros. The Sleuth Kit
// opens the segments it finds and reads what the missing ones held as
// zeros, saying nothing.
#pragma once

#include <string>

namespace qst {

// Lines for standard error naming each segment missing from the set whose
// first file is `first` (".E01", any case), and the sectors read as zeros
// for them where that can be known; empty for a whole set or another
// image.
std::string MissingEwfSegments(const std::string& first);

}  // namespace qst
