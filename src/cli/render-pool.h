// Records built and printed on a few threads, for a platform that answers
// from memory (a volume read whole), where building and printing records is
// the whole cost of a walk: the walk hands entries over in batches, threads
// turn each batch into text, and the batches are written in the order their
// entries were taken, so that the output is the same as from one thread.
// With --report each batch gathers its part of the page, taken in the same
// order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/context.h"

namespace qst {

class RenderPool {
 public:
  // `threads` build records besides the caller's.
  RenderPool(Context& context, int threads);
  // Writes what is left.
  ~RenderPool();
  RenderPool(const RenderPool&) = delete;
  RenderPool& operator=(const RenderPool&) = delete;

  // Queues the file `entry` of a search, at `directory` + its name, to be
  // probed and printed.
  void Add(std::string_view directory, const DirEntry& entry);
  // Queues a record probed already, printed here and now.
  void Add(const FileTimestampRecord& record);
  // Writes everything queued, in order: before the caller writes anything.
  void Drain();

 private:
  struct Batch;
  Batch& Open();
  void Submit();
  void WriteDone(bool wait_all);
  void Work();
  void Render(Batch& batch, std::string* path, DirEntry* entry, ProbeScratch* scratch) const;

  Context& context_;
  std::unique_ptr<Batch> open_;  // being filled
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Batch*> jobs_;                     // waiting for a thread
  std::deque<std::unique_ptr<Batch>> ordered_;  // in the order of output
  std::vector<std::unique_ptr<Batch>> spare_;
  std::size_t limit_;  // batches queued at most
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace qst
