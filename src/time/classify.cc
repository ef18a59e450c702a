#include "time/classify.h"

namespace qst {
namespace {

bool IsZero(const RenderedTimestamp& t) { return t.raw == 0; }
bool OnWholeSecond(const RenderedTimestamp& t) { return t.fraction == 0; }
bool OnEvenSecond(const RenderedTimestamp& t) { return t.broken.wSecond % 2 == 0; }
bool On10ms(const RenderedTimestamp& t) { return t.fraction % 100000 == 0; }
bool On1ms(const RenderedTimestamp& t) { return t.fraction % 10000 == 0; }

}  // namespace

const char* ClassifyTimestampOrigin(const RenderedTimestamp& atime, const RenderedTimestamp& mtime,
                                    const RenderedTimestamp& ctime,
                                    const RenderedTimestamp& crtime) {
  if (IsZero(ctime)) {
    if (IsZero(atime) || IsZero(mtime)) return "Unknown";
    // FAT keeps a bare access date, written in the machine's zone.
    if (OnEvenSecond(mtime) && OnWholeSecond(mtime) && atime.broken.wHour == 0 &&
        atime.broken.wMinute == 0 && atime.broken.wSecond == 0 && On10ms(crtime))
      return "FAT";
    if (OnEvenSecond(atime) && OnWholeSecond(atime) && On10ms(mtime) && On10ms(crtime))
      return "exFAT";
    return "FILETIME";
  }

  if (OnWholeSecond(mtime)) {
    if (OnWholeSecond(atime) && OnWholeSecond(crtime)) {
      if (OnWholeSecond(ctime)) return "Unix(POSIX)";
      if (OnEvenSecond(atime) && OnEvenSecond(mtime) && OnEvenSecond(crtime)) return "DOS";
      return "Unix(POSIX)";
    }
    if (OnWholeSecond(ctime) && mtime.raw == ctime.raw) return "Unix(POSIX)->NTFS";
    if (OnEvenSecond(mtime)) return "FAT/ZIP/LZH->NTFS";
    return "Unix(POSIX)->NTFS->Operation";
  }

  if (On10ms(mtime) && (!On10ms(atime) || !On10ms(ctime))) return "exFAT->NTFS";
  if (On1ms(atime) && On1ms(mtime) && On1ms(crtime)) return "SYSTEMTIME";
  return "FILETIME";
}

}  // namespace qst
