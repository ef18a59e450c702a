// Probes on a few threads, for file systems that answer slowly (FUSE,
// network shares): several questions are in flight at once, while the caller
// takes the records in the order it asked for them and prints them itself.
#pragma once

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "probe/platform.h"
#include "probe/record.h"

namespace qst {

class ProbePool {
 public:
  // The platform's ProbeEntry must allow calls from several threads at once.
  ProbePool(Platform& platform, int threads, TimeForm form, RecordFields fields);
  // Waits for the probes asked for.
  ~ProbePool();
  ProbePool(const ProbePool&) = delete;
  ProbePool& operator=(const ProbePool&) = delete;

  // The record of `path`, an entry of a search that stays open until the
  // record has been taken. The record's `path` points nowhere: the caller
  // sets it.
  std::future<FileTimestampRecord> Probe(std::string path, DirEntry entry);

 private:
  void Work();

  Platform& platform_;
  TimeForm form_;
  RecordFields fields_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::packaged_task<FileTimestampRecord()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace qst
