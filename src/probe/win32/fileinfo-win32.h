// GetFileInformationByHandleEx of our own, over the native services of
// NTDLL.DLL, so that the program also runs where the kernel library does not
// export it. Same contract as the kernel library's: 1 on success; 0 on
// failure with the thread's last error set.
#pragma once

#include <windows.h>

namespace qst {

// The classes the table knows (FILE_INFO_BY_HANDLE_CLASS values).
enum FileInfoClass : int {
  kFileBasicInfo = 0,
  kFileStandardInfo = 1,
  kFileNameInfo = 2,
  kFileStreamInfo = 7,
  kFileCompressionInfo = 8,
  kFileAttributeTagInfo = 9,
  kFileIdBothDirectoryInfo = 10,
  kFileIdBothDirectoryRestartInfo = 11,
};

// Unknown classes fail with ERROR_INVALID_PARAMETER (87), a buffer below the
// class's minimum with ERROR_BAD_LENGTH (24), both before any native query.
// When NTDLL.DLL lacks an entry point the call fails with
// ERROR_PROC_NOT_FOUND (127); nothing is called through a missing one.
BOOL GetFileInformationByHandleEx(HANDLE file, int info_class, void* buffer, DWORD size);

}  // namespace qst
