// An in-memory platform for tests that need a precise directory order or an
// error that a real system will not produce on demand.
#pragma once

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "probe/platform.h"

namespace qst::testing {

class FakePlatform : public Platform {
 public:
  // A file or folder at `path` whose probe yields `info`; other paths yield
  // a record of zeros, unless FailProbe names them.
  void AddFile(const std::string& path, RawFileInfo info) { files_[path] = info; }
  void FailProbe(const std::string& path, int code) { probe_errors_[path] = code; }
  // The matches a search for `pattern` yields, in this order.
  void AddSearch(const std::string& pattern, std::vector<DirEntry> entries) {
    searches_[pattern] = std::move(entries);
  }
  void FailSearch(const std::string& pattern, int code) { search_errors_[pattern] = code; }
  void AddList(const std::string& path, std::string text) { lists_[path] = std::move(text); }

  // Every path probed, in order.
  const std::vector<std::string>& probed() const { return probed_; }

  int Probe(const std::string& path, RawFileInfo* info) override {
    std::lock_guard<std::mutex> lock(mutex_);  // probes may come from several threads
    probed_.push_back(path);
    if (auto e = probe_errors_.find(path); e != probe_errors_.end()) return e->second;
    auto it = files_.find(path);
    *info = it == files_.end() ? RawFileInfo{} : it->second;
    return 0;
  }

  int OpenSearch(const std::string& pattern, std::unique_ptr<DirSearch>* search) override {
    if (auto e = search_errors_.find(pattern); e != search_errors_.end()) return e->second;
    auto it = searches_.find(pattern);
    if (it == searches_.end() || it->second.empty()) return ENOENT;
    search->reset(new VectorSearch(it->second));
    return 0;
  }

  int OpenList(const std::string& path, std::unique_ptr<ByteSource>* source) override {
    auto it = lists_.find(path);
    if (it == lists_.end()) return ENOENT;
    source->reset(new StringSource(it->second));
    return 0;
  }

  std::string ErrorText(int code) override { return "error " + std::to_string(code) + "\n"; }
  int NameTooLongCode() const override { return ENAMETOOLONG; }
  char Separator() const override { return '/'; }
  bool IsVolumeRoot(std::string_view path) const override { return path == "/"; }

  // UTC+9 without daylight time.
  bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override {
    FILETIME t = static_cast<FILETIME>(SystemTimeToUnixSeconds(utc) + 11644473600 + 9 * 3600) *
                 kTicksPerSecond;
    return FileTimeToSystemTime(t, local);
  }

 private:
  // Hands out its text in small pieces, so that lines cross read boundaries.
  class StringSource : public ByteSource {
   public:
    explicit StringSource(std::string text) : text_(std::move(text)) {}
    std::size_t Read(char* buffer, std::size_t size) override {
      std::size_t n = std::min({size, text_.size() - pos_, std::size_t{7}});
      text_.copy(buffer, n, pos_);
      pos_ += n;
      return n;
    }

   private:
    std::string text_;
    std::size_t pos_ = 0;
  };

  std::map<std::string, RawFileInfo> files_;
  std::map<std::string, std::vector<DirEntry>> searches_;
  std::map<std::string, int> search_errors_;
  std::map<std::string, int> probe_errors_;
  std::map<std::string, std::string> lists_;
  std::vector<std::string> probed_;
  std::mutex mutex_;
};

}  // namespace qst::testing
