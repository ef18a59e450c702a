// The part of each name's entry in its folder's $I30 index (-I), with the
// entries left in slack listed after a folder's names (-I -a).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "probe/ntfs/ntfs-volume.h"
#include "probe/witnesses/index-entries/index-entries.h"
#include "probe/witnesses/parts.h"

namespace qst {

bool OpenIndexPart(const PartSource& source, std::unique_ptr<WitnessPart>* part,
                   std::string* message);

// The entries of `folder`'s $I30 index, live and, with `slack`, carved
// from its slack and from the slack of its MFT record; blocks in use that
// cannot be read or fixed up are counted in `index->damaged`. A block
// another folder's entries fill is not read again: `owners` keeps, for the
// whole volume, whom each block read serves. Safe from several threads at
// once.
void ReadFolderIndex(const NtfsVolume& volume, std::uint64_t folder, bool slack,
                     IndexBlockOwners* owners, FolderIndex* index);

}  // namespace qst
