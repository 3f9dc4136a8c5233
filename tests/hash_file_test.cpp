// update_from_file: the bytes and runs of regular files on both sides of the
// run size, a FIFO fed in uneven pieces, /dev/null, errors naming the path, a
// file that shrinks and grows while it is read, and an exception from the
// hasher leaving neither a thread nor a descriptor behind.
#include "vexo/util/hash_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "test_support.hpp"
#include "vexo/util/Hasher.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/k12.hpp"
#include "vexo/util/sha3.hpp"

namespace {

namespace fs = std::filesystem;
using vexo::detail::kFileRunBytes;
using vexo::test::Bytes;

// Byte i of every file here is i mod 251, so a byte out of place shows.
unsigned char pattern_byte(std::size_t i) { return static_cast<unsigned char>(i % 251); }

Bytes pattern(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = pattern_byte(i);
  return out;
}

// A streaming object that keeps what it is given, and the size of each call.
struct Recorder {
  void update(tamu::span<const unsigned char> data) {
    bytes.insert(bytes.end(), data.begin(), data.end());
    calls.push_back(data.size());
  }
  Bytes bytes;
  std::vector<std::size_t> calls;
};

// A directory of its own per test, removed at the end.
class HashFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vexo_hash_file_test." + std::to_string(::getpid()) + "." +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write_file(const std::string& name, const Bytes& data) {
    const fs::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return path;
  }

  fs::path dir_;
};

std::size_t count_entries(const char* directory) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
}

// The number of threads of the process once the joined ones are gone.
// Natively that is the count right after the join. Under qemu-user a join
// returns as the thread's emulated exit wakes it, a moment before the
// emulator's own thread ends and leaves /proc/self/task: there it waits up
// to 30 s for `expected`.
std::size_t settled_thread_count(std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::size_t count = count_entries("/proc/self/task");
  while (vexo::test::emulated() && count != expected &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = count_entries("/proc/self/task");
  }
  return count;
}

TEST_F(HashFileTest, RegularFilesGiveTheirBytesInRunsAndTheOneShotHash) {
  const std::size_t sizes[] = {0,
                               1,
                               4095,
                               4096,
                               4097,
                               kFileRunBytes - 1,
                               kFileRunBytes,
                               kFileRunBytes + 1,
                               2 * kFileRunBytes + 12345};
  for (const std::size_t size : sizes) {
    SCOPED_TRACE(testing::Message() << "size " << size);
    const Bytes data = pattern(size);
    const fs::path path = write_file("f", data);

    Recorder recorder;
    vexo::update_from_file(recorder, path);
    ASSERT_TRUE(recorder.bytes == data);
    // Large files come in whole runs but the last one, so that KT gets whole
    // batches; no call is empty.
    for (std::size_t i = 0; i < recorder.calls.size(); ++i) {
      EXPECT_GT(recorder.calls[i], 0u);
      if (size >= kFileRunBytes && i + 1 < recorder.calls.size()) {
        EXPECT_EQ(recorder.calls[i], kFileRunBytes);
      }
    }
    if (size < kFileRunBytes) {
      EXPECT_LE(recorder.calls.size(), 1u);
    }

    vexo::Sha3_256 sha3;
    vexo::update_from_file(sha3, path);
    EXPECT_EQ(sha3.finalize(), vexo::sha3_256(data));
  }

  // KT with its leaves on a pool, as the tools use it: the class and the
  // run-time Hasher.
  const Bytes data = pattern(2 * kFileRunBytes + 12345);
  const fs::path path = write_file("kt", data);
  vexo::util::ThreadPool pool(2, 16);
  Bytes expected(64);
  vexo::kt_128(data, {}, expected);
  vexo::Kt128 kt(&pool);
  vexo::update_from_file(kt, path);
  Bytes got(64);
  kt.finalize_xof().read(got);
  EXPECT_EQ(got, expected);
  std::optional<vexo::Hasher> hasher = vexo::Hasher::by_name("KT128", &pool);
  ASSERT_TRUE(hasher);
  vexo::update_from_file(*hasher, path);
  Bytes from_hasher(64);
  hasher->finalize(from_hasher);
  EXPECT_EQ(from_hasher, expected);
}

