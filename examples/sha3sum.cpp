// sha3sum: prints or checks SHA-3 / SHAKE checksums of files.
//
//   sha3sum [-a 224|256|384|512|shake128|shake256] [-l BYTES] [FILE...]
//   sha3sum -c [-a ...] CHECKFILE...
//
// With no FILE, or when FILE is -, reads standard input. Prints one line per
// file, "<hex digest>  <name>". With -c, reads such lines from the given files
// and reports "<name>: OK" or "<name>: FAILED" for each; the algorithm is
// taken from -a or, for SHA-3, from the length of the digest. -l sets the
// SHAKE output length in bytes (default 32 for shake128, 64 for shake256).
// Files are streamed through the incremental sponge, so any size hashes in
// constant memory. Exit status: 0 if all went well, 1 otherwise.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "file_hasher.hpp"

namespace {

using example::Algorithm;

void usage() {
  std::fprintf(stderr,
               "usage: sha3sum [-a 224|256|384|512|shake128|shake256] [-l BYTES] [-c] [FILE...]\n");
  std::exit(1);
}

std::optional<std::vector<unsigned char>> hash_named(const std::string& name, const Algorithm& algo,
                                                     std::size_t output_bytes) {
  if (name == "-") return example::hash_stream(stdin, algo, output_bytes);
  return example::hash_file(name, algo, output_bytes);
}

const Algorithm* algorithm_for_digest(std::size_t hex_length) {
  for (const Algorithm& a : example::kAlgorithms) {
    if (a.suffix == 0x06 && 2 * a.digest_bytes == hex_length) return &a;
  }
  return nullptr;
}

int check(const std::vector<std::string>& lists, const Algorithm* forced) {
  int failures = 0;
  for (const std::string& list : lists) {
    std::ifstream in(list == "-" ? "/dev/stdin" : list);
    if (!in) {
      std::fprintf(stderr, "sha3sum: %s: cannot open\n", list.c_str());
      ++failures;
      continue;
    }
    for (std::string line; std::getline(in, line);) {
      const auto gap = line.find(' ');
      if (line.empty() || gap == std::string::npos || gap + 2 > line.size() ||
          (line[gap + 1] != ' ' && line[gap + 1] != '*')) {
        std::fprintf(stderr, "sha3sum: %s: improperly formatted line\n", list.c_str());
        ++failures;
        continue;
      }
      const std::string expected = line.substr(0, gap);
      const std::string name = line.substr(gap + 2);
      const Algorithm* algo = forced != nullptr ? forced : algorithm_for_digest(expected.size());
      if (algo == nullptr || expected.size() % 2 != 0) {
        std::fprintf(stderr, "sha3sum: %s: cannot tell the algorithm (use -a)\n", name.c_str());
        ++failures;
        continue;
      }
      const auto digest = hash_named(name, *algo, expected.size() / 2);
      const bool ok = digest && example::to_hex(*digest) == expected;
      std::printf("%s: %s\n", name.c_str(), ok ? "OK" : "FAILED");
      failures += ok ? 0 : 1;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Algorithm* algo = nullptr;
  long long length = -1;
  bool check_mode = false;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-a" && i + 1 < argc) {
      algo = example::find_algorithm(argv[++i]);
      if (algo == nullptr) usage();
    } else if (arg == "-l" && i + 1 < argc) {
      char* end = nullptr;
      length = std::strtoll(argv[++i], &end, 10);
      if (*end != '\0' || length < 0) usage();
    } else if (arg == "-c") {
      check_mode = true;
    } else if (arg == "-h" || arg == "--help" || (arg.size() > 1 && arg[0] == '-')) {
      usage();
    } else {
      names.push_back(arg);
    }
  }
  if (names.empty()) names.push_back("-");
  if (check_mode) return check(names, algo);

  if (algo == nullptr) algo = example::find_algorithm("256");
  if (length >= 0 && algo->suffix != 0x1F) {
    std::fprintf(stderr, "sha3sum: -l applies to shake128 and shake256 only\n");
    return 1;
  }
  const std::size_t output_bytes =
      length >= 0 ? static_cast<std::size_t>(length) : algo->digest_bytes;
  int status = 0;
  for (const std::string& name : names) {
    const auto digest = hash_named(name, *algo, output_bytes);
    if (!digest) {
      std::fprintf(stderr, "sha3sum: %s: %s\n", name.c_str(), std::strerror(errno));
      status = 1;
      continue;
    }
    std::printf("%s  %s\n", example::to_hex(*digest).c_str(), name.c_str());
  }
  return status;
}
