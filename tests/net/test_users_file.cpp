#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "net/UsersFile.h"

namespace tessaro::net {
namespace {

std::string MakeHash(const char* prefix, const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  EXPECT_NE(::crypt_gensalt_rn(prefix, 0, nullptr, 0, salt, sizeof salt), nullptr);
  auto data = std::make_unique<crypt_data>();
  return ::crypt_r(password.c_str(), salt, data.get());
}

class UsersFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tessaro-users-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    FDir = pattern;
    FPath = FDir + "/users";
  }
  void TearDown() override { std::filesystem::remove_all(FDir); }

  void Write(const std::string& text, mode_t mode) {
    std::ofstream(FPath) << text;
    ASSERT_EQ(::chmod(FPath.c_str(), mode), 0);
  }

  std::string FDir, FPath;
};

TEST_F(UsersFileTest, ChecksYescryptAndSha512PasswordsAndCommands) {
  Write("# who may act\n"
        "operator:" + MakeHash("$y$", "s3cret") + ":test.battery.start, test.battery.stop\n"
        "\n"
        "admin:" + MakeHash("$6$", "root pw") + ":all\r\n"
        "viewer:" + MakeHash("$y$", "look") + "\n",
        0600);
  std::string error;
  const auto users = TUsersFile::Load(FPath, error);
  ASSERT_TRUE(users) << error;
  EXPECT_TRUE(users->Check("operator", "s3cret"));
  EXPECT_FALSE(users->Check("operator", "s3cret "));
  EXPECT_FALSE(users->Check("operator", ""));
  EXPECT_TRUE(users->Check("admin", "root pw"));
  EXPECT_TRUE(users->Check("viewer", "look"));
  EXPECT_FALSE(users->Check("nobody", "look"));
  EXPECT_FALSE(users->Check("viewer", std::string("look\0x", 6)));

  EXPECT_TRUE(users->MayRun("operator", "test.battery.stop"));
  EXPECT_FALSE(users->MayRun("operator", "load.off"));
  EXPECT_TRUE(users->MayRun("admin", "load.off"));
  EXPECT_FALSE(users->MayRun("viewer", "test.battery.start"));
  EXPECT_FALSE(users->MayRun("nobody", "load.off"));
}

TEST_F(UsersFileTest, RefusesFilesOthersCouldReadOrChange) {
  const std::string line = "op:" + MakeHash("$y$", "pw") + ":all\n";
  struct Case {
    mode_t Mode;
    bool Accepted;
  };
  for (const Case c : {Case{0600, true}, Case{0640, true}, Case{0400, true}, Case{0644, false}, Case{0604, false},
                       Case{0620, false}, Case{0602, false}}) {
    Write(line, c.Mode);
    std::string error;
    EXPECT_EQ(TUsersFile::Load(FPath, error).has_value(), c.Accepted) << std::oct << c.Mode << " " << error;
    if (!c.Accepted) {
      EXPECT_NE(error.find("others"), std::string::npos) << error;
    }
  }
}

TEST_F(UsersFileTest, RefusesAFileOwnedByAnotherUserAndAnythingButAFile) {
  Write("op:" + MakeHash("$y$", "pw") + "\n", 0600);
  std::string error;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(FPath.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(TUsersFile::Load(FPath, error));
    EXPECT_NE(error.find("owned by"), std::string::npos) << error;
  }
  const std::string fifo = FDir + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(TUsersFile::Load(fifo, error));  // and does not hang
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  EXPECT_FALSE(TUsersFile::Load(FDir + "/missing", error));
}

TEST(UsersFileParse, ThePrimaryRoleIsAWordOfItsOwnAndAllDoesNotGrantIt) {
  const std::string hash = MakeHash("$6$", "pw");
  std::string error;
  const auto users = TUsersFile::Parse("mon:" + hash + ":primary\n"
                                       "both:" + hash + ":primary, test.battery.start\n"
                                       "admin:" + hash + ":all\n"
                                       "old:" + hash + ":test.battery.start\n"
                                       "viewer:" + hash + "\n",
                                       error);
  ASSERT_TRUE(users) << error;
  const std::tuple<const char*, bool, bool> rows[] = {
      // user     primary  may run test.battery.start
      {"mon",    true,  false},
      {"both",   true,  true},
      {"admin",  false, true},
      {"old",    false, true},
      {"viewer", false, false},
      {"nobody", false, false},
  };
  for (const auto& [name, primary, test] : rows) {
    EXPECT_EQ(users->IsPrimary(name), primary) << name;
    EXPECT_EQ(users->MayRun(name, "test.battery.start"), test) << name;
  }
}

TEST(UsersFileParse, RefusesPlainPasswordsAndMalformedLines) {
  const std::string hash = MakeHash("$y$", "pw");
  for (const std::string& text : {std::string("op:secret\n"), std::string("op\n"), std::string("op:$1$abc$def\n"),
                                 ":" + hash + "\n", "o p:" + hash + "\n", "op:" + hash + "\nop:" + hash + "\n"}) {
    std::string error;
    EXPECT_FALSE(TUsersFile::Parse(text, error)) << text;
    EXPECT_NE(error.find("line "), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace tessaro::net
