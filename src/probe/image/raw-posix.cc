#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "probe/image/raw-reader.h"

namespace qst {
namespace {

class RawFileReader : public VolumeReader {
 public:
  RawFileReader(int fd, std::uint64_t size, std::uint64_t offset)
      : fd_(fd),
        size_(size),
        offset_(offset),
        page_(static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE))) {}
  ~RawFileReader() override {
    Unmap();
    close(fd_);
  }

  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    std::uint64_t at = offset_ + offset;
    if (at < offset || !Inside(at, size, size_)) return ReadStatus::kPastEnd;
    char* out = static_cast<char*>(buffer);
    while (size > 0) {
      ssize_t n = pread(fd_, out, size, static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      // A file that shrank since it was opened ends early.
      if (n == 0) return ReadStatus::kPastEnd;
      if (n < 0) return ReadStatus::kFailed;
      at += static_cast<std::uint64_t>(n);
      out += n;
      size -= static_cast<std::size_t>(n);
    }
    return ReadStatus::kOk;
  }

  // Shows the bytes where the page cache already holds them all: mapped
  // pages that are resident cost no copy and raise no read error, while a
  // read from the medium gains nothing from a mapping and could fail as a
  // signal rather than an error code.
  const std::uint8_t* View(std::uint64_t offset, std::size_t size) override {
    Unmap();
    std::uint64_t at = offset_ + offset;
    if (size == 0 || at < offset || !Inside(at, size, size_)) return nullptr;
    std::uint64_t start = at - at % page_;
    std::size_t length = static_cast<std::size_t>(at + size - start);
    void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(start));
    if (map == MAP_FAILED) return nullptr;
    map_ = map;
    map_length_ = length;
    resident_.resize((length + page_ - 1) / page_);
    if (mincore(map, length, resident_.data()) != 0) {
      Unmap();
      return nullptr;
    }
    for (unsigned char page : resident_) {
      if ((page & 1) == 0) {
        Unmap();
        return nullptr;
      }
    }
    return static_cast<const std::uint8_t*>(map) + (at - start);
  }

  std::uint64_t Size() const override { return size_ > offset_ ? size_ - offset_ : 0; }

  // The kernel reads ahead on its own while the caller parses.
  void Prefetch(std::uint64_t offset, std::uint64_t size) override {
    std::uint64_t at = offset_ + offset;
    if (size == 0 || at < offset || at >= size_) return;
    posix_fadvise(fd_, static_cast<off_t>(at), static_cast<off_t>(std::min(size, size_ - at)),
                  POSIX_FADV_WILLNEED);
  }

 private:
  void Unmap() {
    if (map_ != nullptr) munmap(map_, map_length_);
    map_ = nullptr;
  }

  int fd_;
  std::uint64_t size_, offset_, page_;
  void* map_ = nullptr;
  std::size_t map_length_ = 0;
  std::vector<unsigned char> resident_;
};

}  // namespace

int OpenRawFile(const std::string& path, std::uint64_t offset,
                std::unique_ptr<VolumeReader>* reader) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  // A block device tells its size by seeking to its end.
  struct stat st;
  off_t end = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : lseek(fd, 0, SEEK_END);
  if (end < 0) {
    int error = errno;
    close(fd);
    return error;
  }
  *reader = std::make_unique<RawFileReader>(fd, static_cast<std::uint64_t>(end), offset);
  return 0;
}

}  // namespace qst
