#include "probe/win32/fileinfo-win32.h"

namespace qst {
namespace {

using NTSTATUS = LONG;

struct IoStatusBlock {
  union {
    NTSTATUS Status;
    void* Pointer;
  };
  ULONG_PTR Information;
};

using NtQueryInformationFileFn = NTSTATUS(NTAPI*)(HANDLE, IoStatusBlock*, void*, ULONG, int);
using NtQueryDirectoryFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, void*, void*, IoStatusBlock*, void*,
                                                ULONG, int, BOOLEAN, void*, BOOLEAN);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(NTSTATUS);

constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011);

struct ClassRow {
  int info_class;
  int native_class;
  DWORD minimum;
  bool directory;
  BOOLEAN restart;
};

constexpr ClassRow kClasses[] = {
    {kFileBasicInfo, 4, 40, false, FALSE},
    {kFileStandardInfo, 5, 24, false, FALSE},
    {kFileNameInfo, 9, 8, false, FALSE},
    {kFileStreamInfo, 22, 32, false, FALSE},
    {kFileCompressionInfo, 28, 16, false, FALSE},
    {kFileAttributeTagInfo, 35, 8, false, FALSE},
    {kFileIdBothDirectoryInfo, 37, 112, true, FALSE},
    {kFileIdBothDirectoryRestartInfo, 37, 112, true, TRUE},
};

// Looked up on first use and kept; null when NTDLL.DLL lacks the name.
template <typename Fn>
Fn NtdllEntry(const char* name) {
  HMODULE ntdll = GetModuleHandleA("NTDLL.DLL");
  if (ntdll == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

NtQueryInformationFileFn QueryInformation() {
  static NtQueryInformationFileFn fn =
      NtdllEntry<NtQueryInformationFileFn>("NtQueryInformationFile");
  return fn;
}
NtQueryDirectoryFileFn QueryDirectory() {
  static NtQueryDirectoryFileFn fn = NtdllEntry<NtQueryDirectoryFileFn>("NtQueryDirectoryFile");
  return fn;
}
RtlNtStatusToDosErrorFn StatusToDosError() {
  static RtlNtStatusToDosErrorFn fn = NtdllEntry<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError");
  return fn;
}

BOOL FailWithStatus(NTSTATUS status) {
  RtlNtStatusToDosErrorFn convert = StatusToDosError();
  SetLastError(convert != nullptr ? convert(status) : ERROR_PROC_NOT_FOUND);
  return 0;
}

}  // namespace

BOOL GetFileInformationByHandleEx(HANDLE file, int info_class, void* buffer, DWORD size) {
  const ClassRow* row = nullptr;
  for (const ClassRow& r : kClasses)
    if (r.info_class == info_class) row = &r;
  if (row == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (size < row->minimum) {
    SetLastError(ERROR_BAD_LENGTH);
    return 0;
  }

  IoStatusBlock io = {};
  NTSTATUS status;
  if (row->directory) {
    NtQueryDirectoryFileFn query = QueryDirectory();
    if (query == nullptr) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return 0;
    }
    status = query(file, nullptr, nullptr, nullptr, &io, buffer, size, row->native_class, FALSE,
                   nullptr, row->restart);
  } else {
    NtQueryInformationFileFn query = QueryInformation();
    if (query == nullptr) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return 0;
    }
    status = query(file, &io, buffer, size, row->native_class);
  }
  if (status < 0) return FailWithStatus(status);
  if (info_class == kFileStreamInfo && io.Information == 0) return FailWithStatus(kStatusEndOfFile);
  return 1;
}

}  // namespace qst
