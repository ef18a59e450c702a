// The one interface through which the logic reaches the operating system:
// probing a path, searching a folder, reading a list file, the text of an
// error code and the local-time conversion. Each platform implements it in
// files of its own; tests use a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/output.h"
#include "objectid/objectid.h"
#include "time/timestamp.h"

namespace qst {

// The four times of a file as the volume keeps them, in FILETIME units.
struct FILE_BASIC_INFO {
  FILETIME CreationTime = 0;
  FILETIME LastAccessTime = 0;
  FILETIME LastWriteTime = 0;
  FILETIME ChangeTime = 0;
  std::uint32_t FileAttributes = 0;
};

// What one probe of a path delivers.
struct RawFileInfo {
  bool has_object_id = false;
  FILE_OBJECTID_BUFFER object_id = {};
  FILE_BASIC_INFO basic;
  std::uint32_t file_index = 0;
  // Which file this is on the machine (volume and full file index); both 0
  // when unknown. The walk uses it to leave folders it is already inside.
  std::uint64_t volume = 0;
  std::uint64_t file_id = 0;
};

// One match of a folder search: the bare name and whether it is a folder.
struct DirEntry {
  std::string name;
  bool folder = false;
};

class DirSearch {
 public:
  virtual ~DirSearch() = default;
  // Yields the next match; false when there is none left.
  virtual bool Next(DirEntry* entry) = 0;
};

// A search over matches gathered beforehand.
class VectorSearch : public DirSearch {
 public:
  explicit VectorSearch(std::vector<DirEntry> entries) : entries_(std::move(entries)) {}
  bool Next(DirEntry* entry) override {
    if (next_ == entries_.size()) return false;
    *entry = std::move(entries_[next_++]);
    return true;
  }

 private:
  std::vector<DirEntry> entries_;
  std::size_t next_ = 0;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes; 0 at the end of the data or on a read error.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
};

class Platform : public LocalTimeConverter {
 public:
  // Opens `path` for attribute access only, following a link to a file; a
  // folder, or a link that cannot be followed, is opened itself. Fills `info`
  // and returns 0, or returns the system error code of the failed open.
  virtual int Probe(const std::string& path, RawFileInfo* info) = 0;

  // Starts a search for `pattern`, whose last component may hold `?` and
  // `*`. Matches come in the file system's order, "." and ".." among them.
  // Returns 0 and a search holding at least one match, or an error code
  // (also when nothing matches).
  virtual int OpenSearch(const std::string& pattern, std::unique_ptr<DirSearch>* search) = 0;

  // Opens a list file for reading. Returns 0 or an error code.
  virtual int OpenList(const std::string& path, std::unique_ptr<ByteSource>* source) = 0;

  // The system's message for an error code, ending in a line break.
  virtual std::string ErrorText(int code) = 0;

  // The code reported for a path or line too long to be handled.
  virtual int NameTooLongCode() const = 0;

  // The path separator.
  virtual char Separator() const = 0;

  // Whether `path` names a volume root, which is walked as it stands.
  virtual bool IsVolumeRoot(std::string_view path) const = 0;
};

// Whether `path` is a Windows drive's root: "C:" or "C:\\".
inline bool IsDriveRoot(std::string_view path) {
  bool letter =
      !path.empty() && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return letter && path.size() >= 2 && path[1] == ':' &&
         (path.size() == 2 || (path.size() == 3 && path[2] == '\\'));
}

// The platform this program was built for.
std::unique_ptr<Platform> MakeNativePlatform();

// Standard output (1) or standard error (2) of this process.
std::unique_ptr<Output::Sink> MakeStandardSink(int stream);

}  // namespace qst
