// sha3sum: prints or checks SHA-3, SHAKE, TurboSHAKE, KT and Keccak-256
// checksums of files.
//
//   sha3sum [-a ALGORITHM] [-l BYTES] [--tag] [-j THREADS] [FILE...]
//   sha3sum -c [-a ALGORITHM] [-j THREADS] CHECKFILE...
//
// ALGORITHM is 224, 256 (the default), 384, 512, shake128, shake256,
// turboshake128, turboshake256 (domain byte 0x1F), kt128, kt256 (empty
// customization) or keccak256 (Ethereum's). With no FILE, or when FILE is -,
// reads standard input. Prints one line per file, "<hex digest>  <name>", or
// with --tag "<TAG> (<name>) = <hex digest>" with TAG one of SHA3-256,
// SHAKE128, TurboSHAKE128, KT128, Keccak-256, ... With -c, reads lines of
// either form from the given files and reports "<name>: OK" or
// "<name>: FAILED" for each; a tagged line names its algorithm, for the
// others it comes from -a or, for SHA-3, from the length of the digest. -l
// sets the output length in bytes of the extendable-output functions
// (default 32 for the 128 ones, 64 for the 256 ones). -j THREADS hashes KT's
// chunks on a pool of that many workers (the calling thread helps). Files are
// streamed, so any size hashes in constant memory. Exit status: 0 if all
// went well, 1 otherwise.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "file_hasher.hpp"
#include "vexo/util/ThreadPool.hpp"

namespace {

using example::Algorithm;

void usage() {
  std::fprintf(stderr,
               "usage: sha3sum [-a 224|256|384|512|shake128|shake256|turboshake128|turboshake256|"
               "kt128|kt256|keccak256]\n"
               "               [-l BYTES] [--tag] [-j THREADS] [-c] [FILE...]\n");
  std::exit(1);
}

std::optional<std::vector<unsigned char>> hash_named(const std::string& name, const Algorithm& algo,
                                                     std::size_t output_bytes,
                                                     vexo::util::ThreadPool* pool) {
  if (name == "-") return example::hash_stream(stdin, algo, output_bytes, nullptr, pool);
  return example::hash_file(name, algo, output_bytes, nullptr, pool);
}

const Algorithm* algorithm_for_digest(std::size_t hex_length) {
  for (const Algorithm& a : example::kAlgorithms) {
    if (a.kind <= example::Kind::kSha3_512 && 2 * a.digest_bytes == hex_length) return &a;
  }
  return nullptr;
}

bool is_hex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// One line of a check file: "<hex>  <name>", "<hex> *<name>" or
// "<TAG> (<name>) = <hex>". Returns false for anything else.
struct CheckLine {
  std::string expected;
  std::string name;
  const Algorithm* tagged = nullptr;
};

bool parse_check_line(const std::string& line, CheckLine* out) {
  const auto open = line.find(" (");
  const auto close = line.rfind(") = ");
  if (open != std::string::npos && close != std::string::npos && close > open) {
    const Algorithm* algo = example::find_tag(std::string_view(line).substr(0, open));
    if (algo != nullptr) {
      out->tagged = algo;
      out->name = line.substr(open + 2, close - open - 2);
      out->expected = line.substr(close + 4);
      return is_hex(out->expected);
    }
  }
  const auto gap = line.find(' ');
  if (line.empty() || gap == std::string::npos || gap + 2 > line.size() ||
      (line[gap + 1] != ' ' && line[gap + 1] != '*')) {
    return false;
  }
  out->expected = line.substr(0, gap);
  out->name = line.substr(gap + 2);
  return is_hex(out->expected);
}

int check(const std::vector<std::string>& lists, const Algorithm* forced,
          vexo::util::ThreadPool* pool) {
  int failures = 0;
  for (const std::string& list : lists) {
    std::ifstream in(list == "-" ? "/dev/stdin" : list);
    if (!in) {
      std::fprintf(stderr, "sha3sum: %s: cannot open\n", list.c_str());
      ++failures;
      continue;
    }
    for (std::string line; std::getline(in, line);) {
      CheckLine entry;
      if (!parse_check_line(line, &entry)) {
        std::fprintf(stderr, "sha3sum: %s: improperly formatted line\n", list.c_str());
        ++failures;
        continue;
      }
      const Algorithm* algo = entry.tagged != nullptr ? entry.tagged
                              : forced != nullptr     ? forced
                                                      : algorithm_for_digest(entry.expected.size());
      if (algo == nullptr || entry.expected.size() % 2 != 0 ||
          (!algo->extendable && entry.expected.size() != 2 * algo->digest_bytes)) {
        std::fprintf(stderr, "sha3sum: %s: cannot tell the algorithm (use -a)\n",
                     entry.name.c_str());
        ++failures;
        continue;
      }
      const auto digest = hash_named(entry.name, *algo, entry.expected.size() / 2, pool);
      const bool ok = digest && example::to_hex(*digest) == entry.expected;
      std::printf("%s: %s\n", entry.name.c_str(), ok ? "OK" : "FAILED");
      failures += ok ? 0 : 1;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Algorithm* algo = nullptr;
  long long length = -1;
  long long threads = 0;
  bool check_mode = false;
  bool tag = false;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-a" && i + 1 < argc) {
      algo = example::find_algorithm(argv[++i]);
      if (algo == nullptr) usage();
    } else if ((arg == "-l" || arg == "-j") && i + 1 < argc) {
      char* end = nullptr;
      const long long value = std::strtoll(argv[++i], &end, 10);
      if (*end != '\0' || value < 0 || (arg == "-j" && (value < 1 || value > 256))) usage();
      (arg == "-l" ? length : threads) = value;
    } else if (arg == "-c") {
      check_mode = true;
    } else if (arg == "--tag") {
      tag = true;
    } else if (arg == "-h" || arg == "--help" || (arg.size() > 1 && arg[0] == '-')) {
      usage();
    } else {
      names.push_back(arg);
    }
  }
  if (names.empty()) names.push_back("-");
  std::unique_ptr<vexo::util::ThreadPool> pool;
  if (threads > 0) {
    const auto n = static_cast<std::size_t>(threads);
    pool = std::make_unique<vexo::util::ThreadPool>(n, 4 * n);
  }
  if (check_mode) return check(names, algo, pool.get());

  if (algo == nullptr) algo = example::find_algorithm("256");
  if (length >= 0 && !algo->extendable) {
    std::fprintf(stderr,
                 "sha3sum: -l applies to shake128, shake256, turboshake128, turboshake256, kt128 "
                 "and kt256 only\n");
    return 1;
  }
  const std::size_t output_bytes =
      length >= 0 ? static_cast<std::size_t>(length) : algo->digest_bytes;
  int status = 0;
  for (const std::string& name : names) {
    const auto digest = hash_named(name, *algo, output_bytes, pool.get());
    if (!digest) {
      std::fprintf(stderr, "sha3sum: %s: %s\n", name.c_str(), std::strerror(errno));
      status = 1;
      continue;
    }
    if (tag) {
      std::printf("%.*s (%s) = %s\n", static_cast<int>(algo->tag.size()), algo->tag.data(),
                  name.c_str(), example::to_hex(*digest).c_str());
    } else {
      std::printf("%s  %s\n", example::to_hex(*digest).c_str(), name.c_str());
    }
  }
  return status;
}
