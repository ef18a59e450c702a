// Raw images, volumes (\\.\C:) and disks (\\.\PhysicalDrive0) on Windows:
// opened for reading only, sharing read, write and delete with everyone
// else, so that a live volume stays in use while it is read. Volumes and
// disks are read in whole sectors at sector offsets, through a buffer of
// our own.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>

#include "probe/image/raw-reader.h"
#include "probe/ntfs/boot-sector.h"
#include "probe/win32/wide-win32.h"

namespace qst {
namespace {

// Memory on a page boundary, as unbuffered device reads want it.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(std::size_t size)
      : data_(static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))),
        size_(data_ != nullptr ? size : 0) {}
  ~AlignedBuffer() {
    if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
  }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  std::uint8_t* data() { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* data_;
  std::size_t size_;
};

class Win32RawReader : public VolumeReader {
 public:
  Win32RawReader(HANDLE handle, std::uint64_t size, std::uint64_t offset, std::uint32_t sector)
      : handle_(handle),
        size_(size),
        offset_(offset),
        sector_(sector),
        bounce_(sector > 1 ? 1u << 20 : 0) {}
  ~Win32RawReader() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  // Gives the handle back: the reader no longer closes it.
  void Release() { handle_ = INVALID_HANDLE_VALUE; }

  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    std::uint64_t at = offset_ + offset;
    if (at < offset || !Inside(at, size, size_)) return ReadStatus::kPastEnd;
    std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
    if (sector_ <= 1) return ReadAt(at, out, size);
    // Whole sectors around what is wanted, a buffer at a time.
    while (size > 0) {
      if (bounce_.size() == 0) return ReadStatus::kFailed;
      std::uint64_t first = at - at % sector_;
      std::size_t skip = static_cast<std::size_t>(at - first);
      std::size_t span = std::min<std::size_t>(bounce_.size(), skip + size + sector_ - 1);
      span -= span % sector_;
      if (ReadStatus status = ReadAt(first, bounce_.data(), span); status != ReadStatus::kOk)
        return status;
      std::size_t piece = std::min(size, span - skip);
      std::memcpy(out, bounce_.data() + skip, piece);
      out += piece;
      at += piece;
      size -= piece;
    }
    return ReadStatus::kOk;
  }

  std::uint64_t Size() const override { return size_ > offset_ ? size_ - offset_ : 0; }

 private:
  ReadStatus ReadAt(std::uint64_t at, std::uint8_t* out, std::size_t size) {
    while (size > 0) {
      DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 24));
      OVERLAPPED where = {};
      where.Offset = static_cast<DWORD>(at);
      where.OffsetHigh = static_cast<DWORD>(at >> 32);
      DWORD got = 0;
      if (!ReadFile(handle_, out, want, &got, &where)) return ReadStatus::kFailed;
      // A file that shrank since it was opened ends early.
      if (got == 0) return ReadStatus::kPastEnd;
      at += got;
      out += got;
      size -= got;
    }
    return ReadStatus::kOk;
  }

  HANDLE handle_;
  std::uint64_t size_, offset_;
  std::uint32_t sector_;
  AlignedBuffer bounce_;
};

// The length of a volume or disk, as its driver tells it; 0 when it does not.
std::uint64_t DeviceLength(HANDLE handle) {
  DWORD returned = 0;
  GET_LENGTH_INFORMATION length = {};
  if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                      &returned, nullptr) &&
      length.Length.QuadPart > 0)
    return static_cast<std::uint64_t>(length.Length.QuadPart);
  PARTITION_INFORMATION_EX partition = {};
  if (DeviceIoControl(handle, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, &partition,
                      sizeof partition, &returned, nullptr) &&
      partition.PartitionLength.QuadPart > 0)
    return static_cast<std::uint64_t>(partition.PartitionLength.QuadPart);
  return 0;
}

}  // namespace

int OpenRawFile(const std::string& path, std::uint64_t offset,
                std::unique_ptr<VolumeReader>* reader) {
  HANDLE handle = CreateFileW(ToWide(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  // A file: any offset and length will do.
  if (!NamesDevice(path)) {
    LARGE_INTEGER file_size;
    if (!GetFileSizeEx(handle, &file_size)) {
      int error = static_cast<int>(GetLastError());
      CloseHandle(handle);
      return error;
    }
    *reader = std::make_unique<Win32RawReader>(
        handle, static_cast<std::uint64_t>(file_size.QuadPart), offset, 1);
    return 0;
  }
  // A volume or a disk: its length and sector size come from the driver.
  std::uint32_t sector = 512;
  DISK_GEOMETRY geometry = {};
  DWORD returned = 0;
  if (DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry,
                      &returned, nullptr) &&
      geometry.BytesPerSector >= 512 && geometry.BytesPerSector <= 65536 &&
      (geometry.BytesPerSector & (geometry.BytesPerSector - 1)) == 0)
    sector = geometry.BytesPerSector;
  std::uint64_t size = DeviceLength(handle);
  if (size == 0) {
    // A driver that does not tell (as Wine's): an NTFS volume tells its own
    // length, and its backup boot sector follows.
    Win32RawReader probe(handle, ~0ull, 0, sector);
    std::uint8_t boot[kBootSectorSize];
    bool read = probe.ReadAll(0, boot, sizeof boot);
    probe.Release();
    BootSector volume;
    std::string why;
    if (read && ParseBootSector(boot, &volume, &why))
      size = volume.volume_bytes + volume.bytes_per_sector;
  }
  if (size == 0) {
    CloseHandle(handle);
    return ERROR_NOT_SUPPORTED;
  }
  *reader = std::make_unique<Win32RawReader>(handle, size, offset, sector);
  return 0;
}

}  // namespace qst
