#include "vexo/util/file_system.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Each test works in a fresh directory of its own, removed afterwards.
class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vexo_file_system_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << "mkdtemp: " << errno;
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  std::string path(const std::string& name) const { return (root_ / name).string(); }

  static void write_file(const std::string& p) {
    std::ofstream(p) << "content";
    ASSERT_TRUE(fs::is_regular_file(p)) << p;
  }

  static mode_t mode_of(const std::string& p) {
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
  }

  fs::path root_;
};

// Sets the umask for the life of the object.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

TEST_F(FileSystemTest, CreatesDirectoryWithModeUnderUmask) {
  ScopedUmask mask(022);
  const std::string dir = path("made");
  EXPECT_TRUE(vexo::make_directory(dir));  // default permissions 0777
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_EQ(mode_of(dir), 0755u);

  const std::string narrow = path("narrow");
  EXPECT_TRUE(vexo::make_directory(narrow, 0700));
  EXPECT_EQ(mode_of(narrow), 0700u);

  ScopedUmask none(0);
  const std::string wide = path("wide");
  EXPECT_TRUE(vexo::make_directory(wide, 0777));
  EXPECT_EQ(mode_of(wide), 0777u);
}

TEST_F(FileSystemTest, ExistingDirectoryIsSuccessAndLeftAlone) {
  ScopedUmask mask(022);
  const std::string dir = path("existing");
  ASSERT_TRUE(vexo::make_directory(dir, 0700));
  write_file(dir + "/inside");
  EXPECT_TRUE(vexo::make_directory(dir, 0777));
  EXPECT_EQ(mode_of(dir), 0700u);  // the new permissions are not applied
  EXPECT_TRUE(fs::is_regular_file(dir + "/inside"));
  // A symbolic link to a directory serves as well.
  const std::string link = path("link");
  ASSERT_EQ(::symlink(dir.c_str(), link.c_str()), 0);
  EXPECT_TRUE(vexo::make_directory(link));
  EXPECT_TRUE(fs::is_symlink(link));
}

TEST_F(FileSystemTest, NonDirectoryAtPathIsFailureWithEexist) {
  const std::string file = path("plain_file");
  write_file(file);
  errno = 0;
  EXPECT_FALSE(vexo::make_directory(file));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_TRUE(fs::is_regular_file(file));

  // A dangling symbolic link is an entry too, but not a directory.
  const std::string dangling = path("dangling");
  ASSERT_EQ(::symlink(path("nowhere").c_str(), dangling.c_str()), 0);
  errno = 0;
  EXPECT_FALSE(vexo::make_directory(dangling));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(fs::exists(path("nowhere")));

  // So is a symbolic link to a file.
  const std::string to_file = path("to_file");
  ASSERT_EQ(::symlink(file.c_str(), to_file.c_str()), 0);
  errno = 0;
  EXPECT_FALSE(vexo::make_directory(to_file));
  EXPECT_EQ(errno, EEXIST);
}

TEST_F(FileSystemTest, MakeFailuresSetErrno) {
  errno = 0;
  EXPECT_FALSE(vexo::make_directory(path("missing/child")));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(fs::exists(path("missing")));

  errno = 0;
  EXPECT_FALSE(vexo::make_directory(""));
  EXPECT_EQ(errno, ENOENT);

  const std::string file = path("file");
  write_file(file);
  errno = 0;
  EXPECT_FALSE(vexo::make_directory(file + "/child"));
  EXPECT_EQ(errno, ENOTDIR);

  errno = 0;
  EXPECT_FALSE(vexo::make_directory(path(std::string(300, 'n'))));
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(FileSystemTest, PermissionDenied) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "running as root: mkdir and rmdir ignore directory "
                    "permissions, so EACCES cannot be provoked";
  }
  const std::string locked = path("locked");
  ASSERT_TRUE(vexo::make_directory(locked, 0700));
  ASSERT_TRUE(vexo::make_directory(locked + "/inner"));
  ASSERT_EQ(::chmod(locked.c_str(), 0500), 0);
  errno = 0;
  EXPECT_FALSE(vexo::make_directory(locked + "/child"));
  EXPECT_EQ(errno, EACCES);
  errno = 0;
  EXPECT_FALSE(vexo::remove_directory(locked + "/inner"));
  EXPECT_EQ(errno, EACCES);
  ::chmod(locked.c_str(), 0700);
}

TEST_F(FileSystemTest, NameIsCutAtZeroCharacter) {
  const std::string with_zero("cut\0tail", 8);
  EXPECT_TRUE(vexo::make_directory(path(with_zero)));
  EXPECT_TRUE(fs::is_directory(path("cut")));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
  EXPECT_TRUE(vexo::remove_directory(path(with_zero)));
  EXPECT_FALSE(fs::exists(path("cut")));
}

TEST_F(FileSystemTest, RemovesOnlyEmptyDirectories) {
  const std::string dir = path("to_remove");
  ASSERT_TRUE(vexo::make_directory(dir));
  EXPECT_TRUE(vexo::remove_directory(dir));
  EXPECT_FALSE(fs::exists(dir));

  const std::string full = path("full");
  ASSERT_TRUE(vexo::make_directory(full));
  write_file(full + "/file");
  errno = 0;
  EXPECT_FALSE(vexo::remove_directory(full));
  EXPECT_EQ(errno, ENOTEMPTY);
  EXPECT_TRUE(fs::is_regular_file(full + "/file"));

  const std::string nested = path("nested");
  ASSERT_TRUE(vexo::make_directory(nested));
  ASSERT_TRUE(vexo::make_directory(nested + "/sub"));
  EXPECT_FALSE(vexo::remove_directory(nested));
  EXPECT_TRUE(fs::is_directory(nested + "/sub"));
}

TEST_F(FileSystemTest, RemoveFailuresSetErrno) {
  errno = 0;
  EXPECT_FALSE(vexo::remove_directory(path("absent")));
  EXPECT_EQ(errno, ENOENT);

  errno = 0;
  EXPECT_FALSE(vexo::remove_directory(""));
  EXPECT_EQ(errno, ENOENT);

  const std::string file = path("file");
  write_file(file);
  errno = 0;
  EXPECT_FALSE(vexo::remove_directory(file));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_TRUE(fs::is_regular_file(file));

  // rmdir does not follow a symbolic link to a directory.
  const std::string dir = path("dir");
  const std::string link = path("link");
  ASSERT_TRUE(vexo::make_directory(dir));
  ASSERT_EQ(::symlink(dir.c_str(), link.c_str()), 0);
  errno = 0;
  EXPECT_FALSE(vexo::remove_directory(link));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_TRUE(fs::is_directory(dir));
}

TEST_F(FileSystemTest, ConcurrentCreatorsAllSucceed) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    const std::string dir = path("race" + std::to_string(round));
    std::atomic<int> ready{0};
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&] {
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        if (vexo::make_directory(dir)) ++succeeded;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(succeeded.load(), kThreads) << dir;
    EXPECT_TRUE(fs::is_directory(dir));
  }
}

}  // namespace
