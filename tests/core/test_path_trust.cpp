// Which files and directories may be believed, the private directory for
// sockets, and the locks of a data directory, on real files. Cases that need
// another user's files run only as root (they chown to nobody).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/DataDirLock.h"
#include "core/PathTrust.h"

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

constexpr uid_t Nobody = 65534;

class PathTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("tessaro_trust_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    fs::permissions(Dir, fs::perms(0755));
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string Make(const std::string& rel, mode_t mode, bool directory) const {
    const fs::path p = Dir / rel;
    if (directory)
      fs::create_directories(p);
    else
      std::ofstream(p) << "x";
    ::chmod(p.c_str(), mode);
    return p.string();
  }
  std::string Path(const std::string& rel) const { return (Dir / rel).string(); }

  fs::path Dir;
};

TEST_F(PathTrust, OwnersAndWritersOfThePathAndOfEveryDirectoryAboveIt) {
  const bool root = ::geteuid() == 0;
  struct TCase {
    const char* Name;
    std::function<std::string()> Setup;  // returns the path to check
    TTrustProblem Problem;
    std::string At;  // the path at fault (relative to Dir), when any
    bool RootOnly = false;
  };
  const TCase cases[] = {
      {"own directory", [&] { return Make("d", 0755, true); }, TTrustProblem::None, ""},
      {"own file", [&] { return Make("f", 0644, false); }, TTrustProblem::None, ""},
      {"group may write", [&] { return Make("g", 0775, true); }, TTrustProblem::GroupWritable, "g"},
      {"others may write", [&] { return Make("o", 0646, false); }, TTrustProblem::OthersWritable, "o"},
      {"a sticky directory is no place to keep things", [&] { return Make("t", 01777, true); },
       TTrustProblem::OthersWritable, "t"},
      {"but what is ours inside one is ours",
       [&] {
         Make("t2", 01777, true);
         return Make("t2/f", 0644, false);
       },
       TTrustProblem::None, ""},
      {"a directory above that others may write",
       [&] {
         Make("w", 0777, true);
         return Make("w/f", 0644, false);
       },
       TTrustProblem::OthersWritable, "w"},
      {"a link to a file in such a directory",
       [&] {
         Make("w2", 0777, true);
         Make("w2/f", 0644, false);
         fs::create_symlink(Dir / "w2" / "f", Dir / "link");
         return Path("link");
       },
       TTrustProblem::OthersWritable, "w2"},
      {"a relative link to our own file",
       [&] {
         Make("real", 0644, false);
         fs::create_symlink("real", Dir / "rel");
         return Path("rel");
       },
       TTrustProblem::None, ""},
      {"missing below a trusted directory", [&] { return Path("none/deeper"); }, TTrustProblem::Missing, "none"},
      {"a loop of links",
       [&] {
         fs::create_symlink("b", Dir / "a");
         fs::create_symlink("a", Dir / "b");
         return Path("a");
       },
       TTrustProblem::TooManyLinks, "a"},
      {"another user's file",
       [&] {
         const std::string f = Make("theirs", 0755, false);
         EXPECT_EQ(::chown(f.c_str(), Nobody, Nobody), 0);
         return f;
       },
       TTrustProblem::OwnedByOther, "theirs", true},
      {"another user's directory above our file",
       [&] {
         const std::string d = Make("theirdir", 0755, true);
         Make("theirdir/f", 0644, false);
         EXPECT_EQ(::chown(d.c_str(), Nobody, Nobody), 0);
         return Path("theirdir/f");
       },
       TTrustProblem::OwnedByOther, "theirdir", true},
      {"another user's link in a sticky directory, to our file",
       [&] {
         Make("s", 01777, true);
         Make("mine", 0644, false);
         fs::create_symlink(Dir / "mine", Dir / "s" / "l");
         EXPECT_EQ(::lchown(Path("s/l").c_str(), Nobody, Nobody), 0);
         return Path("s/l");
       },
       TTrustProblem::OwnedByOther, "s/l", true},
  };
  for (const TCase& c : cases) {
    if (c.RootOnly && !root) continue;
    const std::string path = c.Setup();
    const TTrust t = CheckTrusted(path, ::geteuid());
    EXPECT_EQ(t.Problem, c.Problem) << c.Name << ": " << t.Text();
    // The link loop is reported for the path asked about.
    if (!c.At.empty()) {
      EXPECT_EQ(t.Path, c.Problem == TTrustProblem::TooManyLinks ? path : Path(c.At)) << c.Name;
    }
  }
  if (root) {
    const TTrust t = CheckTrusted(Path("theirs"), 0);
    EXPECT_EQ(t.Text(), Path("theirs") + " belongs to nobody (uid 65534)");
  }
  EXPECT_EQ(CheckTrusted(Path("o"), ::geteuid()).Text(), Path("o") + " may be written by others (mode 0646)");
  // Whoever owns a file may use it, root's files are trusted by everyone.
  EXPECT_TRUE(CheckTrusted("/etc/passwd", Nobody).Trusted());
}

