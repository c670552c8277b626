// libFuzzer target: the users file of the network listeners, and the names
// and passwords clients give against it. The first byte picks which.
// A file: what Parse takes has valid, distinct names and supported hashes,
// every listed command is allowed to its user and nothing to anyone else,
// and Load of the same bytes (0600, ours) agrees with Parse. A login: only
// the one right pair is let in.

#include <crypt.h>
#include <sys/stat.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/UsersFile.h"
#include "tests/fuzz/FileFuzz.h"

using namespace tessaro;

namespace {

bool ValidNameChars(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '@')) return false;
  return true;
}

// One user whose hash is cheap to check: few SHA-512 rounds.
const net::TUsersFile& Fixed() {
  static const net::TUsersFile file = [] {
    auto data = std::make_unique<crypt_data>();
    const char* hash = ::crypt_r("s3cret", "$6$rounds=1000$fuzzsalt", data.get());
    fuzz::Check(hash && hash[0] == '$');
    std::string error;
    auto parsed = net::TUsersFile::Parse(std::string("op:") + hash + ":test.battery.start\n", error);
    fuzz::Check(parsed.has_value());
    return *parsed;
  }();
  return file;
}

void FuzzFile(std::string_view text) {
  std::string error;
  const std::optional<net::TUsersFile> parsed = net::TUsersFile::Parse(text, error);
  fuzz::Check(parsed.has_value() == error.empty());
  if (parsed) {
    const auto& users = parsed->Users();
    for (size_t i = 0; i < users.size(); ++i) {
      fuzz::Check(ValidNameChars(users[i].Name));
      fuzz::Check(users[i].Hash.rfind("$y$", 0) == 0 || users[i].Hash.rfind("$6$", 0) == 0);
      for (size_t j = 0; j < i; ++j) fuzz::Check(users[j].Name != users[i].Name);
      for (const std::string& c : users[i].Commands) fuzz::Check(parsed->MayRun(users[i].Name, c));
    }
    fuzz::Check(!parsed->MayRun("", "test.battery.start"));
  }
  const std::string path = fuzz::ScratchDir() + "users";
  fuzz::WriteWholeFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  ::chmod(path.c_str(), 0600);
  std::string loadError;
  const std::optional<net::TUsersFile> loaded = net::TUsersFile::Load(path, loadError);
  if (text.size() <= 1024 * 1024) {
    fuzz::Check(loaded.has_value() == parsed.has_value());
    if (loaded) fuzz::Check(loaded->Users().size() == parsed->Users().size());
  }
}

void FuzzLogin(std::string_view input) {
  // NAME NUL PASSWORD, as a client's Basic credentials or USERNAME/PASSWORD.
  const size_t nul = input.find('\0');
  const std::string_view name = input.substr(0, nul);
  const std::string_view password = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
  const bool right = name == "op" && password == "s3cret";
  fuzz::Check(Fixed().Check(name, password) == right);
  fuzz::Check(Fixed().MayRun(name, password) == (name == "op" && password == "test.battery.start"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1)
    FuzzLogin(rest.substr(0, 4096));
  else
    FuzzFile(rest);
  return 0;
}