// A consumer much slower than the readers, over more runs than there are
// buffers (three): each run's bytes must stay as read until the consumer
// returns, so a buffer handed back to the readers too early shows as bytes
// out of place. The pause only gives such a fault time to show; the test
// cannot fail on a loaded machine when the hand-over is right.
TEST_F(HashFileTest, SlowConsumerSeesEveryRunIntactOverSixRunsAndMore) {
  const std::size_t size = 6 * kFileRunBytes + 4321;
  const fs::path path = write_file("slow", pattern(size));
  struct SlowChecker {
    void update(tamu::span<const unsigned char> data) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != pattern_byte(offset + i)) {
          ++bad_runs;
          break;
        }
      }
      offset += data.size();
      ++runs;
    }
    std::size_t offset = 0;
    std::size_t runs = 0;
    std::size_t bad_runs = 0;
  } checker;
  vexo::update_from_file(checker, path);
  EXPECT_EQ(checker.offset, size);
  EXPECT_EQ(checker.runs, 7u);
  EXPECT_EQ(checker.bad_runs, 0u);
}

// A descriptor is read from where it stands, through the reader threads too
// (which read at offsets of their own), and left at the end of what was read,
// so that a second call reads nothing; the descriptor stays open.
TEST_F(HashFileTest, DescriptorIsReadFromItsOffsetAndLeftAtTheEnd) {
  const Bytes data = pattern(2 * kFileRunBytes + 12345);
  const fs::path path = write_file("f", data);
  for (const std::size_t offset :
       {std::size_t{0}, std::size_t{6}, kFileRunBytes + 3, data.size() - 100, data.size()}) {
    SCOPED_TRACE(testing::Message() << "offset " << offset);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, static_cast<off_t>(offset), SEEK_SET), static_cast<off_t>(offset));
    Recorder recorder;
    vexo::update_from_fd(recorder, fd);
    EXPECT_TRUE(recorder.bytes ==
                Bytes(data.begin() + static_cast<std::ptrdiff_t>(offset), data.end()));
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), static_cast<off_t>(data.size()));
    Recorder again;
    vexo::update_from_fd(again, fd, "again");
    EXPECT_TRUE(again.bytes.empty());
    EXPECT_EQ(::close(fd), 0);  // still open: the call did not close it
  }
  Recorder recorder;
  try {
    vexo::update_from_fd(recorder, -1);
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::bad_file_descriptor);
    EXPECT_EQ(std::string(e.what()), "descriptor -1: Bad file descriptor");
  }
}

TEST_F(HashFileTest, StreamsAFifoAndDevNullToTheirEnd) {
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // More than a run, written in uneven pieces with pauses, so that reads
  // return short counts and a run needs many of them.
  const Bytes data = pattern(kFileRunBytes + kFileRunBytes / 3 + 7);
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    std::mt19937_64 rng(42);
    for (std::size_t done = 0; fd >= 0 && done < data.size();) {
      const std::size_t n = std::min<std::size_t>(1 + rng() % 200000, data.size() - done);
      const ssize_t w = ::write(fd, data.data() + done, n);
      if (w <= 0) break;
      done += static_cast<std::size_t>(w);
      if (rng() % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fd >= 0) ::close(fd);
  });
  Recorder recorder;
  vexo::update_from_file(recorder, fifo);
  writer.join();
  EXPECT_TRUE(recorder.bytes == data);
  EXPECT_EQ(recorder.calls.size(), 2u);  // one whole run, then the rest

  Recorder empty;
  vexo::update_from_file(empty, "/dev/null");
  EXPECT_TRUE(empty.calls.empty());
  vexo::Sha3_256 sha3;
  vexo::update_from_file(sha3, "/dev/null");
  EXPECT_EQ(sha3.finalize(), vexo::sha3_256({}));
}

