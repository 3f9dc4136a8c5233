// Reading a file or an open descriptor for a streaming hash: two reader
// threads and three buffers for large regular files, plain reads on the
// calling thread for the rest.
#include "vexo/util/hash_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vexo::detail {
namespace {

// ---------------------------------------------------------------------------
// Descriptors and reads

[[noreturn]] void throw_errno(int error, const std::string& name) {
  throw std::system_error(error, std::generic_category(), name);
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

// Where fill() reads: with read(2) from the descriptor's position, or with
// pread(2) from `offset` (the reader threads share one descriptor and read
// runs at their own offsets).
struct Source {
  int fd;
  bool positioned = false;
  std::size_t offset = 0;
};

// Reads until `capacity` bytes are in `buffer`, the end is reached or a read
// fails. A pipe returns at most what its writer has written so far, so one
// read(2) is not enough to fill a run. `end_at` is where a regular file ends
// by its size (0 when unknown): a short read that stops there is the end,
// which saves the read that would return 0 (one of four system calls per
// small file). A file that grew since gives a full buffer instead, and one
// that shrank a short read elsewhere; both go on to read(2)'s own end.
Fill fill(Source from, unsigned char* buffer, std::size_t capacity, std::size_t end_at = 0) {
  Fill result;
  while (result.size < capacity) {
    const ssize_t n = from.positioned
                          ? ::pread(from.fd, buffer + result.size, capacity - result.size,
                                    static_cast<off_t>(from.offset + result.size))
                          : ::read(from.fd, buffer + result.size, capacity - result.size);
    if (n > 0) {
      result.size += static_cast<std::size_t>(n);
      if (result.size == end_at && result.size < capacity) {
        result.end = true;
        break;
      }
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

// Reads `fd` to its end on the calling thread, `capacity` bytes per run;
// `end_at` as for fill().
void read_on_this_thread(int fd, std::size_t capacity, const std::string& path, void* context,
                         FileConsumer consume, std::size_t end_at = 0) {
  const auto buffer = make_buffer(capacity);
  for (bool first = true;; first = false) {
    const Fill run = fill(Source{fd}, buffer.get(), capacity, first ? end_at : 0);
    if (run.size > 0) consume(context, buffer.get(), run.size);
    if (run.error != 0) throw_errno(run.error, path);
    if (run.end) return;
  }
}

// ---------------------------------------------------------------------------
// Runs read ahead by reader threads for the consumer

// Two reader threads, so that together they get as much of the machine's
// time as they need beside the hashing threads: the scheduler shares a core
// fairly between the threads on it, and with one reader against the caller
// and a KT helper, the reader, with about a third of the work, got a third of
// the time and became the bottleneck while a core stood idle. Three slots:
// one hashed, two being read.
constexpr std::size_t kReaders = 2;
constexpr std::size_t kSlots = kReaders + 1;

// Runs are numbered 0, 1, 2, ...; run i holds the bytes from offset
// start + i * capacity and goes into slot i % kSlots. A reader claims the next run
// once its slot is free (the consumer has released run i - kSlots), fills it
// and marks it ready; the consumer takes the runs in order. A short run is
// the end: no later run is claimed, and the consumer stops at it (later runs
// claimed before are dropped, even if the file has grown meanwhile). A slot
// belongs to one side at a time, so its bytes and Fill are touched without
// the lock; handing it over goes through the lock, which orders them.
class RunExchange {
 public:
  RunExchange(int fd, std::size_t start, std::size_t capacity)
      : fd_(fd), start_(start), capacity_(capacity) {
    for (Slot& slot : slots_) slot.data = make_buffer(capacity);
  }

  // Reader side: fills runs until the end, an error, or stop().
  void read_runs() {
    for (;;) {
      std::size_t run;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return stopped_ || ended_ || claimed_ - released_ < kSlots; });
        if (stopped_ || ended_) return;
        run = claimed_++;
      }
      Slot& slot = slots_[run % kSlots];
      slot.fill = fill(Source{fd_, true, start_ + run * capacity_}, slot.data.get(), capacity_);
      std::lock_guard<std::mutex> lock(mutex_);
      slot.ready = true;
      if (slot.fill.end || slot.fill.error != 0) ended_ = true;
      cv_.notify_all();
    }
  }

  // Consumer side: waits for the next run; its bytes stay valid until
  // release().
  const Fill& next(const unsigned char** data) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot& slot = slots_[released_ % kSlots];
    cv_.wait(lock, [&slot] { return slot.ready; });
    *data = slot.data.get();
    return slot.fill;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[released_ % kSlots].ready = false;
    ++released_;
    cv_.notify_all();
  }

  // Makes read_runs() return once its current run is filled.
  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    cv_.notify_all();
  }

