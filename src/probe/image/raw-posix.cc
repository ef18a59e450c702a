#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
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
  ~RawFileReader() override { close(fd_); }

 private:
  // lseek's answer for `whence` from `offset`, as an offset of ours;
  // `otherwise` where it has none (no more data, or no sparse files here).
  std::uint64_t Seek(std::uint64_t offset, int whence, std::uint64_t otherwise) const {
    const std::uint64_t at = offset_ + offset;
    if (at < offset || at >= size_ || at > static_cast<std::uint64_t>(INT64_MAX)) return otherwise;
    const off_t found = lseek(fd_, static_cast<off_t>(at), whence);
    if (found < 0 || static_cast<std::uint64_t>(found) < at) return otherwise;
    return static_cast<std::uint64_t>(found) - offset_;
  }

 public:
  std::uint64_t DataFrom(std::uint64_t offset) const override {
    return Seek(offset, SEEK_DATA, offset);
  }
  std::uint64_t HoleFrom(std::uint64_t offset) const override {
    return Seek(offset, SEEK_HOLE, size_ - std::min(offset_, size_));
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

  // Shows the bytes where the page cache holds them all: resident pages
  // mapped cost no copy and raise no read error, while a read from the
  // medium gains nothing from a mapping and could fail as a signal rather
  // than an error code.
  const std::uint8_t* View(std::uint64_t offset, std::size_t size) override {
    std::uint64_t at = offset_ + offset;
    if (size == 0 || at < offset || !Inside(at, size, size_)) return nullptr;
    std::uint64_t start = at - at % page_;
    std::size_t length = static_cast<std::size_t>(at + size - start);
    void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(start));
    if (map == MAP_FAILED) return nullptr;
    std::vector<unsigned char> resident((length + page_ - 1) / page_);
    bool shown = mincore(map, length, resident.data()) == 0 &&
                 std::all_of(resident.begin(), resident.end(),
                             [](unsigned char page) { return (page & 1) != 0; });
    if (!shown) {
      munmap(map, length);
      return nullptr;
    }

    return static_cast<const std::uint8_t*>(map) + (at - start);
  }
  void Unview(const std::uint8_t* view, std::size_t size) override {
    std::uintptr_t within = reinterpret_cast<std::uintptr_t>(view) % page_;
    munmap(const_cast<std::uint8_t*>(view - within), size + within);
  }

  std::uint64_t Size() const override { return size_ > offset_ ? size_ - offset_ : 0; }

  // The kernel reads ahead on its own while the caller parses.
  void Prefetch(std::uint64_t offset, std::uint64_t size) override {
    std::uint64_t at = offset_ + offset;
    if (size == 0 || at < offset || at >= size_) return;
    posix_fadvise(fd_, static_cast<off_t>(at), static_cast<off_t>(std::min(size, size_ - at)),
                  POSIX_FADV_WILLNEED);
  }
  // Positioned reads and mappings share no state.
  bool ConcurrentReads() const override { return true; }

 private:
  int fd_;
  std::uint64_t size_, offset_, page_;
};

}  // namespace

int OpenRawFile(const std::string& path, std::uint64_t offset,
                std::unique_ptr<VolumeReader>* reader) {
  // Not blocking in open on a FIFO, which is refused below.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    return error;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    // Only a file or a disk holds bytes to read at will: not a folder, a
    // pipe, a terminal or /dev/zero.
    close(fd);
    return S_ISDIR(st.st_mode) ? EISDIR : ENOTBLK;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // A block device tells its size by seeking to its end.
  off_t end = S_ISREG(st.st_mode) ? st.st_size : lseek(fd, 0, SEEK_END);
  if (end < 0) {
    int error = errno;
    close(fd);
    return error;
  }
  *reader = std::make_unique<RawFileReader>(fd, static_cast<std::uint64_t>(end), offset);
  return 0;
}

}  // namespace qst