TEST_F(HashFileTest, ErrorsCarryErrnoAndThePath) {
  Recorder recorder;
  const fs::path missing = dir_ / "no such file";
  try {
    vexo::update_from_file(recorder, missing);
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(std::string(e.what()), missing.string() + ": No such file or directory");
  }
  // A directory opens, then fails to read: the read error names it too.
  try {
    vexo::update_from_file(recorder, dir_);
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::is_a_directory);
    EXPECT_NE(std::string(e.what()).find(dir_.string()), std::string::npos) << e.what();
  }
  EXPECT_TRUE(recorder.bytes.empty());
}

// Returns the offset of the first byte of `got` that is neither data[i] nor
// zero, or got.size() if there is none.
std::size_t first_foreign_byte(const Bytes& got, const Bytes& data) {
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] != data[i] && got[i] != 0) return i;
  }
  return got.size();
}

TEST_F(HashFileTest, FileThatShrinksAndGrowsWhileReadGivesItsBytesInPlace) {
  const std::size_t max_size = 3 * kFileRunBytes;
  const Bytes data = pattern(max_size);
  const fs::path path = write_file("moving", data);
  // Another thread cuts the file short and writes it back up, always with the
  // same byte at the same offset. A read then returns those bytes, the end,
  // or zeros: Linux zeroes the tail of the page that a cut falls into, and a
  // read racing the cut may copy that tail.
  std::atomic<bool> stop{false};
  std::thread mover([&] {
    const int fd = ::open(path.c_str(), O_WRONLY);
    std::mt19937_64 rng(7);
    while (fd >= 0 && !stop.load()) {
      const auto cut = static_cast<off_t>(rng() % max_size);
      if (::ftruncate(fd, cut) != 0) break;
      for (std::size_t at = static_cast<std::size_t>(cut); at < max_size && !stop.load();) {
        const std::size_t n = std::min<std::size_t>(1 << 20, max_size - at);
        if (::pwrite(fd, data.data() + at, n, static_cast<off_t>(at)) <= 0) break;
        at += n;
      }
    }
    if (fd >= 0) ::close(fd);
  });
  std::vector<Bytes> reads;
  for (int i = 0; i < 20; ++i) {
    Recorder recorder;
    vexo::update_from_file(recorder, path);
    reads.push_back(std::move(recorder.bytes));
  }
  stop = true;
  mover.join();
  for (const Bytes& got : reads) {
    ASSERT_LE(got.size(), max_size);
    EXPECT_EQ(first_foreign_byte(got, data), got.size()) << "read " << got.size() << " bytes";
  }
}

struct HasherFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws from its `fail_at`-th update (counting from 1).
struct FailingHasher {
  void update(tamu::span<const unsigned char>) {
    if (++calls == fail_at) throw HasherFailure("update failed");
  }
  int fail_at;
  int calls = 0;
};

TEST_F(HashFileTest, ExceptionFromUpdatePropagatesAndLeavesNoThreadOrDescriptor) {
  const fs::path large = write_file("large", pattern(3 * kFileRunBytes + 5));
  const fs::path small = write_file("small", pattern(100));
  // One call that succeeds first: a sanitizer's runtime starts a thread of its
  // own with the first thread the process creates, and keeps it.
  Recorder warm_up;
  vexo::update_from_file(warm_up, large);
  const std::size_t threads = count_entries("/proc/self/task");
  const std::size_t descriptors = count_entries("/proc/self/fd");
  // The first run (the reader then fills the second buffer or waits for it),
  // a middle one and the last one of the large file; the one run of the small.
  for (const auto& [path, fail_at] :
       {std::pair{large, 1}, std::pair{large, 2}, std::pair{large, 4}, std::pair{small, 1}}) {
    SCOPED_TRACE(path.string() + " " + std::to_string(fail_at));
    FailingHasher hasher{fail_at};
    EXPECT_THROW(vexo::update_from_file(hasher, path), HasherFailure);
    EXPECT_EQ(hasher.calls, fail_at);
    EXPECT_EQ(settled_thread_count(threads), threads);
    EXPECT_EQ(count_entries("/proc/self/fd"), descriptors);
  }
}

}  // namespace
