// The page's chart of creation times: bars of files by their $SI creation,
// the flagged ones hatched, lines for the $FILE_NAME creations and the
// journal's File create records, marks for the shadow copies, a legend,
// and the same as a table. The bars are of a calendar step (a second to a
// century) that fits the times, and the axis is marked at round times.
#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

#include "print/html-report.h"

namespace qst {
namespace {

constexpr int kMaxBins = 100;
constexpr int kLeft = 50, kWidth = 900, kHeight = 200, kTop = 20;
// Times from 2^63 ticks on have no calendar date: the chart ends before
// them, and counts them among the later files.
constexpr FILETIME kLastDated = std::numeric_limits<std::int64_t>::max();
constexpr FILETIME kSecond = 10'000'000, kMinute = 60 * kSecond, kHour = 60 * kMinute,
                   kDay = 24 * kHour, kYear = 365 * kDay + kDay / 4;

// The steps of bars and ticks, each a round span of the calendar (months
// and years as their mean length).
constexpr FILETIME kSteps[] = {
    kSecond,     2 * kSecond, 5 * kSecond,  10 * kSecond, 15 * kSecond, 30 * kSecond, kMinute,
    2 * kMinute, 5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute, kHour,        2 * kHour,
    3 * kHour,   6 * kHour,   12 * kHour,   kDay,         2 * kDay,     7 * kDay,     14 * kDay,
    kYear / 12,  kYear / 4,   kYear,        2 * kYear,    5 * kYear,    10 * kYear,   25 * kYear,
    50 * kYear,  100 * kYear, 1000 * kYear, 10000 * kYear};

// The least step of at least `least`.
FILETIME StepOf(FILETIME least) {
  for (FILETIME step : kSteps)
    if (step >= least) return step;
  return kSteps[std::size(kSteps) - 1];
}

std::string Num(double v) {
  char number[64];
  std::snprintf(number, sizeof number, "%.1f", v);
  return number;
}

// A moment as the page shows it on the axis: the date, and the time of day
// to the second where the step is under a day.
std::string AxisText(FILETIME t, FILETIME step, TimeForm form, const LocalTimeConverter& zone) {
  RenderedTimestamp r = RenderTimestamp(t, form, zone);
  std::string text(r.text);
  // The date (its year may take five digits), then hh:mm:ss.
  const std::size_t date = std::min(text.find(' '), text.size());
  text.resize(step < kDay ? std::min(text.size(), date + 9) : date);
  return text;
}

}  // namespace

// How many times fall in each bar, and outside the range.
struct ChartSeries {
  std::array<std::uint64_t, kMaxBins> bins{};
  std::uint64_t before = 0, after = 0;
};

// The chart's range, its bars and their scale.
struct HtmlReport::Chart {
  FILETIME lo = 0, step = 0;
  int bins = 1;
  std::size_t files = 0;
  ChartSeries all, flagged;
  std::vector<ChartSeries> lines;  // of kChartLines
  std::uint64_t top = 1;

