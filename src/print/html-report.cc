#include "print/html-report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "print/form-text.h"
#include "print/schema.h"
#include "probe/utf16.h"

namespace qst {

void AppendHtmlText(std::string_view text, std::string* out) {
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text[0]);
    std::size_t length = 1;
    switch (c) {
      case '&': out->append("&amp;"); break;
      case '<': out->append("&lt;"); break;
      case '>': out->append("&gt;"); break;
      case '"': out->append("&quot;"); break;
      case '\'': out->append("&#39;"); break;
      default:
        if (unsigned code = 0; (length = CodedCharacterAt(text, &code)) != 0) {
          // Shown, not obeyed: a name cannot turn the text around it.
          char mark[48];
          std::snprintf(mark, sizeof mark, "<span class=\"mark\">&lt;U+%04X&gt;</span>", code);
          out->append(mark);
        } else if (length = 1; c < 0x20 || c == 0x7F) {
          out->append("&lt;").push_back(kHexUpper[c >> 4]);
          out->push_back(kHexUpper[c & 15]);
          out->append("&gt;");
        } else if ((length = Utf8SequenceLength(text)) == 0) {
          out->append("\xEF\xBF\xBD");
          length = 1;
        } else {
          out->append(text.substr(0, length));
        }
    }
    text.remove_prefix(length);
  }
}

namespace {

// Whether the run read what `sign` needs.
bool Read(const SignRule& sign, RecordFields fields) {
  return !sign.needs || fields.has(*sign.needs);
}

// A FILETIME as 20 digits, so that text order is time order.
void AppendSortKey(FILETIME t, std::string* out) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%020llu", static_cast<unsigned long long>(t));
  out->append(digits);
}

