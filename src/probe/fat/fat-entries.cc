#include "probe/fat/fat-entries.h"

#include <cstring>

#include "probe/le.h"

namespace qst {

namespace {

// A short (8.3) entry.
constexpr std::size_t kEntryBytes = kFatEntryBytes;
constexpr std::size_t kExtension = 0x08;
constexpr std::size_t kAttributes = 0x0B;
constexpr std::size_t kCase = 0x0C;
constexpr std::size_t kCreationCentiseconds = 0x0D;
constexpr std::size_t kCreationTime = 0x0E;
constexpr std::size_t kCreationDate = 0x10;
constexpr std::size_t kAccessDate = 0x12;
constexpr std::size_t kClusterHigh = 0x14;
constexpr std::size_t kWriteTime = 0x16;
constexpr std::size_t kWriteDate = 0x18;
constexpr std::size_t kClusterLow = 0x1A;
constexpr std::size_t kSize = 0x1C;
constexpr std::uint8_t kLowerName = 0x08, kLowerExtension = 0x10;

// A piece of a long name.
constexpr std::size_t kPieceUnits1 = 0x01;  // units 1-5
constexpr std::size_t kPieceChecksum = 0x0D;
constexpr std::size_t kPieceUnits2 = 0x0E;  // units 6-11
constexpr std::size_t kPieceUnits3 = 0x1C;  // units 12-13
constexpr std::uint8_t kLastPiece = 0x40;
constexpr std::uint8_t kLongNamePiece = 0x0F;

// The first byte of a name.
constexpr std::uint8_t kEndOfFolder = 0x00;
constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::uint8_t kKeptE5 = 0x05;

// Bytes 0x80 to 0xFF of code page 437, the OEM page of US and most Western
// systems, in which 8.3 names are kept.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

char16_t OemUnit(std::uint8_t b) { return b < 0x80 ? b : kCp437High[b - 0x80]; }

FatStamp FatTime(std::uint16_t date, std::uint16_t time, std::uint16_t centiseconds) {
  FatStamp s;
  // A date of zero is none: the field was never written.
  if (date == 0) return s;
  s.present = true;
  s.year = static_cast<std::uint16_t>(1980 + (date >> 9));
  s.month = (date >> 5) & 15;
  s.day = date & 31;
  s.hour = time >> 11;
  s.minute = (time >> 5) & 63;
  s.second = static_cast<std::uint16_t>((time & 31) * 2);
  s.centiseconds = centiseconds;
  return s;
}

// The 8.3 name as Windows shows it: blanks dropped, a dot before an
// extension, each half in lower case where the entry says so.
std::u16string ShortName(const std::uint8_t* e, bool deleted) {
  std::u16string name;
  auto part = [&](int from, int length, bool lower) {
    int end = from + length;
    while (end > from && e[end - 1] == ' ') --end;
    for (int i = from; i < end; ++i) {
      std::uint8_t b = e[i];
      if (i == 0 && b == kKeptE5) b = kDeletedMark;
      char16_t c = OemUnit(b);
      if (lower && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
      // The first byte of a deleted entry is the mark: shown as kept.
      if (i == 0 && deleted) c = OemUnit(kDeletedMark);
      name += c;
    }
  };
  part(0, kExtension, (e[kCase] & kLowerName) != 0);
  if (e[kExtension] != ' ' || e[kExtension + 1] != ' ' || e[kExtension + 2] != ' ') {
    name += u'.';
    part(kExtension, 3, (e[kCase] & kLowerExtension) != 0);
  }
  return name;
}

}  // namespace

bool IsDotEntryOf(const std::uint8_t* e, std::uint32_t cluster, bool fat32) {
  const std::uint32_t low = LoadLe16(e + kClusterLow);
  const std::uint32_t named = fat32 ? std::uint32_t{LoadLe16(e + kClusterHigh)} << 16 | low : low;
  return std::memcmp(e, ".          ", 11) == 0 && (e[kAttributes] & kFatDirectory) != 0 &&
         named == cluster;
}

std::uint8_t ShortNameChecksum(const std::uint8_t* name11) {
  std::uint8_t sum = 0;
  for (int i = 0; i < 11; ++i)
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  return sum;
}

namespace {

// A long name gathered piece by piece, last piece first, with the checksum
// its pieces carry; a piece out of order drops what was gathered.
class LongName {
 public:
  void Take(const std::uint8_t* e) {
    const bool gone = e[0] == kDeletedMark;
    const int number = e[0] & 0x1F;
    char16_t units[13];
    for (int i = 0; i < 5; ++i) units[i] = LoadLe16(e + kPieceUnits1 + 2 * i);
    for (int i = 0; i < 6; ++i) units[5 + i] = LoadLe16(e + kPieceUnits2 + 2 * i);
    for (int i = 0; i < 2; ++i) units[11 + i] = LoadLe16(e + kPieceUnits3 + 2 * i);
    std::u16string piece(units, 13);
    // The name ends at a 0 unit; 0xFFFF pads the rest.
    if (std::size_t end = piece.find(u'\0'); end != std::u16string::npos) piece.resize(end);
    if (gone) {
      // A deleted piece keeps its units, not its number: joined in the
      // order met while the checksums agree.
      if (expected_ == 0 || !deleted_ || e[kPieceChecksum] != checksum_)
        Start(e[kPieceChecksum], true, 1);
      name_.insert(0, piece);
      return;
    }
    if ((e[0] & kLastPiece) != 0) {
      Start(e[kPieceChecksum], false, number - 1);
      if (number != 0) name_ = piece;
      return;
    }
    if (expected_ != 0 && number == expected_ && e[kPieceChecksum] == checksum_ && !deleted_) {
      name_.insert(0, piece);
      --expected_;
    } else {
      Start(0, false, 0);
    }
  }

