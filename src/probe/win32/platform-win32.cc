// The platform layer for Windows: the Win32 calls, with paths in UTF-16.
// Nothing is opened for reading or writing: the probe asks for no access
// at all and for an existing object identifier only.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "probe/marked-list.h"
#include "probe/platform.h"
#include "probe/wildcard.h"
#include "probe/win32/fileinfo-win32.h"
#include "probe/win32/wide-win32.h"

namespace qst {
namespace {

// Flags of the second open: backup semantics (folders), the reparse point
// itself rather than its target, and the rest of the published bits that
// the first attempt does not give.
constexpr DWORD kSecondAttemptFlags = 0xA33F7927;
constexpr DWORD kTagSymlink = 0xA000000C;
constexpr DWORD kTagMountPoint = 0xA0000003;

// Holds a handle and closes it with `close`, so that nothing leaks on an
// early return.
template <BOOL(WINAPI* close)(HANDLE)>
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ~ScopedHandle() { Close(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return h_; }
  void Close() {
    if (h_ != INVALID_HANDLE_VALUE) close(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};
using ScopedFileHandle = ScopedHandle<CloseHandle>;
using ScopedFindHandle = ScopedHandle<FindClose>;

// Between the program's broken-down time and the system's, field by field.
template <typename From, typename To>
void CopySystemTime(const From& from, To* to) {
  to->wYear = from.wYear;
  to->wMonth = from.wMonth;
  to->wDayOfWeek = from.wDayOfWeek;
  to->wDay = from.wDay;
  to->wHour = from.wHour;
  to->wMinute = from.wMinute;
  to->wSecond = from.wSecond;
  to->wMilliseconds = from.wMilliseconds;
}

FILETIME FromLargeInteger(const LARGE_INTEGER& v) { return static_cast<FILETIME>(v.QuadPart); }

class Win32DirSearch : public DirSearch {
 public:
  Win32DirSearch(HANDLE find, const WIN32_FIND_DATAW& first, bool follow_links)
      : find_(find), data_(first), follow_links_(follow_links) {}

  bool Next(DirEntry* entry) override {
    if (!has_data_) return false;
    entry->name = FromWide(data_.cFileName);
    bool folder = (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A link or junction is not entered: it may lead back up the tree. A
    // path named by the user is followed.
    bool link = (data_.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                (data_.dwReserved0 == kTagSymlink || data_.dwReserved0 == kTagMountPoint);
    entry->folder = folder && (follow_links_ || !link);
    has_data_ = FindNextFileW(find_.get(), &data_) != 0;
    return true;
  }

 private:
  ScopedFindHandle find_;
  WIN32_FIND_DATAW data_;
  bool follow_links_;
  bool has_data_ = true;
};

// A list file read in text mode, decoded by the C runtime with the code page
// of the process locale, handed on as WTF-8.
// A list file's bytes as they lie.
class RawListSource : public ByteSource {
 public:
  explicit RawListSource(std::FILE* file) : file_(file) {}
  ~RawListSource() override { std::fclose(file_); }
  std::size_t Read(char* buffer, std::size_t size) override {
    return std::fread(buffer, 1, size, file_);
  }

 private:
  std::FILE* file_;
};

class ListSource : public ByteSource {
 public:
  explicit ListSource(std::FILE* file) : file_(file) {}
  ~ListSource() override { std::fclose(file_); }

  std::size_t Read(char* buffer, std::size_t size) override {
    if (pos_ == text_.size()) {
      text_.clear();
      pos_ = 0;
      while (!eof_ && text_.size() < 4096) {
        wint_t c = std::fgetwc(file_);
        if (c == WEOF) {
          eof_ = true;
          FlushUtf16Pending(&lead_, &text_);
        } else {
          AppendUtf16Unit(static_cast<char16_t>(c), &lead_, &text_);
        }
      }
    }
    std::size_t n = std::min(size, text_.size() - pos_);
    std::memcpy(buffer, text_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  std::FILE* file_;
  std::string text_;
  std::size_t pos_ = 0;
  char16_t lead_ = 0;
  bool eof_ = false;
};

class Win32Platform : public Platform {
 public:
  int Probe(const std::string& path, RawFileInfo* info) override {
    std::wstring wide = ToWide(path);
    HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
      h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      kSecondAttemptFlags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    ScopedFileHandle handle(h);

    *info = RawFileInfo{};
    unsigned char object_id[64] = {};
    DWORD returned = 0;
    if (DeviceIoControl(handle.get(), FSCTL_GET_OBJECT_ID, nullptr, 0, object_id, sizeof object_id,
                        &returned, nullptr) == 1) {
      info->has_object_id = true;
      std::memcpy(&info->object_id, object_id, sizeof object_id);
    }
    // Failed queries leave zeros, never undefined values.
    ::FILE_BASIC_INFO basic = {};
    qst::GetFileInformationByHandleEx(handle.get(), kFileBasicInfo, &basic, sizeof basic);
    BY_HANDLE_FILE_INFORMATION by_handle = {};
    GetFileInformationByHandle(handle.get(), &by_handle);
    handle.Close();

    info->basic.CreationTime = FromLargeInteger(basic.CreationTime);
    info->basic.LastAccessTime = FromLargeInteger(basic.LastAccessTime);
    info->basic.LastWriteTime = FromLargeInteger(basic.LastWriteTime);
    info->basic.ChangeTime = FromLargeInteger(basic.ChangeTime);
    info->basic.FileAttributes = basic.FileAttributes;
    info->file_index = by_handle.nFileIndexLow;
    info->volume = by_handle.dwVolumeSerialNumber;
    info->file_id = std::uint64_t{by_handle.nFileIndexHigh} << 32 | by_handle.nFileIndexLow;
    info->has_size = by_handle.dwVolumeSerialNumber != 0 || by_handle.nFileIndexLow != 0;
    info->size = std::uint64_t{by_handle.nFileSizeHigh} << 32 | by_handle.nFileSizeLow;
    return 0;
  }

  int OpenSearch(const std::string& pattern, std::unique_ptr<DirSearch>* search) override {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(ToWide(pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    bool named = !HasWildcard(SplitPattern(pattern, '\\').last);
    search->reset(new Win32DirSearch(find, data, named));
    return 0;
  }

  int OpenList(const std::string& path, std::unique_ptr<ByteSource>* source) override {
    // A list that opens with a byte-order mark is read in its encoding;
    // one without, in the user's code page, as a text-mode read gives it.
    for (const wchar_t* mode : {L"rb", L"rt"}) {
      SetLastError(0);
      std::FILE* file = _wfopen(ToWide(path).c_str(), mode);
      if (file == nullptr) {
        DWORD error = GetLastError();
        return error != 0 ? static_cast<int>(error) : ERROR_OPEN_FAILED;
      }
      if (mode[1] == L't') {
        source->reset(new ListSource(file));
        return 0;
      }
      bool marked = false;
      std::unique_ptr<ByteSource> text =
          ReadMarkedList(std::make_unique<RawListSource>(file), &marked);
      if (marked) {
        *source = std::move(text);
        return 0;
      }
    }
    return ERROR_OPEN_FAILED;
  }

  std::string ErrorText(int code) override {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (n == 0 || text == nullptr) return "Unknown error " + std::to_string(code) + "\n";
    std::string message = FromWide(std::wstring_view(text, n));
    LocalFree(text);
    return message;
  }

  int NameTooLongCode() const override { return ERROR_FILENAME_EXCED_RANGE; }
  char Separator() const override { return '\\'; }

  bool IsVolumeRoot(std::string_view path) const override { return IsDriveRoot(path); }

  std::string ZoneName() const override {
    DYNAMIC_TIME_ZONE_INFORMATION zone;
    if (GetDynamicTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return {};
    return FromWide(std::wstring_view(zone.TimeZoneKeyName));
  }

  bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override {
    ::SYSTEMTIME u, l;
    CopySystemTime(utc, &u);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &u, &l) || l.wYear < 1601) return false;
    CopySystemTime(l, local);
    return true;
  }
};

// Writes the program's text through the C runtime, converted to the code
// page of the process locale. A character that the code page cannot show
// becomes '?', so one name never stops the output. Once standard output
// carries bytes as they are, they go out unchanged.
bool output_bytes = false;

class CrtSink : public ByteSink {
 public:
  explicit CrtSink(std::FILE* stream) : stream_(stream) {}
  bool WriteAll(std::string_view bytes) override {
    if (output_bytes && stream_ == stdout) return Put(bytes);
    std::wstring wide = ToWide(bytes);
    std::string encoded;
    encoded.reserve(wide.size());
    char buffer[MB_LEN_MAX];
    std::mbstate_t state{};
    for (wchar_t c : wide) {
      if (c < 0x80) {
        encoded.push_back(static_cast<char>(c));
        continue;
      }
      std::size_t n = std::wcrtomb(buffer, c, &state);
      if (n == static_cast<std::size_t>(-1)) {
        encoded.push_back('?');
        state = std::mbstate_t{};
      } else {
        encoded.append(buffer, n);
      }
    }
    return Put(encoded);
  }

 private:
  bool Put(std::string_view bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size() ||
        std::fflush(stream_) != 0) {
      if (errno == EPIPE || errno == EINVAL) std::_Exit(0);  // the reader went away
      error_ = errno;
      return false;
    }
    return true;
  }

  std::FILE* stream_;
};

}  // namespace

std::unique_ptr<Platform> MakeNativePlatform() { return std::make_unique<Win32Platform>(); }

std::unique_ptr<ByteSink> MakeStandardSink(int stream) {
  return std::make_unique<CrtSink>(stream == 2 ? stderr : stdout);
}

namespace {

// A file of the program's own output, written as bytes.
class FileSink : public ByteSink {
 public:
  explicit FileSink(HANDLE handle) : handle_(handle) {}
  ~FileSink() override { CloseHandle(handle_); }
  bool WriteAll(std::string_view bytes) override {
    while (!bytes.empty()) {
      DWORD written = 0;
      DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
      if (!WriteFile(handle_, bytes.data(), want, &written, nullptr) || written == 0) {
        error_ = EIO;
        return false;
      }
      bytes.remove_prefix(written);
    }
    return true;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<ByteSink> MakeFileSink(const std::string& path, int* error) {
  HANDLE handle = CreateFileW(ToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    return nullptr;
  }
  return std::make_unique<FileSink>(handle);
}

void SetStandardOutputBytes() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
  output_bytes = true;
}

bool IsTerminal(int stream) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), &mode) !=
         0;
}

}  // namespace qst