  // The last moment of the last bar; the last a calendar date is given
  // for where the bars reach past it.
  FILETIME hi() const {
    if (static_cast<FILETIME>(bins) > (kLastDated - lo) / step) return kLastDated;
    return lo + static_cast<FILETIME>(bins) * step - 1;
  }
  double Bar() const { return static_cast<double>(kWidth) / bins; }
  double X(FILETIME t) const {
    return kLeft + static_cast<double>(t - lo) / static_cast<double>(hi() - lo) * kWidth;
  }
  double Y(std::uint64_t c) const {
    return kTop + kHeight - static_cast<double>(c) / top * kHeight;
  }
  ChartSeries Count(const std::vector<FILETIME>& times) const {
    ChartSeries s;
    for (FILETIME t : times) {
      if (t < lo)
        ++s.before;
      else if (t > hi())
        ++s.after;
      else
        ++s.bins[std::min<FILETIME>((t - lo) / step, bins - 1)];
    }
    return s;
  }
};

HtmlReport::Chart HtmlReport::MakeChart() const {
  Chart c;
  // The range holds all but the farthest 0.5% at either end, so that a few
  // times far off (1601, 2100) do not squeeze the rest into one bar; its
  // bars are the least calendar step that covers it in 100.
  std::vector<FILETIME> sorted = created_;
  std::sort(sorted.begin(), sorted.end());
  c.files = sorted.size();
  const std::size_t n = sorted.size(), cut = n >= 200 ? n / 200 : 0;
  const FILETIME lo = std::min(sorted[cut], kLastDated);
  const FILETIME hi = std::min(sorted[n - 1 - cut], kLastDated);
  c.step = StepOf((hi - lo) / (kMaxBins - 1) + 1);
  c.lo = lo - lo % c.step;
  c.bins = static_cast<int>((hi - c.lo) / c.step + 1);
  c.all = c.Count(created_);
  c.flagged = c.Count(flagged_created_);
  for (const std::vector<FILETIME>& times : lines_) c.lines.push_back(c.Count(times));
  for (int i = 0; i < c.bins; ++i) {
    c.top = std::max(c.top, c.all.bins[i]);
    for (const ChartSeries& s : c.lines) c.top = std::max(c.top, s.bins[i]);
  }
  return c;
}

void HtmlReport::AppendTimeline(std::string* out) const {
  out->append("<section id=\"timeline\"><h2>Creation times</h2>\n");
  if (created_.empty()) {
    out->append("<p>No file was reported.</p></section>\n");
    return;
  }
  const Chart c = MakeChart();
  const std::string first = AxisText(c.lo, c.step, form_, zone_);
  const std::string last = AxisText(c.hi(), c.step, form_, zone_);
  std::string what = "; hatched: the flagged files";
  for (std::size_t i = 0; i < kChartLines.size(); ++i)
    if (!lines_[i].empty()) what.append("; ").append(kChartLines[i].caption);
  if (!stores_.empty()) what.append("; ").append(kChartStores.caption);
  what += ". " + std::to_string(c.all.before) + " earlier and " + std::to_string(c.all.after) +
          " later files are outside the chart" + Outside(c) + ".";
  out->append("<svg role=\"img\" aria-labelledby=\"chart-title chart-desc\" viewBox=\"0 0 " +
              std::to_string(kLeft + kWidth + 20) + " " + std::to_string(kTop + kHeight + 60) +
              "\" xmlns=\"http://www.w3.org/2000/svg\">\n<title id=\"chart-title\">Files by "
              "creation time, " +
              first + " to " + last + "</title>\n<desc id=\"chart-desc\">" +
              std::to_string(c.files) + " files in " + std::to_string(c.bins) + " bars of " +
              AxisStep(c.step) + what +
              "</desc>\n<defs><pattern id=\"hatch\" width=\"4\" "
              "height=\"4\" patternUnits=\"userSpaceOnUse\"><rect width=\"4\" height=\"4\" "
              "fill=\"#fff\"/><path d=\"M0 4L4 0\" stroke=\"#000\"/></pattern></defs>\n");
  AppendBars(c, out);
  AppendMarks(c, out);
  AppendLegend(out);
  out->append("</svg>\n<p>Bars: files by creation time ($SI), " + first + " to " + last +
              ", bars of " + AxisStep(c.step) + what + "</p>\n");
  // The same in text, for those who cannot see the chart.
  out->append(
      "<details><summary>The chart as a table</summary><table><thead><tr><th>From</th><th>"
      "Files</th><th>Flagged</th>");
  for (std::size_t l = 0; l < kChartLines.size(); ++l)
    if (!lines_[l].empty()) out->append("<th>").append(kChartLines[l].column).append("</th>");
  out->append("</tr></thead><tbody>\n");
  for (int i = 0; i < c.bins; ++i) {
    bool empty = c.all.bins[i] == 0;
    for (const ChartSeries& s : c.lines) empty = empty && s.bins[i] == 0;
    if (empty) continue;
    out->append("<tr><td>" + AxisText(c.lo + i * c.step, c.step, form_, zone_) +
                "</td><td class=\"n\">" + std::to_string(c.all.bins[i]) + "</td><td class=\"n\">" +
                std::to_string(c.flagged.bins[i]) + "</td>");
    for (std::size_t l = 0; l < kChartLines.size(); ++l)
      if (!lines_[l].empty())
        out->append("<td class=\"n\">" + std::to_string(c.lines[l].bins[i]) + "</td>");
    out->append("</tr>\n");
  }
  out->append("</tbody></table></details></section>\n");
}

// What the other series hold outside the chart's range, each where it holds
// some: "; outside it too: 2 $FILE_NAME creation times, 1 shadow copy".
std::string HtmlReport::Outside(const Chart& c) const {
  std::string text;
  auto add = [&](std::uint64_t n, const char* one, const char* many) {
    if (n == 0) return;
    text += (text.empty() ? "; outside it too: " : ", ") + std::to_string(n) + " " +
            (n == 1 ? one : many);
  };
  for (std::size_t l = 0; l < kChartLines.size(); ++l)
    add(c.lines[l].before + c.lines[l].after, kChartLines[l].one, kChartLines[l].many);
  std::uint64_t stores = 0;
  for (const auto& [store, made] : stores_) stores += made < c.lo || made > c.hi() ? 1 : 0;
  add(stores, kChartStores.one, kChartStores.many);
  return text;
}

std::string HtmlReport::AxisStep(FILETIME step) {
  const struct {
    FILETIME unit;
    const char* name;
  } units[] = {{kYear, "year"}, {kYear / 12, "month"}, {kDay, "day"},
               {kHour, "hour"}, {kMinute, "minute"},   {kSecond, "second"}};
  for (const auto& u : units)
    if (step >= u.unit && (step % u.unit == 0 || u.unit >= kYear / 12)) {
      const FILETIME n = step / u.unit;
      return std::to_string(n) + " " + u.name + (n == 1 ? "" : "s");
    }
  return "1 second";
}

void HtmlReport::AppendBars(const Chart& c, std::string* out) const {
  const double bar = c.Bar();
  for (int i = 0; i < c.bins; ++i) {
    if (c.all.bins[i] == 0) continue;
    out->append("<rect class=\"bar\" x=\"" + Num(kLeft + i * bar) + "\" y=\"" +
                Num(c.Y(c.all.bins[i])) + "\" width=\"" + Num(std::max(bar - 1, 1.0)) +
                "\" height=\"" + Num(kTop + kHeight - c.Y(c.all.bins[i])) + "\"><title>" +
                AxisText(c.lo + i * c.step, c.step, form_, zone_) + ": " +
                std::to_string(c.all.bins[i]) + " files, " + std::to_string(c.flagged.bins[i]) +
                " flagged</title></rect>\n");
    if (c.flagged.bins[i] != 0)
      out->append("<rect class=\"flag\" x=\"" + Num(kLeft + i * bar) + "\" y=\"" +
                  Num(std::min(c.Y(c.flagged.bins[i]), kTop + kHeight - 3.0)) + "\" width=\"" +
                  Num(std::max(bar - 1, 1.0)) + "\" height=\"" +
                  Num(std::max(kTop + kHeight - c.Y(c.flagged.bins[i]), 3.0)) + "\"/>\n");
  }
}

// The lines of the other series, the shadow copies' marks and the axes,
// marked at round times.
void HtmlReport::AppendMarks(const Chart& c, std::string* out) const {
  const double bar = c.Bar();
  auto line = [&](const char* cls, const ChartSeries& s) {
    out->append("<polyline class=\"").append(cls).append("\" points=\"");
    for (int i = 0; i < c.bins; ++i)
      out->append(Num(kLeft + (i + 0.5) * bar) + "," + Num(c.Y(s.bins[i])) + " ");
    out->append("\"/>\n");
  };
  for (std::size_t l = 0; l < kChartLines.size(); ++l)
    if (!lines_[l].empty()) line(kChartLines[l].css, c.lines[l]);
  // Each store's number on the first of two rows above the chart where it
  // clears the one before; where neither row has room, the line's title
  // alone names it.
  double clear[2] = {-1e9, -1e9};
  for (const auto& [store, made] : stores_) {
    if (made < c.lo || made > c.hi()) continue;
    const double x = c.X(made);
    out->append("<line class=\"store\" x1=\"" + Num(x) + "\" x2=\"" + Num(x) + "\" y1=\"" +
                std::to_string(kTop - 10) + "\" y2=\"" + std::to_string(kTop + kHeight) +
                "\"><title>" + kChartStores.title + " " + std::to_string(store) + ", " +
                AxisText(made, c.step, form_, zone_) + "</title></line>\n");
    const std::string label = std::to_string(store);
    for (int row = 0; row < 2; ++row) {
      if (x + 2 < clear[row]) continue;
      out->append("<text class=\"axis\" x=\"" + Num(x + 2) + "\" y=\"" +
                  std::to_string(kTop - 2 - 9 * row) + "\">" + label + "</text>\n");
      clear[row] = x + 2 + 7.0 * static_cast<double>(label.size()) + 2;
      break;
    }
  }
  const std::string base = std::to_string(kTop + kHeight);
  out->append("<line x1=\"" + std::to_string(kLeft) + "\" x2=\"" + std::to_string(kLeft + kWidth) +
              "\" y1=\"" + base + "\" y2=\"" + base + "\" stroke=\"#000\"/>\n");
  // Ticks at round times, five or so across.
  const FILETIME tick = StepOf((c.hi() - c.lo) / 5 + 1);
  for (FILETIME t = c.lo + (tick - c.lo % tick) % tick; t <= c.hi(); t += tick) {
    const std::string x = Num(c.X(t));
    out->append("<line x1=\"" + x + "\" x2=\"" + x + "\" y1=\"" + base + "\" y2=\"" +
                std::to_string(kTop + kHeight + 5) + "\" stroke=\"#000\"/><text class=\"axis\" " +
                "text-anchor=\"middle\" x=\"" + x + "\" y=\"" +
                std::to_string(kTop + kHeight + 18) + "\">" + AxisText(t, tick, form_, zone_) +
                "</text>\n");
    if (t > c.hi() - tick) break;  // the next would pass the end (or wrap)
  }
  // The counts: the top's, half of it where that is a whole number, and 0.
  std::vector<std::uint64_t> counts = {c.top, 0};
  if (c.top % 2 == 0 && c.top > 2) counts.insert(counts.begin() + 1, c.top / 2);
  for (std::uint64_t n : counts)
    out->append("<text class=\"axis\" text-anchor=\"end\" x=\"" + std::to_string(kLeft - 4) +
                "\" y=\"" + std::to_string(static_cast<int>(c.Y(n)) + 4) + "\">" +
                std::to_string(n) + "</text>\n");
}

// What each mark of the chart stands for, below its axis.
void HtmlReport::AppendLegend(std::string* out) const {
  const std::string y = std::to_string(kTop + kHeight + 44);
  const std::string mark_y = std::to_string(kTop + kHeight + 40);
  int x = kLeft;
  auto item = [&](const std::string& mark, const char* text, int width) {
    out->append(mark + "<text class=\"axis\" x=\"" + std::to_string(x + 24) + "\" y=\"" + y +
                "\">" + text + "</text>\n");
    x += width;
  };
  auto box = [&](const char* cls) {
    return "<rect class=\"" + std::string(cls) + "\" x=\"" + std::to_string(x) + "\" y=\"" +
           std::to_string(kTop + kHeight + 34) + "\" width=\"18\" height=\"10\"/>";
  };
  auto stroke = [&](const char* cls) {
    return "<line class=\"" + std::string(cls) + "\" x1=\"" + std::to_string(x) + "\" x2=\"" +
           std::to_string(x + 18) + "\" y1=\"" + mark_y + "\" y2=\"" + mark_y + "\"/>";
  };
  out->append("<g class=\"legend\">\n");
  item(box("bar"), "files by $SI creation", 190);
  item(box("flag"), "flagged files", 130);
  for (std::size_t l = 0; l < kChartLines.size(); ++l)
    if (!lines_[l].empty())
      item(stroke(kChartLines[l].css), kChartLines[l].legend, kChartLines[l].legend_width);
  if (!stores_.empty()) item(stroke("store"), kChartStores.legend, kChartStores.legend_width);
  out->append("</g>\n");
}

}  // namespace qst
