// The descriptor limit of a program that holds one socket per client or
// connection (kelvo-server, kelvo-bots, the scale bench): raised to what it
// needs where the process may, and said in words where it may not, since a
// crowd that runs out shows only as "too many open files" further on.
#ifndef KELVO_TOOLS_COMMON_DESCRIPTOR_LIMIT_H_
#define KELVO_TOOLS_COMMON_DESCRIPTOR_LIMIT_H_

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace kelvo {
namespace tools {

// Raises the soft limit to `need` (or to the hard limit), and the hard limit
// too when the process may (root with CAP_SYS_RESOURCE, up to the kernel's
// fs.nr_open). Returns the soft limit it ends with; when that is below
// `need`, writes one line to stderr that starts with `program`, names both
// limits, and says how to raise them.
inline rlim_t RaiseDescriptorLimit(rlim_t need, const char* program) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return 0;
  if (files.rlim_cur >= need) return files.rlim_cur;
  if (files.rlim_max < need) {
    rlim_t ceiling = need;
    if (std::FILE* f = std::fopen("/proc/sys/fs/nr_open", "r")) {
      unsigned long v = 0;
      if (std::fscanf(f, "%lu", &v) == 1 && v < need) ceiling = v;
      std::fclose(f);
    }
    // Refused without the capability; then the hard limit is what there is.
    const rlimit raised{ceiling, ceiling};
    if (ceiling > files.rlim_max && setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
  }
  if (files.rlim_cur < files.rlim_max && files.rlim_cur < need) {
    files.rlim_cur = std::min(files.rlim_max, need);
    if (setrlimit(RLIMIT_NOFILE, &files) != 0) getrlimit(RLIMIT_NOFILE, &files);
  }
  if (files.rlim_cur < need && program != nullptr) {
    std::fprintf(stderr,
                 "%s: the descriptor limit is %lu (hard limit %lu), below the %lu needed: "
                 "connections past it fail with \"too many open files\". Raise it with "
                 "`ulimit -n` (the hard limit as root: `ulimit -Hn`, or LimitNOFILE= in a "
                 "systemd unit).\n",
                 program, static_cast<unsigned long>(files.rlim_cur),
                 static_cast<unsigned long>(files.rlim_max), static_cast<unsigned long>(need));
  }
  return files.rlim_cur;
}

}  // namespace tools
}  // namespace kelvo

#endif  // KELVO_TOOLS_COMMON_DESCRIPTOR_LIMIT_H_
