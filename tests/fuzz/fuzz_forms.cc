// The forms: the input is a name, of a file (its bytes) and of a journal
// record (its bytes taken two by two as UTF-16 units, lone surrogates and
// all). Every form prints as many lines, rows and fields as for a plain
// name.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "form_shape.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  std::u16string journal_name;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    journal_name += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  const std::string fault = qst::testing::FormShapeFault(name, journal_name);
  if (!fault.empty()) {
    std::fprintf(stderr, "%s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