 private:
  struct Slot {
    std::unique_ptr<unsigned char[]> data;
    Fill fill;
    /// Filled and not yet released; guarded by mutex_.
    bool ready = false;
  };

  const int fd_;
  const std::size_t start_;
  const std::size_t capacity_;
  Slot slots_[kSlots];
  /// Guards the slots' ready flags and the fields below.
  std::mutex mutex_;
  std::condition_variable cv_;
  std::size_t claimed_ = 0;   ///< runs taken by readers
  std::size_t released_ = 0;  ///< runs the consumer is done with
  bool ended_ = false;        ///< a run hit the end or an error
  bool stopped_ = false;      ///< the consumer left
};

// The reader threads, stopped and joined however the consumer leaves.
class Readers {
 public:
  explicit Readers(RunExchange& exchange) : exchange_(exchange) {}
  Readers(const Readers&) = delete;
  Readers& operator=(const Readers&) = delete;
  ~Readers() {
    exchange_.stop();
    for (std::thread& t : threads_) t.join();
  }

  // Starts up to `n` readers; returns how many run (fewer when the system
  // has no thread to give).
  std::size_t start(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      try {
        threads_.emplace_back([this] { exchange_.read_runs(); });
      } catch (const std::system_error&) {
        break;
      }
    }
    return threads_.size();
  }

 private:
  RunExchange& exchange_;
  std::vector<std::thread> threads_;
};

// Reads the regular file `fd` from offset `start` to its end; the readers use
// pread(2), which leaves the descriptor's offset alone, so it is set to the end
// of what was read afterwards, as read(2) would have left it.
void read_on_reader_threads(int fd, std::size_t start, const std::string& path, void* context,
                            FileConsumer consume) {
  RunExchange exchange(fd, start, kFileRunBytes);
  Readers readers(exchange);
  if (readers.start(kReaders) == 0) {
    // No thread to be had (EAGAIN): nothing was read yet, so read here.
    read_on_this_thread(fd, kFileRunBytes, path, context, consume);
    return;
  }
  std::size_t total = 0;
  for (;;) {
    const unsigned char* data = nullptr;
    const Fill& run = exchange.next(&data);
    if (run.size > 0) consume(context, data, run.size);
    total += run.size;
    if (run.error != 0) throw_errno(run.error, path);
    if (run.end) break;
    exchange.release();
  }
  if (::lseek(fd, static_cast<off_t>(start + total), SEEK_SET) < 0) throw_errno(errno, path);
}

// Reads `fd` from its offset to its end. `own` says that the descriptor was
// opened here, so that advice on its access pattern changes nothing of the
// caller's.
void read_from_offset(int fd, const std::string& name, bool own, void* context,
                      FileConsumer consume) {
  struct stat status;
  if (::fstat(fd, &status) != 0) throw_errno(errno, name);
  const off_t at = S_ISREG(status.st_mode) ? ::lseek(fd, 0, SEEK_CUR) : -1;
  if (at < 0) {
    read_on_this_thread(fd, kFileRunBytes, name, context, consume);
    return;
  }
  const auto start = static_cast<std::size_t>(at);
  const auto size = static_cast<std::size_t>(status.st_size);
  const std::size_t left = size > start ? size - start : 0;
  if (left < kFileRunBytes) {
    // One byte more than what is left, so that a file read whole sees its
    // end in the same run unless it grew (files in /proc report 0 and need
    // more).
    read_on_this_thread(fd, left < 4096 ? 4096 : left + 1, name, context, consume, left);
    return;
  }
  if (own) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  read_on_reader_threads(fd, start, name, context, consume);
}

}  // namespace

void read_file(const std::filesystem::path& path, void* context, FileConsumer consume) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw_errno(errno, path.string());
  const FileDescriptor file(fd);
  read_from_offset(fd, path.string(), true, context, consume);
}

void read_descriptor(int fd, const char* name, void* context, FileConsumer consume) {
  read_from_offset(fd, name != nullptr ? std::string(name) : "descriptor " + std::to_string(fd),
                   false, context, consume);
}

}  // namespace vexo::detail
