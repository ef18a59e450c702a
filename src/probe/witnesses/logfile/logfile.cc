#include "probe/witnesses/logfile/logfile.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "probe/le.h"
#include "probe/ntfs/mft-record.h"
#include "util/text.h"

namespace qst {
namespace {

constexpr std::size_t kPageLastLsn = 0x08;
constexpr std::size_t kPageLastEndLsn = 0x20;
constexpr std::size_t kPageHeader = 0x28;
// Log pages between the restart pages and the circular area.
constexpr std::uint64_t kTailPages = 2, kTailPagesV2 = 32;
// No NTFS record comes near this; a longer one is damage, not a reason to
// hold more.
constexpr std::uint32_t kMaxRecord = 1u << 20;

constexpr std::uint64_t Aligned8(std::uint64_t n) { return (n + 7) / 8 * 8; }

// The pages of the circular area, each read and fixed up when asked for.
class LogPages {
  struct TailCopy {
    std::uint64_t page, at, newest;  // the page copied, where the copy lies, its newest LSN
  };

 public:
  LogPages(const LogFileRead& read, const LogRestart& restart, std::uint64_t size)
      : read_(read), r_(restart), page_(restart.log_page_size) {
    const std::uint64_t system = 2 * std::uint64_t{restart.system_page_size};
    const std::uint64_t tails = TailPages(system, size);
    first_ = system + tails * page_;
    const std::uint64_t end = std::min(size, restart.file_size);
    count_ = end > first_ ? (end - first_) / page_ : 0;
    bytes_.resize(page_);
    for (std::uint64_t t = 0; t < tails; ++t) TakeTailCopy(system + t * page_);
  }

  std::uint64_t count() const { return count_; }
  std::uint64_t Offset(std::uint64_t page) const { return first_ + page * page_; }
  std::uint32_t size() const { return page_; }
  std::uint32_t data() const { return r_.page_data_offset; }

  enum class State { kRecords, kUnused, kDamaged, kUnreadable };
  // Reads page `page` (of the circular area); its bytes until the next Load.
  State Load(std::uint64_t page) {
    const TailCopy* copy = CopyOf(page);
    if (copy != nullptr && read_(copy->at, bytes_.data(), page_) &&
        std::memcmp(bytes_.data(), "RCRD", 4) == 0 && ApplyFixups(bytes_.data(), page_))
      return State::kRecords;
    if (!read_(Offset(page), bytes_.data(), page_)) return State::kUnreadable;
    if (std::memcmp(bytes_.data(), "RCRD", 4) == 0)
      return ApplyFixups(bytes_.data(), page_) ? State::kRecords : State::kDamaged;
    // A page never written is all ones (or zeros, from a formatter that
    // cleared the file).
    const std::uint8_t first = bytes_[0];
    const bool blank =
        (first == 0xFF || first == 0x00) &&
        std::all_of(bytes_.begin(), bytes_.end(), [first](std::uint8_t b) { return b == first; });
    return blank ? State::kUnused : State::kDamaged;
  }
  // The newest LSN the header of page `page` names, read alone (the
  // fixups do not reach it); 0 for a page that holds no records.
  std::uint64_t NewestOf(std::uint64_t page) {
    const TailCopy* copy = CopyOf(page);
    return copy != nullptr ? copy->newest : NewestAt(Offset(page));
  }
  const std::uint8_t* bytes() const { return bytes_.data(); }
  // The newest LSN the page's header names.
  std::uint64_t Newest() const {
    return std::max(LoadLe64(bytes_.data() + kPageLastLsn),
                    LoadLe64(bytes_.data() + kPageLastEndLsn));
  }
  // Whether a record header for `lsn` may lie at `at` in the page loaded
  // as `page`.
  bool HeaderAt(std::uint64_t page, std::uint32_t at, std::uint32_t* client_length) const {
    if (at < data() || at + kLogRecordHeader > page_) return false;
    const std::uint8_t* h = bytes_.data() + at;
    return LsnOffset(LogHeaderLsn(h), r_.sequence_bits) == Offset(page) + at &&
           LogHeaderHolds(h, client_length) && *client_length <= kMaxRecord;
  }
  // Where the walk starts in the oldest page, loaded as `page`: at its
  // first record, or, where it opens on the rest of a record begun in the
  // page the newest overwrote, at the record its header names; the records
  // between are those of an older pass whose order with the rest is lost.
  std::uint32_t OldestStart(std::uint64_t page) const {
    std::uint32_t length = 0;
    if (HeaderAt(page, data(), &length)) return data();
    const std::uint64_t named = LsnOffset(LoadLe64(bytes_.data() + kPageLastLsn), r_.sequence_bits);
    if (named > Offset(page) && named - Offset(page) < page_ &&
        HeaderAt(page, static_cast<std::uint32_t>(named - Offset(page)), &length))
      return static_cast<std::uint32_t>(named - Offset(page));
    return FindHeader(page, 0);
  }
  // The first record header of the page loaded as `page`, from `from` on
  // in 8-byte steps; 0 where none.
  std::uint32_t FindHeader(std::uint64_t page, std::uint32_t from) const {
    std::uint32_t length = 0;
    for (std::uint32_t at = std::max(from, data()); at + kLogRecordHeader <= page_; at += 8)
      if (HeaderAt(page, at, &length)) return at;
    return 0;
  }

