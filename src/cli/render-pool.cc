#include "cli/render-pool.h"

#include "cli/report.h"

namespace qst {
namespace {

// Large enough that handing a batch over costs little beside building its
// records, small enough that the threads share the last folders of a walk.
constexpr std::size_t kBatchEntries = 512;
constexpr std::size_t kBatchesPerThread = 4;

}  // namespace

// Entries to print, one after another; their paths and names in one buffer,
// so that a batch costs one allocation however many entries it holds, made
// and freed by the walk's thread.
struct RenderPool::Batch {
  struct Item {
    std::size_t path, path_length, name_length;  // the name ends the path
    bool folder, made_up;
    SearchHint hint;
  };
  std::string text;
  std::vector<Item> items;
  // What printing them wrote: a record printed before them first; and,
  // with --report, what the page gathered of them.
  PrintedText printed;
  std::unique_ptr<HtmlReport> report;
  bool done = false;

  void clear() {
    text.clear();
    items.clear();
    printed.clear();
    report.reset();
    done = false;
  }
};

RenderPool::RenderPool(Context& context, int threads)
    : context_(context), limit_(kBatchesPerThread * static_cast<std::size_t>(threads)) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

RenderPool::~RenderPool() {
  Drain();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

RenderPool::Batch& RenderPool::Open() {
  if (open_ == nullptr) {
    if (spare_.empty()) {
      open_ = std::make_unique<Batch>();
    } else {
      open_ = std::move(spare_.back());
      spare_.pop_back();
    }
    if (context_.report != nullptr) open_->report = context_.report->Part();
  }
  return *open_;
}

void RenderPool::Add(std::string_view directory, const DirEntry& entry) {
  Open();
  const std::size_t path = directory.size() + entry.name.size();
  open_->items.push_back(
      {open_->text.size(), path, entry.name.size(), entry.folder, entry.made_up, entry.hint});
  open_->text.append(directory).append(entry.name);
  if (open_->items.size() == kBatchEntries) Submit();
}

void RenderPool::Add(const FileTimestampRecord& record) {
  // Entries taken before it are printed before it.
  if (open_ != nullptr && !open_->items.empty()) Submit();
  Batch& batch = Open();
  if (batch.report != nullptr) batch.report->Add(record);
  RenderRecord(record, context_.layout(), &batch.printed);
}

void RenderPool::Drain() {
  Submit();
  WriteDone(true);
}

void RenderPool::Submit() {
  if (open_ == nullptr) return;
  Batch* batch = open_.get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ordered_.push_back(std::move(open_));
    if (batch->items.empty())
      batch->done = true;
    else
      jobs_.push_back(batch);
  }
  changed_.notify_all();
  WriteDone(false);
}

void RenderPool::WriteDone(bool wait_all) {
  for (;;) {
    std::unique_ptr<Batch> front;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (ordered_.empty()) return;
      if (!ordered_.front()->done) {
        // Held back only while there is room for more.
        if (!wait_all && ordered_.size() < limit_) return;
        changed_.wait(lock, [this] { return ordered_.front()->done; });
      }
      front = std::move(ordered_.front());
      ordered_.pop_front();
    }
    if (front->report != nullptr) context_.report->Merge(*front->report);
    WritePrinted(front->printed, context_);
    front->clear();
    spare_.push_back(std::move(front));
  }
}

void RenderPool::Work() {
  // Reused for every entry, so that a thread allocates little.
  std::string path;
  DirEntry entry;
  std::unique_ptr<ProbeScratch> scratch = context_.platform->NewProbeScratch();
  for (;;) {
    Batch* batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      batch = jobs_.front();
      jobs_.pop_front();
    }
    Render(*batch, &path, &entry, scratch.get());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batch->done = true;
    }
    changed_.notify_all();
  }
}

void RenderPool::Render(Batch& batch, std::string* path, DirEntry* entry,
                        ProbeScratch* scratch) const {
  const Layout& layout = context_.layout();
  const RunOptions& options = context_.options;
  for (const Batch::Item& item : batch.items) {
    path->assign(batch.text, item.path, item.path_length);
    entry->name.assign(batch.text, item.path + item.path_length - item.name_length,
                       item.name_length);
    entry->folder = item.folder;
    entry->made_up = item.made_up;
    entry->hint = item.hint;
    FileTimestampRecord record = ProbeRecord(*context_.platform, *path, options.time_form(),
                                             options.fields(), entry, scratch);
    if (batch.report != nullptr) batch.report->Add(record);
    RenderRecord(record, layout, &batch.printed);
  }
}

}  // namespace qst
