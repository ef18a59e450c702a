#include "cli/probe-pool.h"

namespace qst {

ProbePool::ProbePool(Platform& platform, int threads, TimeForm form, RecordFields fields)
    : platform_(platform), form_(form), fields_(fields) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

ProbePool::~ProbePool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& t : threads_) t.join();
}

std::future<FileTimestampRecord> ProbePool::Probe(std::string path, DirEntry entry) {
  std::packaged_task<FileTimestampRecord()> job(
      [this, path = std::move(path), entry = std::move(entry)] {
        FileTimestampRecord record = ProbeRecord(platform_, path, form_, fields_, &entry);
        record.path = {};
        return record;
      });
  std::future<FileTimestampRecord> record = job.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
  return record;
}

void ProbePool::Work() {
  for (;;) {
    std::packaged_task<FileTimestampRecord()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace qst
