#include "support/process_watch.h"

#include <thread>

#if defined(__linux__)
#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <string>
#endif

namespace kelvo {
namespace test {

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

#if defined(__linux__)
int LoopThreads() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
      if (FILE* f = std::fopen(path.c_str(), "r")) {
        char name[32] = {};
        if (std::fgets(name, sizeof name, f) != nullptr && std::strncmp(name, "kelvo-", 6) == 0) ++n;
        std::fclose(f);
      }
    }
    ::closedir(d);
  }
  return n;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}
#endif

}  // namespace test
}  // namespace kelvo