  // The name that belongs to the 8.3 entry `e`, if one does; then starts
  // over.
  bool TakeFor(const std::uint8_t* e, std::u16string* name) {
    const bool gone = e[0] == kDeletedMark;
    const bool whole = !name_.empty() && (deleted_ ? gone : expected_ == 0) &&
                       (gone || ShortNameChecksum(e) == checksum_);
    if (whole) *name = std::move(name_);
    Start(0, false, 0);
    return whole;
  }

 private:
  void Start(std::uint8_t checksum, bool deleted, int expected) {
    name_.clear();
    checksum_ = checksum;
    deleted_ = deleted;
    expected_ = expected;
  }

  std::u16string name_;
  int expected_ = 0;  // the number of the piece that should come next; 0: none
  std::uint8_t checksum_ = 0;
  bool deleted_ = false;
};

}  // namespace

void DecodeFatFolder(const std::uint8_t* data, std::size_t size, bool deleted,
                     std::vector<FatEntry>* out) {
  LongName long_name;
  for (std::size_t at = 0; at + kEntryBytes <= size; at += kEntryBytes) {
    const std::uint8_t* e = data + at;
    if (e[0] == kEndOfFolder) break;
    if ((e[kAttributes] & 0x3F) == kLongNamePiece) {
      long_name.Take(e);
      continue;
    }
    const bool gone = e[0] == kDeletedMark;
    std::u16string name;
    if (!long_name.TakeFor(e, &name)) name = ShortName(e, gone);
    if (gone && !deleted) continue;
    if ((e[kAttributes] & kFatVolumeLabel) != 0 && (e[kAttributes] & kFatDirectory) == 0) continue;
    if (e[0] == '.' && (name == u"." || name == u"..")) continue;
    FatEntry f;
    f.name = std::move(name);
    f.short_name.assign(reinterpret_cast<const char*>(e), 11);
    f.attributes = e[kAttributes];
    f.deleted = gone;
    f.first_cluster = std::uint32_t{LoadLe16(e + kClusterHigh)} << 16 | LoadLe16(e + kClusterLow);
    f.size = LoadLe32(e + kSize);
    const std::uint8_t centiseconds = e[kCreationCentiseconds];
    f.creation = FatTime(LoadLe16(e + kCreationDate), LoadLe16(e + kCreationTime),
                         centiseconds <= 199 ? centiseconds : 0);
    f.write = FatTime(LoadLe16(e + kWriteDate), LoadLe16(e + kWriteTime), 0);
    f.access = FatTime(LoadLe16(e + kAccessDate), 0, 0);
    f.offset = at;
    out->push_back(std::move(f));
  }
}

}  // namespace qst
