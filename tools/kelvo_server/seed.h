// Loading the server's accounts, groups, friendships and pending requests
// from a seed file, or the built-in demo set.
#ifndef KELVO_SERVER_SEED_H_
#define KELVO_SERVER_SEED_H_

#include <string>

#include "directory.h"

namespace kelvo {
namespace server {

// Parses seed text (UTF-8, format in README.md). On error returns false with
// `error` naming the line.
bool LoadSeed(const std::string& text, Directory* out, std::string* error);

// The demo data set, as seed text and loaded.
const char* DemoSeedText();
Directory DemoDirectory();

}  // namespace server
}  // namespace kelvo

#endif  // KELVO_SERVER_SEED_H_
