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
// Files are streamed (vexo::update_from_file), and -l output is squeezed in
// pieces, so that any size takes constant memory. Exit status: 0 if all went
// well, 1 otherwise.
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "file_hasher.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/hash_file.hpp"

namespace {

using example::Algorithm;
using vexo::Hasher;

constexpr std::uint64_t kMaxLength = std::uint64_t{1} << 60;
constexpr long long kMaxJobs = 256;

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "sha3sum: %s\nTry 'sha3sum --help' for more information.\n",
               message.c_str());
  std::exit(1);
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
  bool verify_only = false;  // an option that only -c uses was given
  opterr = 0;                // the messages below name the program, not argv[0]
  for (int c; (c = getopt_long(argc, argv, ":a:l:j:cw", kLong, nullptr)) != -1;) {
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
      case 'w':
        opt.warn = verify_only = true;
        break;
      case kTag:
        opt.tag = true;
        break;
      case kQuiet:
        opt.quiet = verify_only = true;
        break;
      case kStatus:
        opt.status = verify_only = true;
        break;
      case kStrict:
        opt.strict = verify_only = true;
        break;
      case kIgnoreMissing:
        opt.ignore_missing = verify_only = true;
        break;
      case kHelp:
        print_help();
      case kVersion:
        std::printf("sha3sum (vexo_util) %s\n", example::library_version());
        std::exit(0);
      case ':':
        if (optopt != 0)
          usage_error(std::string("option requires an argument -- '") + static_cast<char>(optopt) +
                      "'");
        usage_error(std::string("option '") + argv[optind - 1] + "' requires an argument");
      default:
        if (optopt != 0) {
          usage_error(std::string("invalid option -- '") + static_cast<char>(optopt) + "'");
        }
        usage_error(std::string("unrecognized option '") + argv[optind - 1] + "'");
    }
  }
  for (int i = optind; i < argc; ++i) names->push_back(argv[i]);
  if (names->empty()) names->push_back("-");
  if (opt.check && opt.tag) usage_error("the --tag option is meaningless when verifying checksums");
  if (!opt.check && verify_only) {
    usage_error("--ignore-missing, --quiet, --status, --strict and --warn apply to -c only");
  }
  if (opt.length && (opt.algo == nullptr || !opt.algo->extendable)) {
    usage_error("-l applies to the extendable-output algorithms only");
  }
  // ParallelHash binds the length into its output, which is then made whole.
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

Hashed hash_named(const std::string& name, const Algorithm& algo, vexo::util::ThreadPool* pool) {
  try {
    Hasher hasher = example::make_hasher(algo, pool);
    vexo::update_from_file(hasher, name == "-" ? "/dev/stdin" : name);
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
      std::fprintf(stderr, "sha3sum: %s: %s\n", quote(name).c_str(), std::strerror(r.hashed.error));
      status = 1;
      return;
    }
    const bool escaped = example::needs_escape(name);
    const auto put_hex = [](const char* hex, std::size_t n) { std::fwrite(hex, 1, n, stdout); };
    if (escaped) std::fputc('\\', stdout);
    if (opt.tag) {
      std::printf("%.*s (", static_cast<int>(algo.tag.size()), algo.tag.data());
      put_name(name, escaped);
      std::fputs(") = ", stdout);
      example::hex_output(*r.hashed.hasher, length, put_hex);
    } else {
      example::hex_output(*r.hashed.hasher, length, put_hex);
      std::fputs("  ", stdout);
      put_name(name, escaped);
    }
    std::fputc('\n', stdout);
  });
  for (const std::string& name : names) {
    runner.add([&name, &algo, pool] { return Result{&name, hash_named(name, algo, pool)}; });
  }
  runner.finish();
  return status;
}

// ---------------------------------------------------------------------------
// Check mode

// One line of a check file: "<hex>  <name>", "<hex> *<name>" or
// "<TAG> (<name>) = <hex>", each maybe escaped (a leading backslash).
struct CheckLine {
  const Algorithm* algo = nullptr;
  std::string expected;  // lower-case hex, never empty
  std::string name;
};

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

const Algorithm* sha3_for_digest(std::size_t hex_length) {
  for (const Algorithm& a : example::algorithms()) {
    if (a.tag.starts_with("SHA3-") && 2 * a.digest_bytes == hex_length) return &a;
  }
  return nullptr;
}

