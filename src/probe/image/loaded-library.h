// Libraries loaded when first needed (dlopen), so that a run that does not
// need one does not start it up, and qst runs where it is absent. Each step
// keeps the first failure, in words, in `*failure`.
#pragma once

#include <dlfcn.h>

#include <string>

namespace qst {

// Loads the library by its versioned name, else by `fallback` (the name a
// development package links); null when neither loads.
inline void* OpenLibrary(const char* soname, const char* fallback, std::string* failure) {
  void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) library = dlopen(fallback, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr && failure->empty()) {
    const char* why = dlerror();
    *failure = why != nullptr ? why : std::string("cannot load ") + soname;
  }
  return library;
}

// Sets `*slot` to the function `name` of `library`; null, and "no NAME" and
// `where` in `*failure`, when it has none.
template <typename Function>
void FindFunction(void* library, Function** slot, const char* name, const char* where,
                  std::string* failure) {
  void* address = dlsym(library, name);
  if (address == nullptr && failure->empty()) *failure = std::string("no ") + name + where;
  *slot = reinterpret_cast<Function*>(address);
}

}  // namespace qst