 private:
  // Reads the header of the page at file offset `at`, read alone (the
  // fixups do not reach it); false where it is no record page.
  bool ReadHeader(std::uint64_t at, std::uint8_t (&header)[kPageHeader]) const {
    return read_(at, header, kPageHeader) && std::memcmp(header, "RCRD", 4) == 0;
  }
  // The newest LSN the header of the page at file offset `at` names; 0 for
  // a page that holds no records.
  std::uint64_t NewestAt(std::uint64_t at) const {
    std::uint8_t header[kPageHeader];
    if (!ReadHeader(at, header)) return 0;
    return std::max(LoadLe64(header + kPageLastLsn), LoadLe64(header + kPageLastEndLsn));
  }
  // The file offset of the page whose records the page header `header`
  // holds: a tail page of version 1.x names it at 0x08, where other pages
  // (and tail pages of 2.0) keep their last LSN, whose offset tells it.
  std::uint64_t NamedPage(const std::uint8_t* header) const {
    const std::uint64_t named = LoadLe64(header + kPageLastLsn);
    if (page_ != 0 && named % page_ == 0 && named >= first_ && named - first_ < count_ * page_)
      return named;
    return LsnOffset(named, r_.sequence_bits) / page_ * page_;
  }
  // The page of the circular area the tail page at `at` copies, and the
  // newest LSN it holds; false where it is none.
  bool CopiedPage(std::uint64_t at, std::uint64_t* page, std::uint64_t* newest) const {
    std::uint8_t header[kPageHeader];
    if (page_ == 0 || !ReadHeader(at, header)) return false;
    const std::uint64_t named = NamedPage(header);
    if (named < first_ || (named - first_) / page_ >= count_) return false;
    *page = (named - first_) / page_;
    *newest = LoadLe64(header + kPageLastEndLsn);
    if (LsnOffset(LoadLe64(header + kPageLastLsn), r_.sequence_bits) / page_ * page_ == named)
      *newest = std::max(*newest, LoadLe64(header + kPageLastLsn));
    return true;
  }
  // Logs of version 2.0 keep 32 tail pages; so do those Windows 8 and
  // later wrote and a later system took back to version 1.1, which the
  // pages tell: there, the pages after the first two name records of
  // other pages, as copies do.
  std::uint64_t TailPages(std::uint64_t system, std::uint64_t size) const {
    if (r_.major >= 2) return kTailPagesV2;
    if (page_ == 0) return kTailPages;
    int copies = 0, own = 0;
    for (std::uint64_t t = kTailPages; t < kTailPagesV2; ++t) {
      const std::uint64_t at = system + t * page_;
      if (at + page_ > size) break;
      std::uint8_t header[kPageHeader];
      if (!ReadHeader(at, header)) continue;
      const std::uint64_t named = LsnOffset(LoadLe64(header + kPageLastLsn), r_.sequence_bits);
      ++(named / page_ * page_ == at ? own : copies);
    }
    return copies > own ? kTailPagesV2 : kTailPages;
  }
  // Keeps the tail page at `at` as the copy of the page it names where it
  // is newer than that page and than any other copy of it: NTFS writes the
  // page being filled there first, and the newest records may be nowhere
  // else.
  void TakeTailCopy(std::uint64_t at) {
    std::uint64_t page = 0, newest = 0;
    if (!CopiedPage(at, &page, &newest) || newest <= NewestOf(page)) return;
    for (TailCopy& c : copies_)
      if (c.page == page) {
        c = {page, at, newest};
        return;
      }
    copies_.push_back({page, at, newest});
  }
  // The tail copy that stands for `page`; null where none.
  const TailCopy* CopyOf(std::uint64_t page) const {
    for (const TailCopy& c : copies_)
      if (c.page == page) return &c;
    return nullptr;
  }

