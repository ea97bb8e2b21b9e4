#include "module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kelvo_cli {

bool Module::Load(const std::string& path, std::string* error) {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return false;
  }
  handle_ = module;
  create_ = reinterpret_cast<CreateKelvoCoreFn>(GetProcAddress(module, "CreateKelvoCore"));
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "dlopen failed";
    return false;
  }
  create_ = reinterpret_cast<CreateKelvoCoreFn>(dlsym(handle_, "CreateKelvoCore"));
#endif
  if (create_ == nullptr) {
    *error = "the module has no CreateKelvoCore export";
    return false;
  }
  return true;
}

Module::~Module() {
  if (handle_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

}  // namespace kelvo_cli
