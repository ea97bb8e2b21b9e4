// Loading the client module the way a game client does: by path at run
// time, then the one export looked up by name.
#ifndef KELVO_TOOLS_KELVO_CLI_MODULE_H_
#define KELVO_TOOLS_KELVO_CLI_MODULE_H_

#include <string>

#include "kelvo/kelvo_core.h"

namespace kelvo_cli {

class Module {
 public:
  Module() = default;
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Loads `path` and finds CreateKelvoCore. On failure returns false and
  // leaves the reason in *error.
  bool Load(const std::string& path, std::string* error);
  CreateKelvoCoreFn create() const { return create_; }

 private:
  void* handle_ = nullptr;
  CreateKelvoCoreFn create_ = nullptr;
};

}  // namespace kelvo_cli

#endif  // KELVO_TOOLS_KELVO_CLI_MODULE_H_
