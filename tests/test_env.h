// Setting and clearing environment variables on every platform.
#pragma once

#include <cstdlib>

namespace qst::testing {

inline void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

inline void UnsetEnv(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

}  // namespace qst::testing

// Skips a test that cannot run here (no root, no /dev/fuse, a tool or an
// evidence file missing), with the reason streamed after it; where CI is set
// it fails instead, so that a green CI run has run every test.
#define QST_SKIP()                                                                              \
  return GTEST_MESSAGE_(std::getenv("CI") != nullptr ? "CI is set, and this cannot run: " : "", \
                        std::getenv("CI") != nullptr ? ::testing::TestPartResult::kFatalFailure \
                                                     : ::testing::TestPartResult::kSkip)
