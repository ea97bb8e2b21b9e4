// The accounts the bots log in with: the `user` records of a seed file in
// kelvo-server's format, or a numbered range sharing one password pattern
// (which can be written out as a seed file for the server).
#ifndef KELVO_TOOLS_KELVO_BOTS_ACCOUNTS_H_
#define KELVO_TOOLS_KELVO_BOTS_ACCOUNTS_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo_bots {

struct Account {
  uint32_t id = 0;
  std::string password;  // UTF-8, as in the seed file
};

// Every `user <id> <name> <password> [gm=N]` line of `text`, in file order;
// other records are skipped. False with the line number in *error on a
// malformed user line, a repeated id, or no user at all.
bool ParseSeedAccounts(const std::string& text, std::vector<Account>* out, std::string* error);

// Ids first, first+1, ... (count of them); the password is `pattern` with
// every "{id}" replaced by the account's id. False with *error when the
// range passes 4294967295 or the password would not be one seed-file word.
bool NumberedAccounts(uint32_t first, uint32_t count, const std::string& pattern,
                      std::vector<Account>* out, std::string* error);

// Seed text that kelvo-server loads: one user line per account, named
// "bot<id>".
std::string SeedText(const std::vector<Account>& accounts);

// The 16-byte MD5 digest that Login sends for a password.
bool PasswordDigest(const std::string& password, std::array<uint8_t, 16>* digest);

}  // namespace kelvo_bots

#endif  // KELVO_TOOLS_KELVO_BOTS_ACCOUNTS_H_