TEST_F(PathTrust, DirectoriesAreMadeClosedToOthersWhateverTheUmask) {
  const mode_t old = ::umask(0);
  const std::error_code ec = MakeDirectories(Path("a/b/c"));
  ::umask(old);
  ASSERT_FALSE(ec) << ec.message();
  for (const char* d : {"a", "a/b", "a/b/c"}) {
    struct stat st {};
    ASSERT_EQ(::stat(Path(d).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u) << d;
  }
  EXPECT_TRUE(CheckTrusted(Path("a/b/c"), ::geteuid()).Trusted());
  Make("file", 0644, false);
  EXPECT_EQ(MakeDirectories(Path("file/sub")), std::errc::not_a_directory);
}

TEST_F(PathTrust, PrivateRuntimeDirectoryOrItsFallbackAndNeverAnotherUsers) {
  const uid_t uid = ::geteuid();
  const std::string tmp = Make("tmp", 01777, true);
  const std::string fallback = tmp + "/tessaro-" + std::to_string(uid);
  std::string why;

  const std::string run = Make("run", 0700, true);
  EXPECT_EQ(PrivateRuntimeDir(run.c_str(), tmp.c_str(), uid, why), run + "/tessaro/");
  struct stat st {};
  ASSERT_EQ(::stat((run + "/tessaro").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Unset, relative or open to others: the fallback, made private.
  const std::string open = Make("open", 0777, true);
  for (const char* xdg : {static_cast<const char*>(nullptr), "relative", open.c_str()}) {
    EXPECT_EQ(PrivateRuntimeDir(xdg, tmp.c_str(), uid, why), fallback + "/") << (xdg ? xdg : "unset") << why;
    ASSERT_EQ(::stat(fallback.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  EXPECT_FALSE(fs::exists(open + "/tessaro"));

  // Ours but open: closed again.
  ::chmod(fallback.c_str(), 0755);
  EXPECT_EQ(PrivateRuntimeDir(nullptr, tmp.c_str(), uid, why), fallback + "/");
  ASSERT_EQ(::stat(fallback.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A link put there first, even to a directory of ours, is refused.
  fs::remove(fallback);
  fs::create_symlink(run, fallback);
  EXPECT_EQ(PrivateRuntimeDir(nullptr, tmp.c_str(), uid, why), "");
  EXPECT_EQ(why, fallback + " is not a directory");
  fs::remove(fallback);

  if (uid == 0) {
    // Another user made it first.
    fs::create_directory(fallback);
    ASSERT_EQ(::chown(fallback.c_str(), Nobody, Nobody), 0);
    EXPECT_EQ(PrivateRuntimeDir(nullptr, tmp.c_str(), uid, why), "");
    EXPECT_EQ(why, fallback + " belongs to nobody (uid 65534)");
  }
}

// What a directory's owner can put under a log's name for someone else
// (root exporting) to read.
TEST_F(PathTrust, OwnedFileIsOpenedOnlyWhenPlainAndTheDirectoryOwnersOwn) {
  const bool root = ::geteuid() == 0;
  const std::string secret = Make("secret", 0600, false);
  for (const char* d : {"rec", "svc2", "rootdir"}) Make(d, 0755, true);
  struct TCase {
    const char* Name;
    std::function<std::string()> Setup;  // returns the path to open
    std::error_code Expected;
    bool RootOnly = false;
  };
  const TCase cases[] = {
      {"plain file", [&] { return Make("rec/a.dat", 0644, false); }, {}},
      {"link to a file",
       [&] {
         fs::create_symlink(secret, Dir / "rec" / "b.dat");
         return Path("rec/b.dat");
       },
       MakeErrorCode(TFileRefusal::SymbolicLink)},
      {"link to /dev/zero",
       [&] {
         fs::create_symlink("/dev/zero", Dir / "rec" / "c.dat");
         return Path("rec/c.dat");
       },
       MakeErrorCode(TFileRefusal::SymbolicLink)},
      {"FIFO",
       [&] {
         ::mkfifo(Path("rec/d.dat").c_str(), 0644);
         return Path("rec/d.dat");
       },
       MakeErrorCode(TFileRefusal::NotRegular)},
      {"directory", [&] { return Make("rec/e.dat", 0755, true); }, MakeErrorCode(TFileRefusal::NotRegular)},
      {"missing", [&] { return Path("rec/none.dat"); }, std::make_error_code(std::errc::no_such_file_or_directory)},
      {"root's file hard-linked into another user's directory",
       [&] {
         const std::string d = Make("svc", 0755, true);
         fs::create_hard_link(secret, Dir / "svc" / "f.dat");
         EXPECT_EQ(::chown(d.c_str(), Nobody, Nobody), 0);
         return Path("svc/f.dat");
       },
       MakeErrorCode(TFileRefusal::NotDirectoryOwners), true},
      {"the owner's own file",
       [&] {
         const std::string f = Make("svc2/g.dat", 0600, false);
         EXPECT_EQ(::chown(f.c_str(), Nobody, Nobody), 0);
         EXPECT_EQ(::chown(Path("svc2").c_str(), Nobody, Nobody), 0);
         return f;
       },
       {}, true},
      {"the owner's link to root's directory",
       [&] {
         Make("rootdir/h.dat", 0600, false);
         Make("svc3", 0755, true);
         fs::create_directory_symlink(Dir / "rootdir", Dir / "svc3" / "Record");
         EXPECT_EQ(::lchown(Path("svc3/Record").c_str(), Nobody, Nobody), 0);
         return Path("svc3/Record/h.dat");
       },
       MakeErrorCode(TFileRefusal::NotDirectoryOwners), true},
  };
  for (const TCase& c : cases) {
    if (c.RootOnly && !root) continue;
    std::error_code ec;
    const int fd = OpenOwnedFile(c.Setup(), ec);
    EXPECT_EQ(ec, c.Expected) << c.Name << ": " << ec.message();
    EXPECT_EQ(fd >= 0, !c.Expected) << c.Name;
    if (fd >= 0) ::close(fd);
  }
  // Callers that tell a FIFO from a file by the generic code still can.
  EXPECT_EQ(MakeErrorCode(TFileRefusal::NotRegular), std::errc::invalid_argument);
}

TEST(ShellQuote, QuotesOnlyWhatAShellWouldSplitOrExpand) {
  EXPECT_EQ(ShellQuote("/var/lib/tessaro"), "/var/lib/tessaro");
  EXPECT_EQ(ShellQuote("ComName=/dev/ttyUSB0"), "ComName=/dev/ttyUSB0");
  EXPECT_EQ(ShellQuote("UPS 1"), "'UPS 1'");
  EXPECT_EQ(ShellQuote("it's $HOME"), "'it'\\''s $HOME'");
  EXPECT_EQ(ShellQuote(""), "''");
}

TEST_F(PathTrust, InstanceLockIsHeldOnceAndNamesItsHolder) {
  const std::string data = Dir.string() + "/";
  TInstanceLock first, second;
  std::string error;
  ASSERT_TRUE(first.Acquire(data, error)) << error;
  EXPECT_FALSE(second.Acquire(data, error));
  EXPECT_EQ(error, "another Tessaro (pid " + std::to_string(::getpid()) + ") is running on " + data);
  EXPECT_EQ(second.Holder(), ::getpid());

  // The write lock is another byte: a configuration command goes on while a monitor runs.
  TWriteLock write;
  EXPECT_FALSE(write.Acquire(data, std::chrono::milliseconds(0)));
  TWriteLock blocked;
  const std::error_code ec = blocked.Acquire(data, std::chrono::milliseconds(50));
  EXPECT_EQ(ec.category(), LockCategory());
  EXPECT_NE(DescribeWriteLockError(ec, data).find("locked"), std::string::npos);
  write.Release();
  EXPECT_FALSE(blocked.Acquire(data, std::chrono::milliseconds(0)));

  first.Release();
  EXPECT_TRUE(second.Acquire(data, error)) << error;
}

TEST_F(PathTrust, LockFileIsNeverFollowedThroughALink) {
  const std::string victim = Make("victim", 0644, false);
  fs::create_symlink(victim, Dir / LockFileName);
  TInstanceLock lock;
  std::string error;
  EXPECT_FALSE(lock.Acquire(Dir.string() + "/", error));
  EXPECT_EQ(error, (Dir / LockFileName).string() + " is a symbolic link; remove it");
  TWriteLock write;
  EXPECT_EQ(write.Acquire(Dir.string() + "/"), std::errc::too_many_symbolic_link_levels);
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "x");
}

}  // namespace