constexpr const char* kStyle = R"(
body{font:15px/1.45 system-ui,sans-serif;margin:1.5em auto;max-width:160em;padding:0 1em;color:#111;background:#fff}
p,dl{max-width:72em}
h1{font-size:1.5em;margin:.2em 0}h2{font-size:1.2em;margin:1.6em 0 .5em;border-bottom:1px solid #999}
code,td.t,pre{font-family:ui-monospace,Consolas,monospace;font-size:.9em}
table{border-collapse:collapse}th,td{border:1px solid #bbb;padding:.2em .5em;text-align:left;vertical-align:top}
th{background:#eee}td.n{text-align:right}dl{display:grid;grid-template-columns:max-content auto;gap:.2em 1em}
dt{font-weight:600}dd{margin:0}pre{white-space:pre-wrap;margin:0}
.mark{color:#a00;font-weight:600}bdi{unicode-bidi:isolate}
.wide{overflow-x:auto}#flagged{table-layout:fixed;width:100%}
#flagged td:first-child{overflow-wrap:anywhere}#flagged col.t{width:10.5em}#flagged col.p{width:24em}#flagged col.s{width:22em}
#flagged ul.why{margin:.2em 0 0;padding-left:1.1em}#flagged ul.why small{color:#444}#flagged .v{font-family:ui-monospace,Consolas,monospace;font-size:.9em;white-space:nowrap}
#flagged tbody tr{content-visibility:auto;contain-intrinsic-size:auto 3em}#flagged th button{font:inherit;border:0;background:none;padding:0;cursor:pointer}
#flagged th[aria-sort=ascending] button::after{content:" \25B2"}#flagged th[aria-sort=descending] button::after{content:" \25BC"}
.js-only{display:none}.js .js-only{display:block}svg{max-width:100%;height:auto}
.bar{fill:#9a9a9a}.flag{fill:url(#hatch);stroke:#000;stroke-width:.5}.usn{fill:none;stroke:#000;stroke-width:1.5;stroke-dasharray:4 2}
.store{stroke:#000;stroke-width:1;stroke-dasharray:2 3}.fnline{fill:none;stroke:#1f5fbf;stroke-width:1.5}.axis{font-size:11px}
@media print{.js-only,.js .js-only{display:none}body{max-width:none}}
)";

constexpr const char* kScript = R"(
(function () {
  document.documentElement.className += ' js';
  var table = document.getElementById('flagged');
  if (!table) return;
  var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
  var heads = table.tHead.rows[0].cells, filter = document.getElementById('filter');
  var shown = document.getElementById('shown');
  function key(row, column) {
    var cell = row.cells[column];
    return cell.getAttribute('data-v') || cell.textContent.toLowerCase();
  }
  function sort(column, descending) {
    rows.sort(function (a, b) {
      var x = key(a, column), y = key(b, column);
      return x < y ? (descending ? 1 : -1) : x > y ? (descending ? -1 : 1) : 0;
    });
    rows.forEach(function (row) { body.appendChild(row); });
    for (var i = 0; i < heads.length; i++) heads[i].removeAttribute('aria-sort');
    heads[column].setAttribute('aria-sort', descending ? 'descending' : 'ascending');
  }
  function show(text) {
    text = text.toLowerCase();
    var count = 0;
    rows.forEach(function (row) {
      var match = row.textContent.toLowerCase().indexOf(text) >= 0;
      row.hidden = !match;
      if (match) count++;
    });
    shown.textContent = count;
  }
  Array.prototype.forEach.call(heads, function (head, column) {
    var button = document.createElement('button');
    button.type = 'button';
    button.textContent = head.textContent;
    head.textContent = '';
    head.appendChild(button);
    button.addEventListener('click', function () {
      sort(column, head.getAttribute('aria-sort') === 'ascending');
    });
  });
  filter.addEventListener('input', function () { show(filter.value); });
  // "#sort=2&desc=1&filter=text": a view to open the page with.
  var wanted = {};
  location.hash.replace(/^#/, '').split('&').forEach(function (part) {
    var pair = part.split('=');
    if (pair[0]) wanted[pair[0]] = decodeURIComponent(pair[1] || '');
  });
  if (wanted.sort !== undefined && heads[+wanted.sort]) sort(+wanted.sort, wanted.desc === '1');
  if (wanted.filter !== undefined) { filter.value = wanted.filter; show(wanted.filter); }
})();
)";

}  // namespace

void HtmlReport::Add(const FileTimestampRecord& r) {
  for (const FileTimestampRecord& state : r.states)
    stores_.emplace(static_cast<int>(state.store()), state.store_made().raw);
  // A name found in an index's slack is no file of the volume.
  if (r.absent || r.slack) return;
  if (r.error != 0) {
    ++errors_;
    return;
  }
  ++(r.folder ? folders_ : files_);
  if (ShowsDeleted(r)) ++deleted_;
  ++types_[r.type];
  created_.push_back(r.crtime.raw);
  for (std::size_t i = 0; i < kChartLines.size(); ++i)
    if (r.facts.Has(kChartLines[i].fact)) lines_[i].push_back(r.facts.Get(kChartLines[i].fact));
  for (std::size_t i = 0; i < kSigns.size(); ++i)
    if (r.signs.has(i)) ++signs_[i];
  ++findings_[static_cast<std::size_t>(FindingOf(r.signs, r.witnessed))];
  for (int w = 0; w < kFindingBits; ++w)
    if ((r.witnessed >> w & 1) != 0) ++witnessed_[static_cast<std::size_t>(w)];
  // Notes of provenance alone flag nothing.
  if (r.signs.Alerts().empty()) return;
  ++flagged_;
  flagged_created_.push_back(r.crtime.raw);
  if (flagged_ <= kMaxRows) AddRow(r);
}

void HtmlReport::Merge(const HtmlReport& part) {
  for (const auto& [store, created] : part.stores_) stores_.emplace(store, created);
  files_ += part.files_;
  folders_ += part.folders_;
  deleted_ += part.deleted_;
  errors_ += part.errors_;
  for (const auto& [type, count] : part.types_) types_[type] += count;
  for (std::size_t i = 0; i < kSigns.size(); ++i) signs_[i] += part.signs_[i];
  for (std::size_t i = 0; i < findings_.size(); ++i) findings_[i] += part.findings_[i];
  for (std::size_t i = 0; i < witnessed_.size(); ++i) witnessed_[i] += part.witnessed_[i];
  created_.insert(created_.end(), part.created_.begin(), part.created_.end());
  flagged_created_.insert(flagged_created_.end(), part.flagged_created_.begin(),
                          part.flagged_created_.end());
  for (std::size_t i = 0; i < lines_.size(); ++i)
    lines_[i].insert(lines_[i].end(), part.lines_[i].begin(), part.lines_[i].end());
  // The first kMaxRows flagged files of the whole run.
  const std::size_t room = kMaxRows - row_ends_.size();
  const std::size_t taken = std::min(room, part.row_ends_.size());
  const std::size_t start = rows_.size();
  if (taken != 0) rows_.append(part.rows_, 0, part.row_ends_[taken - 1]);
  for (std::size_t i = 0; i < taken; ++i) row_ends_.push_back(start + part.row_ends_[i]);
  flagged_ += part.flagged_;
}

namespace {

// Each alert of `r`: its name, the two values it weighs (where it weighs
// two), and what honest work also makes it fire.
void AppendAlertDetails(const FileTimestampRecord& r, std::string* out) {
  const SignSet alerts = r.signs.Alerts();
  out->append("<ul class=\"why\">");
  for (std::size_t i = 0; i < kSigns.size(); ++i) {
    if (!alerts.has(i)) continue;
    out->append("<li><code>");
    AppendHtmlText(kSigns[i].name, out);
    out->append("</code>");
    for (const Weighed& w : kWeighed) {
      if (w.sign != kSigns[i].name) continue;
      const RenderedTimestamp* other = nullptr;
      if (!w.other) {
        if (r.has_object_id && r.object_id.time_known) other = &r.object_id.time;
      } else if (r.facts.Has(*w.other)) {
        other = &r.Time(*w.other);
      }
      out->append(": ").append(w.si_label).append(" <span class=\"v\">");
      AppendHtmlText((r.*w.si).text, out);
      out->append("</span> against ").append(w.other_label).append(" <span class=\"v\">");
      AppendHtmlText(other != nullptr ? std::string_view(other->text) : "not read", out);
      out->append("</span>");
    }
    out->append("<br><small>Also: ");
    AppendHtmlText(kSigns[i].benign, out);
    out->append("</small></li>");
  }
  out->append("</ul>");
}

}  // namespace

void HtmlReport::AddRow(const FileTimestampRecord& r) {
  rows_.append("<tr><td><bdi>");
  AppendHtmlText(r.path, &rows_);
  rows_.append("</bdi></td><td>");
  std::string names;
  AppendSignNames(r.signs.Alerts(), " ", &names);
  if (SignSet notes = r.signs.Notes(); !notes.empty()) {
    names.append(" (notes: ");
    AppendSignNames(notes, " ", &names);
    names.append(")");
  }
  AppendHtmlText(names, &rows_);
  AppendAlertDetails(r, &rows_);
  rows_.append("</td>");
  auto time = [&](const RenderedTimestamp& t, bool known) {
    rows_.append("<td class=\"t\" data-v=\"");
    if (known) AppendSortKey(t.raw, &rows_);
    rows_.append("\">");
    if (known)
      rows_.append(t.text);
    else
      rows_.append("null");
    rows_.append("</td>");
  };
  for (const TimeSet* set : TimeSetsShown(fields_))
    for (const RenderedTimestamp* t : TimesOf(r, *set)) time(*t, HasTimes(r, *set));
  rows_.append("</tr>\n");
  row_ends_.push_back(rows_.size());
}

namespace {

// How the page names the times' zone, as HTML.
std::string TimesText(bool utc, const ReportRun& run) {
  if (utc) return "UTC";
  if (run.zone.empty()) return "local time";
  std::string text = "local time (";
  AppendHtmlText(run.zone, &text);
  return text + ")";
}

}  // namespace

void HtmlReport::AppendTable(const ReportRun& run, std::string* out) const {
  out->append("<section id=\"flagged-files\"><h2>Flagged files</h2>\n");
  if (flagged_ == 0) {
    out->append("<p>No file carries a sign.</p></section>\n");
    return;
  }
  const std::size_t shown = std::min<std::uint64_t>(flagged_, kMaxRows);
  out->append("<p><span id=\"shown\">" + std::to_string(shown) + "</span> of " +
              std::to_string(flagged_) + " flagged files shown" +
              (flagged_ > kMaxRows
                   ? " (the first " + std::to_string(kMaxRows) + "; --json or --csv list all)"
                   : std::string()) +
              ". Times in " + TimesText(form_.utc, run) +
              ".</p>\n<p class=\"js-only\"><label>Filter: <input id=\"filter\" "
              "type=\"search\"></label> Click a column's heading to sort by it.</p>\n");
  const std::vector<const TimeSet*> sets = TimeSetsShown(fields_);
  out->append(std::string("<div class=\"wide\"><table id=\"flagged\"") +
              (sets.size() > 1 ? " class=\"fn\"" : "") +
              "><colgroup><col class=\"p\"><col class=\"s\">");
  for (std::size_t i = 0; i < 4 * sets.size(); ++i) out->append("<col class=\"t\">");
  out->append("</colgroup><thead><tr><th>Path</th><th>Signs</th>");
  for (const TimeSet* set : sets)
    for (const char* time : {" creation", " write", " change", " access"})
      out->append("<th>").append(set->page).append(time).append("</th>");
  out->append("</tr></thead><tbody>\n");
  out->append(rows_);
  out->append("</tbody></table></div>\n");
  if (flagged_ > kMaxRows)
    out->append("<p data-hidden-rows>" + std::to_string(flagged_ - kMaxRows) +
                " more flagged files are not in the table.</p>\n");
  out->append("</section>\n");
}

std::string HtmlReport::Page(const ReportRun& run) const {
  std::string out;
  out.reserve(rows_.size() + 64 * 1024);
  out.append(
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src "
      "'unsafe-inline'; script-src 'unsafe-inline'\">\n<meta name=\"viewport\" "
      "content=\"width=device-width, initial-scale=1\">\n<title>qst: ");
  AppendHtmlText(run.image.empty() ? std::string_view("report") : std::string_view(run.image),
                 &out);
  out.append("</title>\n<style>").append(kStyle).append("</style></head><body>\n");
  out.append("<h1>Quillstamp report</h1>\n");
  // The finding first: the run, the flagged files, the counts, the chart,
  // then what each sign and note means.
  AppendRun(run, &out);
  AppendTable(run, &out);
  AppendFindings(&out);
  AppendCounts(&out);
  AppendTimeline(&out);
  AppendSignTable(true, run.has_created, &out);
  AppendSignTable(false, run.has_created, &out);
  out.append("<script>").append(kScript).append("</script>\n</body></html>\n");
  return out;
}

// What was read, and what of it was reported.
void HtmlReport::AppendRun(const ReportRun& run, std::string* out) const {
  out->append("<section id=\"run\"><h2>The run</h2><dl>\n");
  if (!run.image.empty()) {
    out->append("<dt>Image</dt><dd><code>");
    AppendHtmlText(run.image, out);
    out->append("</code></dd>\n");
  }
  if (run.has_serial) {
    char serial[64];
    std::snprintf(serial, sizeof serial, "%04X-%04X (%016llX)",
                  static_cast<unsigned>(run.serial >> 16 & 0xFFFF),
                  static_cast<unsigned>(run.serial & 0xFFFF),
                  static_cast<unsigned long long>(run.serial));
    out->append("<dt>Volume serial</dt><dd><code>").append(serial).append("</code></dd>\n");
  }
  if (run.has_created) {
    RenderedTimestamp made = RenderTimestamp(run.created, form_, zone_);
    out->append("<dt>Volume made</dt><dd class=\"t\">").append(made.text).append("</dd>\n");
  }
  out->append("<dt>Command</dt><dd><code>");
  AppendHtmlText(run.command, out);
  out->append("</code></dd>\n<dt>Times</dt><dd>").append(TimesText(form_.utc, run));
  out->append("</dd>\n");
  auto counted = [&](const char* label, const char* attribute, std::uint64_t n) {
    out->append("<dt>").append(label).append("</dt><dd ").append(attribute).append(">");
    AppendNumber(n, out);
    out->append("</dd>\n");
  };
  counted("Files", "data-files", files_);
  counted("Folders", "data-folders", folders_);
  if (ListsDeleted(fields_)) counted("Deleted", "data-deleted", deleted_);
  counted("Not reported", "data-errors", errors_);
  counted("Flagged", "data-flagged", flagged_);
  // Line by line: the breaks between them are the page's own. What the
  // volume never had is no loss.
  std::string lost, absent;
  std::string_view losses = run.losses;
  while (!losses.empty()) {
    const std::size_t end = std::min(losses.find('\n'), losses.size());
    const std::string_view line = losses.substr(0, end);
    const std::size_t at = run.absent.find(std::string(line) + "\n");
    const bool never = at != std::string::npos && (at == 0 || run.absent[at - 1] == '\n');
    AppendHtmlText(line, never ? &absent : &lost);
    (never ? absent : lost).push_back('\n');
    losses.remove_prefix(std::min(end + 1, losses.size()));
  }
  out->append("<dt>Lost</dt><dd>").append(lost.empty() ? "nothing" : "<pre>" + lost + "</pre>");
  if (!absent.empty())
    out->append("</dd>\n<dt>Not on this volume</dt><dd><pre>").append(absent).append("</pre>");
  out->append("</dd>\n</dl></section>\n");
}

// The files by verdict, and by sign.
void HtmlReport::AppendFindings(std::string* out) const {
  out->append(
      "<section id=\"findings\"><h2>Findings</h2><table><thead><tr><th>Finding</th><th>Files "
      "and folders</th></tr></thead><tbody>\n");
  for (Finding f :
       {Finding::kSuspect, Finding::kProvenance, Finding::kConsistent, Finding::kUnread}) {
    out->append("<tr><td>").append(FindingName(f)).append("</td><td class=\"n\" data-finding=\"");
    out->append(FindingName(f)).append("\">");
    AppendNumber(findings_[static_cast<std::size_t>(f)], out);
    out->append("</td></tr>\n");
  }
  out->append(
      "</tbody></table>\n<table><thead><tr><th>Witness</th><th>Files and folders it holds "
      "something of</th></tr></thead><tbody>\n");
  for (int w = 0; w < kFindingBits; ++w) {
    const char* name = FindingWitnessName(w);
    if (name == nullptr) continue;
    out->append("<tr><td>").append(name).append("</td><td class=\"n\" data-witness=\"");
    out->append(name).append("\">");
    AppendNumber(witnessed_[static_cast<std::size_t>(w)], out);
    out->append("</td></tr>\n");
  }
  out->append("</tbody></table></section>\n");
}

void HtmlReport::AppendCounts(std::string* out) const {
  out->append(
      "<section id=\"verdicts\"><h2>Verdicts</h2><p>Which file system or tool made each file's "
      "four $SI times, read from their grain.</p>\n<table><thead><tr><th>TYPE</th><th>Files and "
      "folders</th></tr></thead><tbody>\n");
  for (const auto& [type, count] : types_) {
    out->append("<tr><td><code>");
    AppendHtmlText(type, out);
    out->append("</code></td><td class=\"n\" data-type=\"");
    AppendHtmlText(type, out);
    out->append("\">");
    AppendNumber(count, out);
    out->append("</td></tr>\n");
  }
  out->append("</tbody></table></section>\n");
}

void HtmlReport::AppendSignTable(bool forgery, bool volume_known, std::string* out) const {
  out->append(forgery ? "<section id=\"signs\"><h2>Signs of forged times</h2>\n"
                      : "<section id=\"notes\"><h2>Notes on provenance and clock</h2>\n");
  const std::string head = std::string("<table><thead><tr><th>") + (forgery ? "Sign" : "Note") +
                           "</th><th>Files</th><th>Why</th><th>Also caused by</th></tr></thead>"
                           "<tbody>\n";
  // Those read that no file carries, apart, folded away.
  std::vector<std::size_t> carried, none;
  for (std::size_t i = 0; i < kSigns.size(); ++i) {
    const SignRule& s = kSigns[i];
    if ((s.kind == SignKind::kForgery) != forgery) continue;
    const bool read = Read(s, fields_) && (!s.weighs_volume || volume_known);
    (read && signs_[i] == 0 ? none : carried).push_back(i);
  }
  out->append(head);
  for (std::size_t i : carried) AppendSignRow(i, volume_known, out);
  out->append("</tbody></table>\n");
  if (!none.empty()) {
    out->append("<details><summary>" + std::to_string(none.size()) +
                " that no file carries</summary>")
        .append(head);
    for (std::size_t i : none) AppendSignRow(i, volume_known, out);
    out->append("</tbody></table></details>\n");
  }
  out->append("</section>\n");
}

void HtmlReport::AppendSignRow(std::size_t i, bool volume_known, std::string* out) const {
  const SignRule& s = kSigns[i];
  out->append("<tr><td><code>");
  AppendHtmlText(s.name, out);
  out->append("</code></td>");
  // The signs that weigh times against the volume's creation read it from
  // an image.
  if (Read(s, fields_) && (!s.weighs_volume || volume_known)) {
    out->append("<td class=\"n\" data-sign=\"");
    AppendHtmlText(s.name, out);
    out->append("\">");
    AppendNumber(signs_[i], out);
  } else {
    out->append("<td>not read (needs -")
        .append(1, s.needs && !fields_.has(*s.needs) ? DescriptorOf(*s.needs).letter : 'd')
        .append(")");
  }
  out->append("</td><td>");
  AppendHtmlText(s.why, out);
  out->append("</td><td>");
  AppendHtmlText(s.benign, out);
  out->append("</td></tr>\n");
}

}  // namespace qst
