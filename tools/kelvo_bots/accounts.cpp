#include "accounts.h"

#include <cstring>
#include <sstream>
#include <unordered_set>

#include <openssl/evp.h>

namespace kelvo_bots {
namespace {

bool ParseId(const std::string& text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value == 0 || value > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// A word of a seed line: no blank and no comment sign.
bool IsSeedWord(const std::string& word) {
  return !word.empty() && word.find_first_of(" \t\r\n#") == std::string::npos;
}

}  // namespace

bool ParseSeedAccounts(const std::string& text, std::vector<Account>* out, std::string* error) {
  out->clear();
  std::unordered_set<uint32_t> seen;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string kind, id, name, password;
    if (!(words >> kind) || kind != "user") continue;
    Account account;
    if (!(words >> id >> name >> password) || !ParseId(id, &account.id)) {
      *error = "line " + std::to_string(number) + ": expected user <id> <name> <password>";
      return false;
    }
    if (!seen.insert(account.id).second) {
      *error = "line " + std::to_string(number) + ": user " + id + " is defined twice";
      return false;
    }
    account.password = password;
    out->push_back(std::move(account));
  }
  if (out->empty()) {
    *error = "no user records";
    return false;
  }
  return true;
}

bool NumberedAccounts(uint32_t first, uint32_t count, const std::string& pattern,
                      std::vector<Account>* out, std::string* error) {
  out->clear();
  if (first == 0 || count == 0 || uint64_t{first} + count - 1 > 0xFFFFFFFFull) {
    *error = "the ids " + std::to_string(first) + " to " + std::to_string(uint64_t{first} + count - 1) +
             " are not all between 1 and 4294967295";
    return false;
  }
  out->reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    Account account;
    account.id = first + i;
    const std::string id = std::to_string(account.id);
    std::size_t from = 0;
    for (;;) {
      const std::size_t at = pattern.find("{id}", from);
      account.password.append(pattern, from, at == std::string::npos ? std::string::npos : at - from);
      if (at == std::string::npos) break;
      account.password += id;
      from = at + 4;
    }
    if (!IsSeedWord(account.password)) {
      *error = "the password pattern must give one word without '#'";
      return false;
    }
    out->push_back(std::move(account));
  }
  return true;
}

std::string SeedText(const std::vector<Account>& accounts) {
  std::string text = "# kelvo-bots accounts: user <id> <name> <password>\n";
  for (const Account& a : accounts) {
    text += "user " + std::to_string(a.id) + " bot" + std::to_string(a.id) + " " + a.password + "\n";
  }
  return text;
}

bool PasswordDigest(const std::string& password, std::array<uint8_t, 16>* digest) {
  unsigned int size = 0;
  unsigned char md[EVP_MAX_MD_SIZE];
  if (EVP_Digest(password.data(), password.size(), md, &size, EVP_md5(), nullptr) != 1 ||
      size != 16) {
    return false;
  }
  std::memcpy(digest->data(), md, 16);
  return true;
}

}  // namespace kelvo_bots
