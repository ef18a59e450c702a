// The Windows error codes the image platforms give, and their messages as
// Windows words them.
#pragma once

#include <string>

namespace qst::windows_error {

inline constexpr int kInvalidFunction = 1;
inline constexpr int kFileNotFound = 2;
inline constexpr int kPathNotFound = 3;
inline constexpr int kAccessDenied = 5;
inline constexpr int kGenFailure = 31;
inline constexpr int kInvalidName = 123;
inline constexpr int kNameTooLong = 206;
inline constexpr int kDirectoryInvalid = 267;
inline constexpr int kFileCorrupt = 1392;

inline std::string Text(int code) {
  switch (code) {
    case kFileNotFound: return "The system cannot find the file specified.\n";
    case kPathNotFound: return "The system cannot find the path specified.\n";
    case kAccessDenied: return "Access is denied.\n";
    case kGenFailure: return "A device attached to the system is not functioning.\n";
    case kInvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.\n";
    case kNameTooLong: return "The filename or extension is too long.\n";
    case kDirectoryInvalid: return "The directory name is invalid.\n";
    case kFileCorrupt: return "The file or directory is corrupted and unreadable.\n";
    case kInvalidFunction: return "Incorrect function.\n";
    default: return "Unknown error " + std::to_string(code) + "\n";
  }
}

}  // namespace qst::windows_error
