// hash_tree: hashes every file under one or more directories in parallel and
// writes a manifest of their digests (SHA3-256 unless --algorithm says else).
//
//   hash_tree [-j THREADS] [-o OUTDIR] [--algorithm sha3-256|kt128|...] DIR...
//
// Each file is one task on a vexo::util::ThreadPool. Progress goes to standard
// error while the pool works. The manifest is written to OUTDIR (default: the
// current directory) under a date-stamped name such as
// 2024-07-01T130509-hash_tree.sha3-256 (.kt128, ... after the algorithm, which
// takes the names of sha3sum's -a or sha3-224 to sha3-512); each line is
// "<hex digest>  <path>",
// the path in escaped file-name text (no slashes, no control characters), in
// path order. Ctrl-C stops cleanly: pending tasks are removed, running ones
// finish, and no manifest is written (exit status 130).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "file_hasher.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/string_util.hpp"
#include "vexo/util/time_util.hpp"

namespace {

namespace fs = std::filesystem;

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_sigint(int) { interrupted.store(true); }

struct Entry {
  std::string path;
  std::string digest;  // hex; empty if the file could not be read
};

void usage() {
  std::fprintf(stderr, "usage: hash_tree [-j THREADS] [-o OUTDIR] [--algorithm NAME] DIR...\n");
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t threads = std::max(2u, std::thread::hardware_concurrency());
  std::string out_dir = ".";
  std::vector<std::string> roots;
  const example::Algorithm* algo = example::find_algorithm("256");
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-j" && i + 1 < argc) {
      threads = std::strtoul(argv[++i], nullptr, 10);
    } else if (arg == "--algorithm" && i + 1 < argc) {
      const std::string name = argv[++i];
      algo = example::find_algorithm(name.rfind("sha3-", 0) == 0 ? name.substr(5) : name);
      if (algo == nullptr) usage();
    } else if (arg == "-o" && i + 1 < argc) {
      out_dir = argv[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      usage();
    } else {
      roots.push_back(arg);
    }
  }
  if (roots.empty()) usage();

  std::vector<Entry> entries;
  for (const std::string& root : roots) {
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec)) entries.push_back({it->path().generic_string(), {}});
    }
    if (ec) std::fprintf(stderr, "hash_tree: %s: %s\n", root.c_str(), ec.message().c_str());
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.path < b.path; });

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
    // waits for room seldom rather than once per file.
    vexo::util::ThreadPool pool(threads, 1024);
    for (Entry& entry : entries) {
      auto task = [&entry, algo, &files_done, &bytes_done] {
        std::size_t bytes = 0;
        if (auto digest = example::hash_file(entry.path, *algo, algo->digest_bytes, &bytes)) {
          entry.digest = example::to_hex(*digest);
        }
        bytes_done += bytes;
        ++files_done;
      };
      // A full queue means the workers are busy: wait for room (a finished
      // task makes some), looking up every 100 ms for progress and Ctrl-C.
      while (!interrupted.load() &&
             !pool.add_task_wait(task, std::chrono::milliseconds(100), entry.path)) {
        report_progress(false);
      }
      if (interrupted.load()) break;
      report_progress(false);
    }
    while (!interrupted.load() && !pool.wait_idle_for(std::chrono::milliseconds(100))) {
      report_progress(false);
    }
    if (interrupted.load()) {
      const std::size_t removed = pool.remove_pending_tasks();
      std::fprintf(stderr, "\ninterrupted: %zu queued files dropped, waiting for %zu running\n",
                   removed, std::size_t{pool.get_running_task_ids().size()});
      return 130;  // the pool's destructor waits for the running tasks
    }
  }
  report_progress(true);
  if (tty) std::fputc('\n', stderr);

  std::string extension(algo->tag);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string name =
      (fs::path(out_dir) / vexo::get_isodate_filename("hash_tree", extension)).string();
  std::FILE* manifest = std::fopen(name.c_str(), "w");
  if (manifest == nullptr) {
    std::perror(name.c_str());
    return 1;
  }
  std::size_t unreadable = 0;
  for (const Entry& entry : entries) {
    if (entry.digest.empty()) {
      ++unreadable;
      std::fprintf(stderr, "hash_tree: cannot read %s\n", entry.path.c_str());
      continue;
    }
    std::fprintf(manifest, "%s  %s\n", entry.digest.c_str(),
                 vexo::escape_filename_characters(entry.path).c_str());
  }
  std::fclose(manifest);
  std::printf("hashed %zu files (%.1f MiB) on %zu threads in %.3f s\nmanifest: %s\n",
              entries.size() - unreadable, static_cast<double>(bytes_done.load()) / (1 << 20),
              threads, vexo::get_unix_time() - t0, name.c_str());
  std::printf("first entries:\n");
  std::FILE* in = std::fopen(name.c_str(), "r");
  char line[512];
  for (int i = 0; in != nullptr && i < 3 && std::fgets(line, sizeof line, in) != nullptr; ++i) {
    std::printf("  %s", line);
  }
  if (in != nullptr) std::fclose(in);
  return unreadable == 0 ? 0 : 1;
}