  const LogFileRead& read_;
  const LogRestart& r_;
  std::uint32_t page_;
  std::uint64_t first_ = 0, count_ = 0;
  std::vector<std::uint8_t> bytes_;
  std::vector<TailCopy> copies_;
};

// The newer of the restart pages that are whole.
void ReadRestart(std::uint64_t size, const LogFileRead& read, LogFileScan* scan) {
  std::vector<std::uint8_t> page(4096);
  std::uint64_t second = 4096;
  for (int i = 0; i < 2; ++i) {
    const std::uint64_t at = i == 0 ? 0 : second;
    LogRestart r;
    bool whole = false;
    if (at + kLogRestartHeader <= size && read(at, page.data(), kLogRestartHeader)) {
      const std::uint32_t system = LoadLe32(page.data() + 0x10);
      if (system >= kLogRestartHeader && system <= (1u << 16) && at + system <= size) {
        page.resize(system);
        whole = read(at, page.data(), system) && DecodeLogRestart(page.data(), system, &r);
      }
    }
    if (!whole) {
      ++scan->restart_damaged;
      continue;
    }
    if (i == 0) second = r.system_page_size;
    // Repaired fields: the file's size, and the sequence bits it needs.
    if (r.file_size == 0) r.file_size = size;
    if (r.sequence_bits == 0)
      r.sequence_bits = static_cast<std::uint32_t>(67 - std::bit_width(r.file_size));
    // A page read whole is taken before one repaired.
    const bool better = !scan->usable || (r.repaired.empty() && !scan->restart.repaired.empty()) ||
                        (r.repaired.empty() == scan->restart.repaired.empty() &&
                         r.current_lsn > scan->restart.current_lsn);
    if (better) scan->restart = r;
    scan->usable = true;
  }
}

// Where a record could not be gathered: the page it broke off at (counted
// as the walk counts pages), and the LSNs from which a record breaks off
// there too (0: every record).
struct LogBreak {
  std::uint64_t page = 0;
  std::uint64_t from_lsn = ~std::uint64_t{0};
};

// The pages after the one it starts in that a record of `total` bytes
// from `at` goes on in.
std::uint64_t PagesOnward(const LogPages& pages, std::uint32_t at, std::uint64_t total) {
  const std::uint64_t room = pages.size() - at, per = pages.size() - pages.data();
  if (total <= room) return 0;
  return per == 0 ? ~std::uint64_t{0} : (total - room + per - 1) / per;
}

// Gathers the record `lsn` whose header lies at `at` of page `page` (loaded) into
// `record`, reading the pages it goes on in; the page and place after it
// in `*page`, `*at`. False where a page it needs is not whole, with where
// in `*broke`.
bool GatherRecord(LogPages& pages, std::uint64_t lsn, std::uint64_t* page, std::uint32_t* at,
                  std::uint32_t length, std::vector<std::uint8_t>* record, std::uint64_t* seen,
                  LogBreak* broke) {
  const std::uint64_t total = kLogRecordHeader + std::uint64_t{length};
  record->clear();
  std::uint32_t from = *at;
  for (;;) {
    const std::uint64_t room = pages.size() - from;
    const std::uint64_t take = std::min<std::uint64_t>(room, total - record->size());
    record->insert(record->end(), pages.bytes() + from, pages.bytes() + from + take);
    if (record->size() == total) {
      *at = static_cast<std::uint32_t>(from + Aligned8(take));
      return true;
    }
    // On in the data of the next page, the circular area wrapping.
    if (++*seen > pages.count()) {
      *broke = {*seen, 0};
      return false;
    }
    *page = (*page + 1) % pages.count();
    // A page written before the record is not where it goes on.
    if (pages.Load(*page) != LogPages::State::kRecords) {
      *broke = {*seen, 0};
      return false;
    }
    if (pages.Newest() < lsn) {
      *broke = {*seen, pages.Newest() + 1};
      return false;
    }
    from = pages.data();
  }
}

// The page written last: the walk starts after it, at the oldest.
std::uint64_t NewestPage(LogPages& pages) {
  std::uint64_t head = 0, newest = 0;
  for (std::uint64_t p = 0; p < pages.count(); ++p) {
    const std::uint64_t lsn = pages.NewestOf(p);
    if (lsn == 0 || lsn < newest) continue;
    newest = lsn;
    head = p;
  }
  return head;
}

}  // namespace

LogFileScan ReadLogFile(std::uint64_t size, const LogFileRead& read,
                        const std::function<void(const LogRecord&)>& visit) {
  LogFileScan scan;
  ReadRestart(size, read, &scan);
  if (!scan.usable) return scan;
  LogPages pages(read, scan.restart, size);
  scan.pages = pages.count();
  if (pages.count() == 0) return scan;
  std::vector<std::uint8_t> record;
  std::uint64_t page = (NewestPage(pages) + 1) % pages.count();
  std::uint32_t next = 0;  // where the next record starts in `page`; 0: unknown
  // The last place a record broke off: a record that would go on past it
  // breaks off there too, and is not gathered again page by page.
  LogBreak broke;
  for (std::uint64_t walked = 0; walked < pages.count();) {
    const LogPages::State state = pages.Load(page);
    switch (state) {
      case LogPages::State::kRecords: break;
      case LogPages::State::kUnused: ++scan.unused; break;
      case LogPages::State::kDamaged: ++scan.damaged_pages; break;
      case LogPages::State::kUnreadable: scan.unreadable = true; break;
    }
    std::uint32_t length = 0;
    std::uint32_t at = 0;
    if (state == LogPages::State::kRecords && walked == 0)
      at = pages.OldestStart(page);
    else if (state == LogPages::State::kRecords)
      at = next != 0 && pages.HeaderAt(page, next, &length) ? next : pages.FindHeader(page, next);
    next = 0;
    while (at != 0 && pages.HeaderAt(page, at, &length)) {
      const std::uint64_t started = page, lsn = LogHeaderLsn(pages.bytes() + at);
      std::uint64_t seen = walked;
      const bool breaks =
          broke.page > walked && lsn >= broke.from_lsn &&
          PagesOnward(pages, at, kLogRecordHeader + std::uint64_t{length}) >= broke.page - walked;
      if (breaks || !GatherRecord(pages, lsn, &page, &at, length, &record, &seen, &broke)) {
        // The pages it goes on in are counted as the walk reaches them.
        ++scan.damaged_records;
        page = started;
        break;
      }
      walked = seen;
      LogRecord r;
      // A client restart area (a checkpoint's) holds no operation: it is
      // the log's own bookkeeping, not a record of a change.
      if (DecodeLogRecord(record.data(), record.size(), &r) && r.type == kLogClientRecord) {
        ++scan.records;
        visit(r);
      }
      if (page != started) {
        next = at;
        break;
      }
    }
    if (next != 0 && next + kLogRecordHeader <= pages.size()) continue;
    ++walked;
    page = (page + 1) % pages.count();
    next = 0;
  }
  return scan;
}

std::string DescribeLogDamage(const std::string& name, const LogFileScan& scan) {
  std::string line;
  auto add = [&](const std::string& part) { line += (line.empty() ? "" : ", ") + part; };
  if (!scan.usable) add("no whole restart page, not read");
  if (scan.usable && scan.restart_damaged == 1) add("one restart page damaged, the other used");
  if (scan.usable && !scan.restart.repaired.empty())
    add("restart area's " + scan.restart.repaired + " out of range, read as NTFS writes them");
  if (scan.damaged_pages != 0)
    add(Format("%llu damaged page%s skipped", static_cast<unsigned long long>(scan.damaged_pages),
               scan.damaged_pages == 1 ? "" : "s"));
  if (scan.damaged_records != 0)
    add(Format("%llu record%s cut short", static_cast<unsigned long long>(scan.damaged_records),
               scan.damaged_records == 1 ? "" : "s"));
  if (scan.unreadable) add("read in part");
  if (scan.cluster_assumed)
    add("read with clusters of 4096 bytes assumed (a bare $MFT tells no cluster size, nor do the "
        "log's records): the MFT records it names may be others");
  return line.empty() ? "" : "qst: " + name + ": $LogFile " + line + "\n";
}

}  // namespace qst
