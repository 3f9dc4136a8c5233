// hash_tree: hashes every file under one or more directories in parallel and
// writes a manifest of their digests (SHA3-256 unless --algorithm says else).
//
//   hash_tree [-j THREADS] [-o OUTDIR] [--algorithm NAME] ROOT...
//
// Files go to a vexo::util::ThreadPool in small batches; each is opened here
// and read with vexo::update_from_fd; KT's leaves of large files go to the
// same pool.
// Progress goes to standard error while the pool works. The manifest is in
// `sha3sum --tag` form, "<TAG> (<path>) = <hex digest>", in path order, each
// path as `find ROOT -type f` prints it and escaped as sha3sum escapes names,
// so that `sha3sum -c MANIFEST` run from the same directory checks the
// trees. It is written to OUTDIR (default: the current directory) under a
// date-stamped name such as 2024-07-01T130509-hash_tree.sha3-256 (.kt128, ...
// after the algorithm); a name already taken gets a counter
// (...-hash_tree-1.sha3-256), so that no manifest is ever overwritten. NAME
// is one of sha3sum's -a names. Symbolic links under a root are not
// followed, as find does not (a root that is one is, as with find -H);
// FIFOs, sockets and devices are skipped and counted on standard error.
// OUTDIR must be a writable directory, which is checked before any hashing.
// Ctrl-C stops cleanly: pending tasks are removed, running ones finish, and
// no manifest is written (exit status 130). Exit status 1 when a root or a
// file could not be read or the arguments are wrong.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "file_hasher.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/hash_file.hpp"
#include "vexo/util/time_util.hpp"

namespace {

namespace fs = std::filesystem;

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_sigint(int) { interrupted.store(true); }

// Entry::error of a path that is no longer a regular file when it is opened.
constexpr int kNotRegular = -1;

struct Entry {
  std::string path;
  std::string digest;  // hex; empty if the file could not be read
  int error = 0;       // errno of the failed open or read, or kNotRegular
};

constexpr char kUsage[] =
    "usage: hash_tree [-j THREADS (1 to 256)] [-o OUTDIR] [--algorithm NAME] ROOT...\n";

[[noreturn]] void usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "hash_tree: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  std::exit(1);
}

[[noreturn]] void print_help() {
  std::printf(
      "%s"
      "Hash every regular file under each ROOT (a directory, or a file) in parallel and\n"
      "write a manifest of their digests in 'sha3sum --tag' form, in path order, to a new\n"
      "date-stamped file in OUTDIR; 'sha3sum -c MANIFEST' run from the same directory\n"
      "checks the trees. Symbolic links under a root are not followed.\n"
      "\n"
      "  -j THREADS          worker threads (1 to 256; default: the hardware threads)\n"
      "  -o OUTDIR           where the manifest goes (default: the current directory);\n"
      "                        it must be a writable directory\n"
      "  --algorithm NAME    any name of sha3sum -a (default SHA3-256)\n"
      "  --help              display this help and exit\n"
      "\n"
      "Ctrl-C stops without writing a manifest (exit status 130). Exit status 1 when a\n"
      "root or a file could not be read or the arguments are wrong.\n",
      kUsage);
  std::exit(0);
}

// Opens `path` for reading, checks that it is still a regular file (the walk
// saw one, but it may have been replaced since: a FIFO opened without
// O_NONBLOCK would wait for a writer) and feeds it to `hasher`. Throws
// std::system_error as vexo::update_from_fd does; returns false for a path
// that is no longer a regular file.
template <class H>
bool hash_regular_file(const std::string& path, H& hasher) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  struct Close {
    int fd;
    ~Close() { ::close(fd); }
  } close{fd};
  struct stat status;
  if (::fstat(fd, &status) != 0) throw std::system_error(errno, std::generic_category(), path);
  if (!S_ISREG(status.st_mode)) return false;
  vexo::update_from_fd(hasher, fd, path.c_str());
  return true;
}

