// The whole command line over an in-memory platform: the option scanner,
// the command-line rules, operands, wildcards, list files and walks.
// Arguments are the input's NUL-separated pieces.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/entry.h"
#include "fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> arguments = {"qst"};
  for (std::size_t pos = 0; pos <= input.size() && arguments.size() < 64;) {
    std::size_t end = input.find('\0', pos);
    if (end == std::string::npos) end = input.size();
    arguments.push_back(input.substr(pos, end - pos));
    pos = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);

  qst::testing::FakePlatform platform;
  platform.AddSearch("a*", {{"a", false}, {"ab", true}});
  platform.AddSearch("ab/*", {{".", true}, {"..", true}, {"c", false}});
  platform.AddList("list", "a\nab/\n\n*\r\nab/*\n");
  qst::Output out, err;
  qst::Context context(&platform, out, err);
  qst::RunEntry(static_cast<int>(arguments.size()), argv.data(), context);
  return 0;
}
