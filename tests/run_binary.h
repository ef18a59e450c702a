// Runs the real qst binary through the shell and captures what it writes to
// each stream and the status the shell sees.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qst::testing {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
  // Both streams in the order written, as a terminal would show them.
  std::string both;
};

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// What a shell command writes to standard output.
inline std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// Makes the Windows 7 evidence volume (shared/evidence/vsstest.qcow2 beside
// the source tree at `source_dir`) raw at `raw`, where qemu-img and the
// commands `tools` names (a space-separated list) are found; empty, or why
// it cannot be done.
inline std::string RawEvidenceVolume(const std::string& source_dir, const std::string& raw,
                                     const std::string& tools = "") {
  const std::string qcow = source_dir + "/../shared/evidence/vsstest.qcow2";
  if (access(qcow.c_str(), R_OK) != 0) return "no " + qcow;
  std::string check = "command -v qemu-img";
  for (std::size_t at = 0; at < tools.size();) {
    std::size_t end = std::min(tools.find(' ', at), tools.size());
    check += " && command -v " + tools.substr(at, end - at);
    at = end + 1;
  }
  if (std::system(("(" + check + ") >/dev/null").c_str()) != 0) return "needs qemu-img " + tools;
  if (std::system(
          ("qemu-img convert -O raw " + ShellQuote(qcow) + " " + ShellQuote(raw)).c_str()) != 0)
    return "qemu-img could not convert " + qcow;
  return "";
}

// The header row of the row layout (-e).
inline constexpr char kHeaderRow[] =
    "FILENAME | ID | atime | mtime | ctime | crtime | TYPE | Object ID | otime | oseq | oMAC | "
    "BirthObject ID | botime | boseq | boMAC | BirthVolume ID \n";

// The first field of each row of a row-layout output, in order; the header
// row and lines that are not rows (error lines) are passed over.
inline std::vector<std::string> PathColumn(const std::string& out) {
  std::vector<std::string> paths;
  for (std::size_t pos = out.find('\n') + 1; pos > 0 && pos < out.size();
       pos = out.find('\n', pos) + 1) {
    std::size_t end = out.find('\n', pos);
    std::size_t bar = out.find(" |", pos);
    if (bar < end) paths.push_back(out.substr(pos, bar - pos));
  }
  return paths;
}

// How many times `part` stands in `text`.
inline std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
    ++n;
  return n;
}

// Standard error without the line that says when the volume was made
// (written where some file's times lay before it).
inline std::string WithoutVolumeMade(std::string err) {
  std::size_t at = err.find(": the volume was made ");
  if (at == std::string::npos) return err;
  std::size_t start = err.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return err.erase(start, err.find('\n', at) + 1 - start);
}

// The field named `column` in the header row of a row-layout output, of the
// row whose path is `path`; "<no row>" or "<no column>" when there is none.
inline std::string RowField(const std::string& out, const std::string& path,
                            const std::string& column) {
  auto split = [](std::string line, const std::string& bar) {
    if (!line.empty() && line.back() == ' ') line.pop_back();
    std::vector<std::string> fields;
    for (std::size_t pos = 0;;) {
      std::size_t next = line.find(bar, pos);
      fields.push_back(line.substr(pos, next == std::string::npos ? next : next - pos));
      if (next == std::string::npos) return fields;
      pos = next + bar.size();
    }
  };
  std::vector<std::string> names = split(out.substr(0, out.find('\n')), " | ");
  std::size_t start = out.find("\n" + path + " |");
  if (start == std::string::npos) return "<no row>";
  std::size_t end = out.find('\n', start + 1);
  std::vector<std::string> fields = split(out.substr(start + 1, end - start - 1), " |");
  for (std::size_t i = 0; i < names.size() && i < fields.size(); ++i)
    if (names[i] == column) return fields[i];
  return "<no column>";
}

// The lines of an output, sorted: for comparing outputs whose order differs
// (ntfs-3g lists a large folder in the order of its index blocks, Windows
// and qst -d in collation order).
inline std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = text.find('\n', pos);
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// `prefix` goes before the command (environment settings, a `cd`).
inline RunResult RunQst(const std::vector<std::string>& args, const std::string& prefix = "") {
  static int runs = 0;
  std::string base =
      ::testing::TempDir() + "/qst_run_" + std::to_string(getpid()) + "_" + std::to_string(++runs);
  // Messages of the C locale, whatever the machine is set to.
  std::string command = prefix + " LC_ALL=C " + ShellQuote(QST_BINARY);
  for (const std::string& a : args) command += " " + ShellQuote(a);
  std::string script = "(" + command + " >" + base + ".out 2>" + base + ".err; echo $? >" + base +
                       ".status); (" + command + ") >" + base + ".both 2>&1";
  std::system(script.c_str());
  RunResult r;
  r.out = ReadFile(base + ".out");
  r.err = ReadFile(base + ".err");
  r.both = ReadFile(base + ".both");
  r.status = std::atoi(ReadFile(base + ".status").c_str());
  for (const char* suffix : {".out", ".err", ".both", ".status"}) unlink((base + suffix).c_str());
  return r;
}

}  // namespace qst::testing
