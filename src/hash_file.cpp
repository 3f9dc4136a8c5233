// Reading a file for a streaming hash: one reader thread and two buffers for
// large regular files, plain reads on the calling thread for the rest.
#include "vexo/util/hash_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace vexo::detail {
namespace {

// ---------------------------------------------------------------------------
// Descriptors and reads

[[noreturn]] void throw_errno(int error, const std::filesystem::path& path) {
  throw std::system_error(error, std::generic_category(), path.string());
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Result of filling a buffer: the bytes read, whether read(2) reported the
// end, and its errno if it failed (0 otherwise).
struct Fill {
  std::size_t size = 0;
  bool end = false;
  int error = 0;
};

// Reads until `capacity` bytes are in `buffer`, the end is reached or a read
// fails. A pipe returns at most what its writer has written so far, so one
// read(2) is not enough to fill a run.
Fill fill(int fd, unsigned char* buffer, std::size_t capacity) {
  Fill result;
  while (result.size < capacity) {
    const ssize_t n = ::read(fd, buffer + result.size, capacity - result.size);
    if (n > 0) {
      result.size += static_cast<std::size_t>(n);
    } else if (n == 0) {
      result.end = true;
      break;
    } else if (errno != EINTR) {
      result.error = errno;
      break;
    }
  }
  return result;
}

std::unique_ptr<unsigned char[]> make_buffer(std::size_t size) {
  return std::make_unique_for_overwrite<unsigned char[]>(size);
}

// Reads `fd` to its end on the calling thread, `capacity` bytes per run.
void read_on_this_thread(int fd, std::size_t capacity, const std::filesystem::path& path,
                         void* context, FileConsumer consume) {
  const auto buffer = make_buffer(capacity);
  for (;;) {
    const Fill run = fill(fd, buffer.get(), capacity);
    if (run.size > 0) consume(context, buffer.get(), run.size);
    if (run.error != 0) throw_errno(run.error, path);
    if (run.end) return;
  }
}

// ---------------------------------------------------------------------------
// Two buffers between a reader thread and the consumer

// Runs are numbered 0, 1, 2, ... and run i goes into buffer i % 2. The reader
// fills run `published_` once the consumer has released run published_ - 2,
// the consumer takes run `released_` once it is published. A buffer belongs
// to exactly one side at a time, so its bytes and its Fill are touched
// without the lock; handing it over goes through the lock, which orders
// them.
class RunExchange {
 public:
  explicit RunExchange(std::size_t capacity)
      : buffers_{make_buffer(capacity), make_buffer(capacity)}, capacity_(capacity) {}

  // Reader side: fills runs until the end, an error, or stop().
  void read_all(int fd) {
    for (;;) {
      std::size_t run;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return stopped_ || published_ - released_ < 2; });
        if (stopped_) return;
        run = published_;
      }
      const Fill result = fill(fd, buffers_[run % 2].get(), capacity_);
      fills_[run % 2] = result;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++published_;
        cv_.notify_all();
      }
      if (result.end || result.error != 0) return;
    }
  }

  // Consumer side: waits for the next run; its bytes stay valid until
  // release().
  const Fill& next(const unsigned char** data) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return published_ > released_; });
    *data = buffers_[released_ % 2].get();
    return fills_[released_ % 2];
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++released_;
    cv_.notify_all();
  }

  // Makes read_all() return once its current run is filled.
  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    cv_.notify_all();
  }

 private:
  std::unique_ptr<unsigned char[]> buffers_[2];
  Fill fills_[2];
  const std::size_t capacity_;
  /// Guards the three fields below.
  std::mutex mutex_;
  std::condition_variable cv_;
  std::size_t published_ = 0;
  std::size_t released_ = 0;
  bool stopped_ = false;
};

// Stops and joins the reader thread however the consumer leaves.
class ReaderThread {
 public:
  ReaderThread(RunExchange& exchange, int fd)
      : exchange_(exchange), thread_([&exchange, fd] { exchange.read_all(fd); }) {}
  ReaderThread(const ReaderThread&) = delete;
  ReaderThread& operator=(const ReaderThread&) = delete;
  ~ReaderThread() {
    exchange_.stop();
    thread_.join();
  }

 private:
  RunExchange& exchange_;
  std::thread thread_;
};

void read_on_reader_thread(int fd, const std::filesystem::path& path, void* context,
                           FileConsumer consume) {
  RunExchange exchange(kFileRunBytes);
  std::optional<ReaderThread> reader;
  try {
    reader.emplace(exchange, fd);
  } catch (const std::system_error&) {
    // No thread to be had (EAGAIN): nothing was read yet, so read here.
    read_on_this_thread(fd, kFileRunBytes, path, context, consume);
    return;
  }
  for (;;) {
    const unsigned char* data = nullptr;
    const Fill& run = exchange.next(&data);
    if (run.size > 0) consume(context, data, run.size);
    if (run.error != 0) throw_errno(run.error, path);
    if (run.end) return;
    exchange.release();
  }
}

}  // namespace

void read_file(const std::filesystem::path& path, void* context, FileConsumer consume) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw_errno(errno, path);
  const FileDescriptor file(fd);
  struct stat status;
  if (::fstat(fd, &status) != 0) throw_errno(errno, path);
  if (!S_ISREG(status.st_mode)) {
    read_on_this_thread(fd, kFileRunBytes, path, context, consume);
    return;
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size < kFileRunBytes) {
    // One byte more than the size, so that a file read whole sees its end
    // in the same run unless it grew (files in /proc report 0 and need more).
    read_on_this_thread(fd, size < 4096 ? 4096 : size + 1, path, context, consume);
    return;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  read_on_reader_thread(fd, path, context, consume);
}

}  // namespace vexo::detail