// Parses `line` (without its line end); false for a line of no known form,
// with an empty digest, a digest of the wrong length or a bad escape.
bool parse_check_line(std::string_view line, const Algorithm* forced, CheckLine* out) {
  const bool escaped = !line.empty() && line[0] == '\\';
  if (escaped) line.remove_prefix(1);
  std::string_view hex, name;
  const auto open = line.find(" (");
  const auto close = line.rfind(") = ");
  const Algorithm* tagged =
      open != std::string_view::npos && close != std::string_view::npos && close >= open + 2
          ? example::find_tag(line.substr(0, open))
          : nullptr;
  if (tagged != nullptr) {
    out->algo = tagged;
    name = line.substr(open + 2, close - open - 2);
    hex = line.substr(close + 4);
  } else {
    const auto gap = line.find(' ');
    if (gap == std::string_view::npos || gap + 2 > line.size() ||
        (line[gap + 1] != ' ' && line[gap + 1] != '*')) {
      return false;
    }
    hex = line.substr(0, gap);
    name = line.substr(gap + 2);
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
bool check_list(const std::string& list, const Options& opt, vexo::util::ThreadPool* pool) {
  std::FILE* in = list == "-" ? stdin : std::fopen(list.c_str(), "r");
  if (in == nullptr) {
    std::fprintf(stderr, "sha3sum: %s: %s\n", quote(list).c_str(), std::strerror(errno));
    return false;
  }
  const std::string shown = quote(list == "-" ? "standard input" : list);
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
      std::fprintf(stderr, "sha3sum: %s: %s\n", quote(r.name).c_str(), std::strerror(r.error));
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
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line[0] == '#') continue;
    CheckLine entry;
    if (!parse_check_line(line, opt.algo, &entry)) {
      ++improper;
      if (opt.warn) {
        // Named after -a's algorithm when there is one, as coreutils names its own.
        const std::string kind = opt.algo != nullptr ? std::string(opt.algo->tag) + " " : "";
        std::fprintf(stderr, "sha3sum: %s: %zu: improperly formatted %schecksum line\n",
                     shown.c_str(), line_number, kind.c_str());
      }
      continue;
    }
    ++proper;
    runner.add([entry = std::move(entry), pool] {
      Result r{entry.name};
      Hashed hashed = hash_named(entry.name, *entry.algo, pool);
      r.error = hashed.error;
      if (hashed.hasher) {
        std::size_t at = 0;
        r.ok = true;
        example::hex_output(*hashed.hasher, entry.expected.size() / 2,
                            [&](const char* hex, std::size_t size) {
                              r.ok = r.ok && entry.expected.compare(at, size, hex, size) == 0;
                              at += size;
                            });
        r.ok = r.ok && at == entry.expected.size();
      }
      return r;
    });
  }
  runner.finish();
  std::free(buffer);
  const bool read_error = std::ferror(in) != 0;
  if (read_error) std::fprintf(stderr, "sha3sum: %s: read error\n", shown.c_str());
  if (in != stdin) std::fclose(in);
  if (proper == 0) {
    std::fprintf(stderr, "sha3sum: %s: no properly formatted checksum lines found\n",
                 shown.c_str());
    return false;
  }
  if (!opt.status) {
    if (improper > 0) {
      std::fprintf(stderr, "sha3sum: WARNING: %zu %s improperly formatted\n", improper,
                   plural(improper, "line is", "lines are"));
    }
    if (unreadable > 0) {
      std::fprintf(stderr, "sha3sum: WARNING: %zu listed %s could not be read\n", unreadable,
                   plural(unreadable, "file", "files"));
    }
    if (mismatched > 0) {
      std::fprintf(stderr, "sha3sum: WARNING: %zu computed %s did NOT match\n", mismatched,
                   plural(mismatched, "checksum", "checksums"));
    }
  }
  if (opt.ignore_missing && matched == 0) {
    std::fprintf(stderr, "sha3sum: %s: no file was verified\n", shown.c_str());
  }
  return !read_error && mismatched == 0 && unreadable == 0 && (!opt.strict || improper == 0) &&
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
    for (const std::string& list : names) status |= check_list(list, opt, pool.get()) ? 0 : 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "sha3sum: write error: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}
