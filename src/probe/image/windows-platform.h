// What the platforms over a volume read from its bytes share: the Windows
// error codes they give, with their messages as Windows words them, and paths
// in Windows form, with list files and the local zone the host's.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "probe/platform.h"
#include "probe/utf16.h"
#include "probe/wildcard.h"

namespace qst {

// The code Windows gives for an error of the machine's own (a list file that
// cannot be opened), from the host platform's code.
using HostErrorToWindows = int (*)(int host_code);

namespace windows_error {

inline constexpr int kInvalidFunction = 1;
inline constexpr int kFileNotFound = 2;
inline constexpr int kPathNotFound = 3;
inline constexpr int kAccessDenied = 5;
inline constexpr int kGenFailure = 31;
inline constexpr int kInvalidName = 123;
inline constexpr int kNameTooLong = 206;
inline constexpr int kDirectoryInvalid = 267;
inline constexpr int kFileCorrupt = 1392;
static_assert(kAmbiguousName > kFileCorrupt);

inline std::string Text(int code) {
  switch (code) {
    case kFileNotFound: return "The system cannot find the file specified.\n";
    case kPathNotFound: return "The system cannot find the path specified.\n";
    case kAccessDenied: return "Access is denied.\n";
    case kGenFailure: return "A device attached to the system is not functioning.\n";
    case kInvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.\n";
    case kNameTooLong: return "The filename or extension is too long.\n";
    case kDirectoryInvalid: return "The directory name is invalid.\n";
    case kFileCorrupt: return "The file or directory is corrupted and unreadable.\n";
    case kInvalidFunction: return "Incorrect function.\n";
    case kAmbiguousName:
      return "Names that differ from it only by case name more than one file: each is listed.\n";
    default: return "Unknown error " + std::to_string(code) + "\n";
  }
}

}  // namespace windows_error

// Finds what a path names: "C:\\a\\b", "\\a\\b" and "a\\b" all start at `root`;
// a trailing separator is allowed. Each name is looked up by
// `step(folder, name, &next)`, as it stands, whatever characters it holds;
// `is_folder(node)` says whether a name may follow. ".." steps back as
// Windows does with a path, by its text; above the root there is only the
// root. Returns 0 or the code Windows gives: 2 for a missing last name, 3 for
// a missing folder on the way.
template <typename Node, typename IsFolder, typename Step>
int WalkWindowsPath(std::u16string_view path, Node root, IsFolder is_folder, Step step,
                    Node* found) {
  if (path.empty()) return windows_error::kPathNotFound;  // as CreateFileW("") fails
  if (path.size() >= 2 && path[1] == u':') path.remove_prefix(2);
  std::vector<Node> trail = {root};
  std::size_t pos = path.find_first_not_of(u'\\');
  while (pos != std::u16string_view::npos) {
    const std::size_t end = std::min(path.find(u'\\', pos), path.size());
    const std::u16string_view name = path.substr(pos, end - pos);
    const bool last = path.find_first_not_of(u'\\', end) == std::u16string_view::npos;
    if (!is_folder(trail.back())) return windows_error::kPathNotFound;
    if (name == u"..") {
      if (trail.size() > 1) trail.pop_back();
    } else if (name != u".") {
      Node next;
      if (!step(trail.back(), name, &next))
        return last ? windows_error::kFileNotFound : windows_error::kPathNotFound;
      trail.push_back(next);
    }
    pos = path.find_first_not_of(u'\\', end);
  }
  *found = trail.back();
  return 0;
}

// A search pattern's folder (empty: the root) and last name; "C:name" names
// a file of the root.
struct WindowsPattern {
  std::u16string folder, last;
};
inline WindowsPattern SplitWindowsPattern(const std::string& pattern) {
  PatternParts parts = SplitPattern(pattern, '\\');
  if (parts.folder.empty() && parts.last.size() >= 2 && parts.last[1] == ':') {
    parts.folder = parts.last.substr(0, 2);
    parts.last.remove_prefix(2);
  }
  return {Utf16FromWtf8(parts.folder), Utf16FromWtf8(parts.last)};
}

// A search as FindFirstFileW makes it: the pattern's folder is resolved
// (a missing name on the way or at its end is a missing path) and must be a
// folder; a last name with wildcards searches it ("*.*" matching every
// name, with or without a dot), one without looks that name up alone.
// `resolve(path, &node)` gives 0 or an error code; `search(node, wanted)`
// and `look_up(node, name)` open the search.
template <typename Node, typename Resolve, typename IsFolder, typename Search, typename LookUp>
int OpenWindowsSearch(const std::string& pattern, Node root, Resolve resolve, IsFolder is_folder,
                      Search search, LookUp look_up) {
  const auto [folder_path, last] = SplitWindowsPattern(pattern);
  Node folder = root;
  if (int error = folder_path.empty() ? 0 : resolve(std::u16string_view(folder_path), &folder))
    return error == windows_error::kFileNotFound ? windows_error::kPathNotFound : error;
  if (!is_folder(folder)) return windows_error::kDirectoryInvalid;
  if (last.empty()) return windows_error::kFileNotFound;
  if (HasWildcard(std::u16string_view(last)))
    return search(folder, last == u"*.*" ? std::u16string_view(u"*") : std::u16string_view(last));
  return look_up(folder, std::u16string_view(last));
}

class WindowsPathsPlatform : public Platform {
 public:
  WindowsPathsPlatform(Platform& host, HostErrorToWindows to_windows)
      : host_(host), to_windows_(to_windows) {}

  int OpenList(const std::string& path, std::unique_ptr<ByteSource>* source) override {
    // List files are on this machine; their errors are told in Windows terms.
    int error = host_.OpenList(path, source);
    return error == 0 ? 0 : to_windows_(error);
  }
  std::string ErrorText(int code) override { return windows_error::Text(code); }
  int NameTooLongCode() const override { return windows_error::kNameTooLong; }
  char Separator() const override { return '\\'; }
  // Windows makes no name that holds a slash: "C:/Users/kim" is
  // "C:\\Users\\kim" (a name's own is given as "<2F>", as listed).
  char OtherSeparator() const override { return '/'; }
  bool IsVolumeRoot(std::string_view path) const override {
    return path == "\\" || IsDriveRoot(path);
  }
  bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override {
    return host_.ToLocalTime(utc, local);
  }
  std::string ZoneName() const override { return host_.ZoneName(); }

 protected:
  Platform& host_;
  HostErrorToWindows to_windows_;
};

}  // namespace qst