// Opens a new manifest file in `dir`, never one that exists: the
// date-stamped name, then the same with -1, -2, ... Returns the stream and
// sets *name; null (with errno) on failure.
std::FILE* create_manifest(const std::string& dir, const std::string& extension,
                           std::string* name) {
  for (int counter = 0; counter < 10000; ++counter) {
    const std::string stem = counter == 0 ? "hash_tree" : "hash_tree-" + std::to_string(counter);
    *name = (fs::path(dir) / vexo::get_isodate_filename(stem, extension)).string();
    const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return ::fdopen(fd, "w");
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

// Counts of what was skipped because it is not a regular file.
struct Skipped {
  void count(fs::file_type type) {
    if (type == fs::file_type::fifo) ++fifos;
    if (type == fs::file_type::socket) ++sockets;
    if (type == fs::file_type::block || type == fs::file_type::character) ++devices;
  }
  std::size_t fifos = 0, sockets = 0, devices = 0;
};

// Returns the type of a directory entry without following a symbolic link,
// from what the directory listing said where it can (no lstat per file).
fs::file_type entry_type(const fs::directory_entry& entry) {
  std::error_code ec;
  if (entry.is_symlink(ec)) return fs::file_type::symlink;
  return entry.status(ec).type();
}

// Calls `on_file(path)` for each regular file under `dir`, named as find
// prints it, and counts what it skips; does not follow symbolic links. Stops
// early when on_file returns false. Returns false, after a message, if `dir`
// or a directory under it could not be read (the rest is still walked).
template <class OnFile>
bool walk_directory(const fs::path& dir, OnFile& on_file, Skipped* skipped) {
  bool ok = true;
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::file_type type = entry_type(*it);
    if (type == fs::file_type::directory) {
      ok = walk_directory(it->path(), on_file, skipped) && ok;
    } else if (type == fs::file_type::regular) {
      if (!on_file(it->path().string())) return ok;
    } else {
      skipped->count(type);
    }
  }
  if (ec) {
    std::fprintf(stderr, "hash_tree: %s: %s\n", dir.c_str(), ec.message().c_str());
    ok = false;
  }
  return ok;
}

// As walk_directory for a root, which may also be a file.
template <class OnFile>
bool walk_root(const std::string& root, OnFile& on_file, Skipped* skipped) {
  std::error_code ec;
  const fs::file_status status = fs::status(root, ec);
  if (ec) {
    std::fprintf(stderr, "hash_tree: %s: %s\n", root.c_str(), ec.message().c_str());
    return false;
  }
  if (fs::is_directory(status)) return walk_directory(root, on_file, skipped);
  if (fs::is_regular_file(status)) {
    on_file(root);
  } else {
    skipped->count(status.type());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t threads = std::max(2u, std::thread::hardware_concurrency());
  std::string out_dir = ".";
  std::vector<std::string> roots;
  const example::Algorithm* algo = example::find_algorithm("256");
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-') {
      roots.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help") {
      print_help();
    } else if (arg == "-j" && i + 1 < argc) {
      const char* text = argv[++i];
      errno = 0;
      char* end = nullptr;
      const long long value = std::strtoll(text, &end, 10);
      if (end == text || *end != '\0' || errno == ERANGE || value < 1 || value > 256) {
        usage(std::string("invalid number of threads '") + text + "'");
      }
      threads = static_cast<std::size_t>(value);
    } else if (arg == "--algorithm" && i + 1 < argc) {
      algo = example::find_algorithm(argv[++i]);
      if (algo == nullptr) usage(std::string("unknown algorithm '") + argv[i] + "'");
    } else if (arg == "-o" && i + 1 < argc) {
      out_dir = argv[++i];
    } else {
      usage("unknown option or missing value '" + arg + "'");
    }
  }
  if (roots.empty()) usage("no ROOT given");
  // The manifest's directory is checked now, not after the hashing.
  std::error_code out_error;
  if (!fs::is_directory(out_dir, out_error)) {
    std::fprintf(stderr, "hash_tree: %s: %s\n", out_dir.c_str(),
                 out_error ? out_error.message().c_str() : std::strerror(ENOTDIR));
    return 1;
  }
  if (::access(out_dir.c_str(), W_OK | X_OK) != 0) {
    std::fprintf(stderr, "hash_tree: %s: %s\n", out_dir.c_str(), std::strerror(errno));
    return 1;
  }

  // Files are hashed while the roots are walked, so that the walk overlaps
  // the hashing; a deque keeps each entry where its task finds it.
  std::deque<Entry> entries;
  Skipped skipped;
  bool roots_ok = true;

  std::signal(SIGINT, on_sigint);  // the pool's workers block SIGINT: it reaches this thread
  std::atomic<std::size_t> files_done{0}, bytes_done{0};
  const double t0 = vexo::get_unix_time();
  const bool tty = isatty(STDERR_FILENO) != 0;
  double last_report = 0;
  auto report_progress = [&](bool force) {
    const double now = vexo::get_unix_time();
    if (!force && now - last_report < (tty ? 0.1 : 1.0)) return;
    last_report = now;
    std::fprintf(stderr, "%shashed %zu of %zu files, %.1f MiB%s", tty ? "\r" : "",
                 files_done.load(), entries.size(),
                 static_cast<double>(bytes_done.load()) / (1 << 20), tty ? "" : "\n");
  };

  {
    // Room for many small files ahead of the workers, so that the submitter
    // waits for room seldom rather than once per file; KT's helpers for the
    // leaves of large files queue behind them and are dropped if no worker
    // gets to them first.
    vexo::util::ThreadPool pool(threads, 1024);
    // Hashes one file into its entry.
    auto hash_entry = [algo, &pool, &bytes_done](Entry& entry) {
      // Counts the bytes on their way to the hasher, for the progress line.
      struct Counting {
        void update(tamu::span<const unsigned char> data) {
          hasher.update(data);
          bytes += data.size();
        }
        vexo::Hasher hasher;
        std::size_t bytes = 0;
      } counting{example::make_hasher(*algo, &pool)};
      try {
        if (!hash_regular_file(entry.path, counting)) {
          entry.error = kNotRegular;
        } else if (!example::hex_output(
                       counting.hasher, algo->digest_bytes,
                       [&entry](const char* hex, std::size_t n) { entry.digest.append(hex, n); })) {
          entry.error = ENOMEM;
        }
      } catch (const std::system_error& e) {
        entry.error = e.code().value();
      } catch (const std::bad_alloc&) {
        entry.error = ENOMEM;
      }
      bytes_done += counting.bytes;
    };
    // Files go to the pool a few at a time: for a tree of small files, one
    // task per file would cost about as much in queueing and wake-ups as the
    // hashing itself.
    constexpr std::size_t kBatch = 8;
    std::vector<Entry*> batch;
    auto submit_batch = [&] {
      auto task = [files = std::move(batch), &hash_entry, &files_done] {
        for (Entry* entry : files) {
          if (interrupted.load()) return;
          hash_entry(*entry);
          ++files_done;
        }
      };
      batch.clear();
      // A full queue means the workers are busy: wait for room (a finished
      // task makes some), looking up every 100 ms for progress and Ctrl-C.
      while (!interrupted.load() &&
             !pool.add_task_wait(task, std::chrono::milliseconds(100), "files")) {
        report_progress(false);
      }
      report_progress(false);
    };
    auto on_file = [&](std::string path) {
      batch.push_back(&entries.emplace_back(Entry{std::move(path), {}}));
      if (batch.size() == kBatch) submit_batch();
      return !interrupted.load();
    };
    for (const std::string& root : roots) {
      if (interrupted.load()) break;
      roots_ok = walk_root(root, on_file, &skipped) && roots_ok;
    }
    if (!batch.empty()) submit_batch();
    if (skipped.fifos + skipped.sockets + skipped.devices > 0) {
      std::fprintf(stderr,
                   "hash_tree: skipped, not regular files: %zu FIFO(s), %zu socket(s), %zu "
                   "device(s)\n",
                   skipped.fifos, skipped.sockets, skipped.devices);
    }
    while (!interrupted.load() && !pool.wait_idle_for(std::chrono::milliseconds(100))) {
      report_progress(false);
    }
    if (interrupted.load()) {
      const std::size_t removed = pool.remove_pending_tasks();
      std::fprintf(stderr, "\ninterrupted: %zu queued files dropped, waiting for %zu running\n",
                   removed, std::size_t{pool.get_running_task_ids().size()});
      // The running tasks use the locals of this block (hash_entry and what it
      // refers to), which are destroyed before the pool's destructor would
      // wait for them: wait here, while they live. They stop at their next
      // file.
      pool.wait_idle();
      return 130;
    }
  }
  report_progress(true);
  if (tty) std::fputc('\n', stderr);

  if (entries.empty() && !roots_ok) return 1;  // nothing to list: no empty manifest

  std::string extension(algo->tag);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string name;
  std::FILE* manifest = create_manifest(out_dir, extension, &name);
  if (manifest == nullptr) {
    std::fprintf(stderr, "hash_tree: %s: %s\n", name.c_str(), std::strerror(errno));
    return 1;
  }
  std::vector<const Entry*> sorted;
  sorted.reserve(entries.size());
  for (const Entry& entry : entries) sorted.push_back(&entry);
  std::sort(sorted.begin(), sorted.end(),
            [](const Entry* a, const Entry* b) { return a->path < b->path; });
  std::size_t unreadable = 0;
  for (const Entry* e : sorted) {
    const Entry& entry = *e;
    if (entry.error != 0) {
      ++unreadable;
      std::fprintf(
          stderr, "hash_tree: %s: %s\n", entry.path.c_str(),
          entry.error == kNotRegular ? "no longer a regular file" : std::strerror(entry.error));
      continue;
    }
    // sha3sum --tag's line, escaped the same way.
    const bool escaped = example::needs_escape(entry.path);
    std::fprintf(manifest, "%s%.*s (%s) = %s\n", escaped ? "\\" : "",
                 static_cast<int>(algo->tag.size()), algo->tag.data(),
                 (escaped ? example::escape_name(entry.path) : entry.path).c_str(),
                 entry.digest.c_str());
  }
  if (std::fclose(manifest) != 0) {
    std::fprintf(stderr, "hash_tree: %s: %s\n", name.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("hashed %zu files (%.1f MiB) on %zu threads in %.3f s\nmanifest: %s\n",
              entries.size() - unreadable, static_cast<double>(bytes_done.load()) / (1 << 20),
              threads, vexo::get_unix_time() - t0, name.c_str());
  std::printf("first entries:\n");
  // Whole lines, however long their paths.
  std::FILE* in = std::fopen(name.c_str(), "r");
  char* line = nullptr;
  std::size_t capacity = 0;
  for (int i = 0; in != nullptr && i < 3 && ::getline(&line, &capacity, in) > 0; ++i) {
    std::printf("  %s", line);
  }
  std::free(line);
  if (in != nullptr) std::fclose(in);
  return roots_ok && unreadable == 0 ? 0 : 1;
}
