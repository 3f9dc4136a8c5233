// sha3sum: prints or checks SHA-3, SHAKE, TurboSHAKE, KT and Keccak-256
// checksums of files, with the conventions of coreutils' checksum programs.
//
//   sha3sum [OPTION]... [FILE]...
//   sha3sum -c [OPTION]... [CHECKFILE]...
//
// See print_help() for the options. With no FILE, or when FILE is -, reads
// standard input. Prints one line per file, "<hex digest>  <name>", or with
// --tag "<TAG> (<name>) = <hex digest>"; a name holding a newline, a carriage
// return or a backslash is written with those as \n, \r and \\ and the line
// starts with a backslash. With -c, reads lines of either form and reports
// "<name>: OK", "<name>: FAILED" or "<name>: FAILED open or read", then a
// warning per kind of trouble; a tagged line names its algorithm, for the
// others it comes from -a or, for SHA-3, from the length of the digest.
// Files are streamed (vexo::update_from_file; standard input with
// vexo::update_from_fd on descriptor 0, from where it stands), and -l output
// is squeezed in pieces, so that any size takes constant memory (but for
// ParallelHash, whose output is made whole). Exit status: 0 if all went well,
// 1 otherwise.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "file_hasher.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/hash_file.hpp"

namespace {

using example::Algorithm;
using vexo::Hasher;

constexpr std::uint64_t kMaxLength = std::uint64_t{1} << 60;
constexpr long long kMaxJobs = 256;

// Writes "sha3sum: <message>" to standard error, after what standard output
// holds, so that a log of both keeps their order (coreutils' error() flushes
// standard output first too).
void message(const char* format, ...) __attribute__((format(printf, 1, 2)));
void message(const char* format, ...) {
  std::fflush(stdout);
  std::fputs("sha3sum: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

[[noreturn]] void try_help() {
  std::fputs("Try 'sha3sum --help' for more information.\n", stderr);
  std::exit(1);
}

[[noreturn]] void usage_error(const std::string& text) {
  message("%s", text.c_str());
  try_help();
}

[[noreturn]] void print_help() {
  std::printf(
      "Usage: sha3sum [OPTION]... [FILE]...\n"
      "Print or check SHA-3, SHAKE, TurboSHAKE, KT and Keccak-256 checksums.\n"
      "\n"
      "With no FILE, or when FILE is -, read standard input.\n"
      "  -a, --algorithm=NAME  SHA3-224, SHA3-256 (default), SHA3-384, SHA3-512, SHAKE128,\n"
      "                          SHAKE256, TurboSHAKE128, TurboSHAKE256, KT128, KT256,\n"
      "                          Keccak-256, ParallelHash128 or ParallelHash256, in any\n"
      "                          case, with or without the dash; 224 to 512 for SHA-3\n"
      "  -l, --length=BYTES    output length of the extendable-output algorithms\n"
      "                          (1 to 2^60; default 32 for the 128 ones, 64 for the 256 ones)\n"
      "  -j, --jobs=N          hash up to N files at once (1 to 256), and KT's leaves on\n"
      "                          the same threads; output stays in argument order\n"
      "      --tag             create a BSD-style checksum\n"
      "  -c, --check           read checksums from the FILEs and check them\n"
      "\n"
      "The following five options are useful only when verifying checksums:\n"
      "      --ignore-missing  don't fail or report status for missing files\n"
      "      --quiet           don't print OK for each successfully verified file\n"
      "      --status          don't output anything, status code shows success\n"
      "      --strict          exit non-zero for improperly formatted checksum lines\n"
      "  -w, --warn            warn about improperly formatted checksum lines\n"
      "\n"
      "      --help            display this help and exit\n"
      "      --version         output version information and exit\n");
  std::exit(0);
}

struct Options {
  const Algorithm* algo = nullptr;
  std::optional<std::uint64_t> length;
  std::size_t jobs = 0;
  bool check = false;
  bool tag = false;
  bool quiet = false;
  bool status = false;
  bool strict = false;
  bool ignore_missing = false;
  bool warn = false;
};

// Parses a whole decimal number in [min, max]; nothing otherwise.
std::optional<std::uint64_t> parse_number(const char* text, long long min, long long max) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || value < min || value > max) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

Options parse_options(int argc, char** argv, std::vector<std::string>* names) {
  enum : int { kTag = 256, kQuiet, kStatus, kStrict, kIgnoreMissing, kHelp, kVersion };
  static const option kLong[] = {
      {"algorithm", required_argument, nullptr, 'a'},
      {"length", required_argument, nullptr, 'l'},
      {"jobs", required_argument, nullptr, 'j'},
      {"check", no_argument, nullptr, 'c'},
      {"warn", no_argument, nullptr, 'w'},
      {"tag", no_argument, nullptr, kTag},
      {"quiet", no_argument, nullptr, kQuiet},
      {"status", no_argument, nullptr, kStatus},
      {"strict", no_argument, nullptr, kStrict},
      {"ignore-missing", no_argument, nullptr, kIgnoreMissing},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  Options opt;
  // getopt's own messages name the long option as given ("option '--tag'
  // doesn't allow an argument", "option '--st' is ambiguous; ..."), after
  // argv[0], which is made the program's name.
  argv[0] = const_cast<char*>("sha3sum");
  for (int c; (c = getopt_long(argc, argv, "a:l:j:cw", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'a':
        opt.algo = example::find_algorithm(optarg);
        if (opt.algo == nullptr) usage_error(std::string("unknown algorithm '") + optarg + "'");
        break;
      case 'l':
        opt.length = parse_number(optarg, 1, static_cast<long long>(kMaxLength));
        if (!opt.length) {
          usage_error(std::string("invalid length '") + optarg + "' (1 to 2^60 bytes)");
        }
        break;
      case 'j':
        if (const auto jobs = parse_number(optarg, 1, kMaxJobs)) {
          opt.jobs = static_cast<std::size_t>(*jobs);
        } else {
          usage_error(std::string("invalid number of jobs '") + optarg + "' (1 to 256)");
        }
        break;
      case 'c':
        opt.check = true;
        break;
      // Of -w, --quiet and --status the last one given wins, as in coreutils.
      case 'w':
        opt.warn = true;
        opt.quiet = opt.status = false;
        break;
      case kTag:
        opt.tag = true;
        break;
      case kQuiet:
        opt.quiet = true;
        opt.warn = opt.status = false;
        break;
      case kStatus:
        opt.status = true;
        opt.warn = opt.quiet = false;
        break;
      case kStrict:
        opt.strict = true;
        break;
      case kIgnoreMissing:
        opt.ignore_missing = true;
        break;
      case kHelp:
        print_help();
      case kVersion:
        std::printf("sha3sum (vexo_util) %s\n", example::library_version());
        std::exit(0);
      default:  // getopt has said what is wrong
        try_help();
    }
  }
  for (int i = optind; i < argc; ++i) names->push_back(argv[i]);
  if (names->empty()) names->push_back("-");
  if (opt.check && opt.tag) usage_error("the --tag option is meaningless when verifying checksums");
  // One message per option that only -c uses, in coreutils' order and words.
  const std::pair<bool, const char*> verify_only[] = {
      {opt.ignore_missing, "ignore-missing"},
      {opt.status, "status"},
      {opt.warn, "warn"},
      {opt.quiet, "quiet"},
      {opt.strict, "strict"},
  };
  for (const auto& [given, name] : verify_only) {
    if (given && !opt.check) {
      usage_error(std::string("the --") + name +
                  " option is meaningful only when verifying checksums");
    }
  }
  if (opt.length && (opt.algo == nullptr || !opt.algo->extendable)) {
    usage_error("-l applies to the extendable-output algorithms only");
  }
  // ParallelHash binds the length into its output, which is then made whole
  // in memory (an output that cannot be had is refused per file).
  if (opt.length && *opt.length > (std::uint64_t{1} << 30) && opt.algo != nullptr &&
      opt.algo->tag.starts_with("ParallelHash")) {
    usage_error("-l for ParallelHash goes up to 2^30 bytes");
  }
  return opt;
}

// Returns `name` as coreutils quotes file names in its messages: as it is if
// the shell would take it as it is, else in single quotes with control
// characters as $'\n' and the like; in double quotes when it holds an
// apostrophe and nothing that double quotes would expand.
std::string quote(std::string_view name) {
  const auto control = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
  const auto special = [&](unsigned char c) {
    return control(c) || std::strchr(" !\"$&'()*;<=>?[\\^`|:", c) != nullptr;
  };
  if (!name.empty() && name[0] != '#' && name[0] != '~' &&
      std::none_of(name.begin(), name.end(), special)) {
    return std::string(name);
  }
  const auto count = [&](auto pred) { return std::count_if(name.begin(), name.end(), pred); };
  if (count([](char c) { return c == '\''; }) > 0 &&
      count([&](unsigned char c) { return control(c) || std::strchr("$`\\\"", c) != nullptr; }) ==
          0) {
    return "\"" + std::string(name) + "\"";
  }
  std::string out = "'";
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\'') {
      out += "'\\''";
    } else if (control(u)) {
      char escape[16];
      if (c == '\n' || c == '\r' || c == '\t') {
        std::snprintf(escape, sizeof escape, "'$'\\%c''", c == '\n' ? 'n' : c == '\r' ? 'r' : 't');
      } else {
        std::snprintf(escape, sizeof escape, "'$'\\%03o''", u);
      }
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "'";
}

// ---------------------------------------------------------------------------
// Hashing one file

// The hasher that took a whole file, or the errno that stopped it.
struct Hashed {
  std::optional<Hasher> hasher;
  int error = 0;
};

// "-" is standard input, read from descriptor 0 where it stands, as
// coreutils reads it: after `(dd bs=6 count=1; sha3sum) < f` the hash covers
// what dd left, and a second "-" reads what the first left (nothing, but on a
// terminal). Reopening /dev/stdin instead would start a regular file over and
// fail on a socket. The callers run these one at a time, in argument order.
Hashed hash_named(const std::string& name, const Algorithm& algo, vexo::util::ThreadPool* pool) {
  try {
    Hasher hasher = example::make_hasher(algo, pool);
    if (name == "-") {
      vexo::update_from_fd(hasher, STDIN_FILENO, "-");
    } else {
      vexo::update_from_file(hasher, name);
    }
    return {std::move(hasher), 0};
  } catch (const std::system_error& e) {
    return {std::nullopt, e.code().value()};
  } catch (const std::bad_alloc&) {
    return {std::nullopt, ENOMEM};
  }
}

// Writes a name as a checksum line holds it, escaped as the line's leading
// backslash says.
void put_name(const std::string& name, bool escaped) {
  const std::string text = escaped ? example::escape_name(name) : name;
  std::fwrite(text.data(), 1, text.size(), stdout);
}

int print_sums(const std::vector<std::string>& names, const Options& opt,
               vexo::util::ThreadPool* pool) {
  const Algorithm& algo = opt.algo != nullptr ? *opt.algo : *example::find_algorithm("256");
  const std::uint64_t length = opt.length.value_or(algo.digest_bytes);
  struct Result {
    const std::string* name;
    Hashed hashed;
  };
  int status = 0;
  example::InOrder<Result> runner(pool, 2 * opt.jobs, [&](Result& r) {
    const std::string& name = *r.name;
    if (!r.hashed.hasher) {
      message("%s: %s", quote(name).c_str(), std::strerror(r.hashed.error));
      status = 1;
      return;
    }
    const bool escaped = example::needs_escape(name);
    // The line starts with the first piece of hex, so that an output that
    // cannot be had leaves no part of a line behind.
    bool started = false;
    const auto put_hex = [&](const char* hex, std::size_t n) {
      if (!started) {
        started = true;
        if (escaped) std::fputc('\\', stdout);
        if (opt.tag) {
          std::printf("%.*s (", static_cast<int>(algo.tag.size()), algo.tag.data());
          put_name(name, escaped);
          std::fputs(") = ", stdout);
        }
      }
      std::fwrite(hex, 1, n, stdout);
    };
    if (!example::hex_output(*r.hashed.hasher, length, put_hex)) {
      message("%s: memory exhausted: %.*s makes its %llu bytes of output whole",
              quote(name).c_str(), static_cast<int>(algo.tag.size()), algo.tag.data(),
              static_cast<unsigned long long>(length));
      status = 1;
      return;
    }
    if (!opt.tag) {
      std::fputs("  ", stdout);
      put_name(name, escaped);
    }
    std::fputc('\n', stdout);
  });
  for (const std::string& name : names) {
    // Standard input on this thread, in argument order: "-" twice must not
    // read it on two threads at once.
    runner.add(
        [&name, &algo, pool] {
          return Result{&name, hash_named(name, algo, pool)};
        },
        name == "-");
  }
  runner.finish();
  return status;
}

// ---------------------------------------------------------------------------
// Check mode

// One line of a check file: "<hex>  <name>", "<hex> *<name>", "<hex> <name>"
// or "<TAG> (<name>) = <hex>", each maybe escaped (a leading backslash).
struct CheckLine {
  const Algorithm* algo = nullptr;
  std::string expected;  // lower-case hex, never empty
  std::string name;
};

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view skip_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  return text;
}

const Algorithm* sha3_for_digest(std::size_t hex_length) {
  for (const Algorithm& a : example::algorithms()) {
    if (a.tag.starts_with("SHA3-") && 2 * a.digest_bytes == hex_length) return &a;
  }
  return nullptr;
}

// The form of the untagged lines, as coreutils decides it once per run: a
// digest, one blank and the name ("reversed" BSD form), or a digest, a blank
// and a type character (' ' or '*') before the name. Once one form has been
// read, lines of the other are improperly formatted, so that a name that
// starts with a blank cannot pass for the other form.
enum class PlainForm { unknown, typed, bare };

// Parses `line` (without its line end) as coreutils reads checksum lines:
// blanks (spaces, tabs) before it are skipped; the tagged form takes an
// optional space before "(", the last ")" ends the name, blanks may stand
// around "="; the untagged form is a digest, one blank, then the name in
// `*form`. False for a line of no known form, with an empty digest, a digest
// of the wrong length or a bad escape.
bool parse_check_line(std::string_view line, const Algorithm* forced, PlainForm* form,
                      CheckLine* out) {
  line = skip_blanks(line);
  const bool escaped = !line.empty() && line[0] == '\\';
  if (escaped) line.remove_prefix(1);
  std::string_view hex, name;
  const Algorithm* tagged = nullptr;
  for (const Algorithm& a : example::algorithms()) {
    if (line.starts_with(a.tag)) tagged = &a;
  }
  if (tagged != nullptr) {
    std::string_view rest = line.substr(tagged->tag.size());
    if (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
    if (rest.empty() || rest[0] != '(') return false;
    rest.remove_prefix(1);
    const auto close = rest.rfind(')');
    if (close == std::string_view::npos) return false;
    name = rest.substr(0, close);
    rest = skip_blanks(rest.substr(close + 1));
    if (rest.empty() || rest[0] != '=') return false;
    hex = skip_blanks(rest.substr(1));
    out->algo = tagged;
  } else {
    const auto gap = line.find_first_of(" \t");
    if (gap == std::string_view::npos) return false;
    hex = line.substr(0, gap);
    if (hex.empty() || !std::all_of(hex.begin(), hex.end(), is_hex_digit)) return false;
    name = line.substr(gap + 1);
    if (name.size() <= 1 || (name[0] != ' ' && name[0] != '*')) {
      if (*form == PlainForm::typed) return false;
      *form = PlainForm::bare;
    } else if (*form != PlainForm::bare) {
      *form = PlainForm::typed;
      name.remove_prefix(1);
    }
    out->algo = forced != nullptr ? forced : sha3_for_digest(hex.size());
  }
  if (out->algo == nullptr || hex.empty() || name.empty() || hex.size() % 2 != 0 ||
      !std::all_of(hex.begin(), hex.end(), is_hex_digit) ||
      (!out->algo->extendable && hex.size() != 2 * out->algo->digest_bytes)) {
    return false;
  }
  out->expected.assign(hex);
  for (char& c : out->expected) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  if (!escaped) {
    out->name.assign(name);
    return true;
  }
  return example::unescape_name(name, &out->name);
}

const char* plural(std::size_t n, const char* one, const char* many) { return n == 1 ? one : many; }

// Checks the lines of one check file; returns whether all went well.
// `form` is the untagged lines' form, kept from one check file to the next.
bool check_list(const std::string& list, const Options& opt, vexo::util::ThreadPool* pool,
                PlainForm* form) {
  const bool from_stdin = list == "-";
  std::FILE* in = from_stdin ? stdin : std::fopen(list.c_str(), "r");
  if (in == nullptr) {
    message("%s: %s", quote(list).c_str(), std::strerror(errno));
    return false;
  }
  const std::string shown = quote(from_stdin ? "standard input" : list);
  std::size_t improper = 0, proper = 0, unreadable = 0, mismatched = 0, matched = 0;
  struct Result {
    std::string name;
    int error = 0;
    bool ok = false;
  };
  example::InOrder<Result> runner(pool, 2 * opt.jobs, [&](Result& r) {
    if (r.error != 0 && opt.ignore_missing && r.error == ENOENT) return;
    // As coreutils: a name is escaped in these lines only if it holds a newline.
    const bool escaped = r.name.find('\n') != std::string::npos;
    const auto report = [&](const char* what) {
      if (escaped) std::fputc('\\', stdout);
      put_name(r.name, escaped);
      std::printf(": %s\n", what);
    };
    if (r.error != 0) {
      ++unreadable;
      message("%s: %s", quote(r.name).c_str(), std::strerror(r.error));
      if (!opt.status) report("FAILED open or read");
    } else if (!r.ok) {
      ++mismatched;
      if (!opt.status) report("FAILED");
    } else {
      ++matched;
      if (!opt.status && !opt.quiet) report("OK");
    }
  });
  char* buffer = nullptr;
  std::size_t capacity = 0;
  std::size_t line_number = 0;
  for (ssize_t n; (n = ::getline(&buffer, &capacity, in)) >= 0;) {
    ++line_number;
    std::string_view line(buffer, static_cast<std::size_t>(n));
    if (!line.empty() && line[0] == '#') continue;
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;  // as coreutils: neither proper nor improper
    CheckLine entry;
    // "-" in a list read from standard input would read the rest of the list.
    if (!parse_check_line(line, opt.algo, form, &entry) || (from_stdin && entry.name == "-")) {
      ++improper;
      if (opt.warn) {
        // Named after -a's algorithm when there is one, as coreutils names its own.
        const std::string kind = opt.algo != nullptr ? std::string(opt.algo->tag) + " " : "";
        message("%s: %zu: improperly formatted %schecksum line", shown.c_str(), line_number,
                kind.c_str());
      }
      continue;
    }
    ++proper;
    const bool here = entry.name == "-";
    runner.add(
        [entry = std::move(entry), pool] {
          Result r{entry.name};
          Hashed hashed = hash_named(entry.name, *entry.algo, pool);
          r.error = hashed.error;
          if (hashed.hasher) {
            std::size_t at = 0;
            r.ok = true;
            const bool whole = example::hex_output(
                *hashed.hasher, entry.expected.size() / 2, [&](const char* hex, std::size_t size) {
                  r.ok = r.ok && entry.expected.compare(at, size, hex, size) == 0;
                  at += size;
                });
            if (!whole) r.error = ENOMEM;
            r.ok = r.ok && at == entry.expected.size();
          }
          return r;
        },
        here);
  }
  runner.finish();
  std::free(buffer);
  const bool read_error = std::ferror(in) != 0;
  if (from_stdin) {
    std::clearerr(in);
  } else {
    std::fclose(in);
  }
  if (read_error) {
    // As coreutils: the lines before the failure were checked; nothing more is said.
    message("%s: read error", shown.c_str());
    return false;
  }
  if (proper == 0) {
    message("%s: no properly formatted checksum lines found", shown.c_str());
    return false;
  }
  if (!opt.status) {
    if (improper > 0) {
      message("WARNING: %zu %s improperly formatted", improper,
              plural(improper, "line is", "lines are"));
    }
    if (unreadable > 0) {
      message("WARNING: %zu listed %s could not be read", unreadable,
              plural(unreadable, "file", "files"));
    }
    if (mismatched > 0) {
      message("WARNING: %zu computed %s did NOT match", mismatched,
              plural(mismatched, "checksum", "checksums"));
    }
    if (opt.ignore_missing && matched == 0) {
      message("%s: no file was verified", shown.c_str());
    }
  }
  return mismatched == 0 && unreadable == 0 && (!opt.strict || improper == 0) &&
         (!opt.ignore_missing || matched > 0);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> names;
  const Options opt = parse_options(argc, argv, &names);
  std::unique_ptr<vexo::util::ThreadPool> pool;
  if (opt.jobs > 0) {
    // Room for the queued files and for KT's helpers of each running one.
    pool = std::make_unique<vexo::util::ThreadPool>(opt.jobs, 4 * opt.jobs + 64);
  }
  int status = 0;
  if (!opt.check) {
    status = print_sums(names, opt, pool.get());
  } else {
    PlainForm form = PlainForm::unknown;
    for (const std::string& list : names) {
      status |= check_list(list, opt, pool.get(), &form) ? 0 : 1;
    }
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "sha3sum: write error: %s\n", std::strerror(errno));  // stdout is broken
    return 1;
  }
  return status;
}
