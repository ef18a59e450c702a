// A page that shows a run at a glance, for a person to open in a browser:
// what was read, the counts by verdict and by sign of forged times, a
// timeline of creation times with the flagged files marked on it, and a
// table of the flagged files. Built from the records a run prints, in one
// pass; one self-contained HTML file (no network, no external script,
// style or font), readable without JavaScript and printable in grey.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "print/schema.h"
#include "probe/record.h"
#include "time/timestamp.h"

namespace qst {

// What the page says of the run itself.
struct ReportRun {
  std::string command;  // the command line, as given
  std::string image;    // -d's image; empty without
  bool has_serial = false;
  std::uint64_t serial = 0;  // the NTFS volume's serial number
  bool has_created = false;
  FILETIME created = 0;  // when the volume was made
  std::string losses;    // the lines that told what was lost, if any
  // Those of them that told of a witness the volume does not have.
  std::string absent;
  // The local zone, where times are local: its offset from UTC when the
  // run began and its name ("UTC+01:00, Europe/Berlin").
  std::string zone;
};

class HtmlReport {
 public:
  // Flagged files shown in the table; the rest are counted.
  static constexpr std::size_t kMaxRows = 10000;

  // Records come rendered in `form`; `zone` renders the timeline's dates
  // in the same form.
  HtmlReport(RecordFields fields, TimeForm form, const LocalTimeConverter& zone)
      : fields_(fields), form_(form), zone_(zone) {}

  // Takes one printed record (its shadow-copy states with it).
  void Add(const FileTimestampRecord& record);

  // A page of the same run, empty, to gather a stretch of records apart
  // (on another thread), then Merge them in their turn.
  std::unique_ptr<HtmlReport> Part() const {
    return std::make_unique<HtmlReport>(fields_, form_, zone_);
  }
  // Takes the records `part` gathered, as if each were added here now.
  void Merge(const HtmlReport& part);

  // The whole page.
  std::string Page(const ReportRun& run) const;

 private:
  struct Chart;
  void AddRow(const FileTimestampRecord& record);
  Chart MakeChart() const;
  void AppendRun(const ReportRun& run, std::string* out) const;
  // The files by finding, and by the witnesses read of them.
  void AppendFindings(std::string* out) const;
  // The files by verdict.
  void AppendCounts(std::string* out) const;
  void AppendTimeline(std::string* out) const;
  void AppendBars(const Chart& chart, std::string* out) const;
  void AppendMarks(const Chart& chart, std::string* out) const;
  void AppendLegend(std::string* out) const;
  // A step of the chart's bars in words ("1 day", "15 minutes").
  static std::string AxisStep(FILETIME step);
  std::string Outside(const Chart& chart) const;
  void AppendTable(const ReportRun& run, std::string* out) const;
  // The table of the signs of forgery, or of the notes (`volume_known`:
  // when the volume was made was read); those no file carries folded away.
  void AppendSignTable(bool forgery, bool volume_known, std::string* out) const;
  void AppendSignRow(std::size_t sign, bool volume_known, std::string* out) const;

  RecordFields fields_;
  TimeForm form_;
  const LocalTimeConverter& zone_;
  std::uint64_t files_ = 0, folders_ = 0, deleted_ = 0, errors_ = 0, flagged_ = 0;
  std::map<std::string, std::uint64_t> types_;           // verdict: files
  std::array<std::uint64_t, kMaxSigns> signs_{};         // files, by sign
  std::array<std::uint64_t, 4> findings_{};              // files, by Finding
  std::array<std::uint64_t, kFindingBits> witnessed_{};  // files, by witness read
  std::vector<FILETIME> created_;                        // $SI creation of each file
  std::vector<FILETIME> flagged_created_;                // of each flagged file
  // The times of each of kChartLines, as read of the files.
  std::vector<std::vector<FILETIME>> lines_ =
      std::vector<std::vector<FILETIME>>(kChartLines.size());
  std::map<int, FILETIME> stores_;     // the stores seen (-S), when made
  std::string rows_;                   // the table's rows, up to kMaxRows
  std::vector<std::size_t> row_ends_;  // where each row ends in rows_
};

// `text` for HTML: the five markup characters as references, each control
// character as "<0A>" (escaped), each byte that is not UTF-8 as U+FFFD.
void AppendHtmlText(std::string_view text, std::string* out);

}  // namespace qst
