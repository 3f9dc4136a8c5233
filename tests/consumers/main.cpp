// A consumer of the installed (or embedded) library: one call of every family.
#include <atomic>
#include <cstdio>
#include <string>

#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/file_system.hpp"
#include "vexo/util/keccak.hpp"
#include "vexo/util/sha3.hpp"
#include "vexo/util/string_util.hpp"
#include "vexo/util/time_util.hpp"
#include "vexo/util/version.hpp"

int main() {
  int failures = 0;
  auto expect = [&failures](bool ok, const char* what) {
    std::printf("%-28s %s\n", what, ok ? "ok" : "FAILED");
    failures += ok ? 0 : 1;
  };

  std::atomic<int> ran{0};
  {
    vexo::util::ThreadPool pool(2, 8);
    for (int i = 0; i < 4; ++i) pool.add_task([&ran] { ++ran; }, "count");
    while (ran.load() < 4) vexo::sleep_ms(1);
  }
  expect(ran.load() == 4, "thread pool");

  const auto digest = vexo::sha3_256({});
  expect(digest[0] == 0xa7 && digest[31] == 0x4a, "sha3_256 of nothing");

  unsigned char keccak256[32];
  vexo::keccak::Sponge(1088, 512, nullptr, 0, 0x01, keccak256, sizeof keccak256);
  expect(keccak256[0] == 0xc5 && keccak256[31] == 0x70, "keccak sponge");

  expect(vexo::escape_filename_characters("a/b") == "a$2fb", "filename escaping");

  try {
    (void)vexo::get_bracket_contents("a)b", '(', ')');
    expect(false, "vexo::Error");
  } catch (const vexo::Error& e) {
    expect(e.get_message() == "Bracket mismatch: \"a)b\"", "vexo::Error");
  }

  expect(vexo::get_isodate().size() == 19, "iso date");

  const std::string header_version = std::to_string(VEXO_UTIL_VERSION_MAJOR) + "." +
                                     std::to_string(VEXO_UTIL_VERSION_MINOR) + "." +
                                     std::to_string(VEXO_UTIL_VERSION_PATCH);
  expect(header_version == vexo::util::version(), "header and library version");

  const std::string dir = "vexo_consumer_dir";
  expect(vexo::make_directory(dir) && vexo::remove_directory(dir), "directories");
  return failures == 0 ? 0 : 1;
}
