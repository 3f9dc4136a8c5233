/// \file
/// Feeding a whole file, or an open descriptor from where it stands, to a
/// streaming hash object: regular files in large runs read on other threads
/// while the caller hashes, pipes, FIFOs, sockets and character devices until
/// their end.
#pragma once

#include <cstddef>
#include <filesystem>

#include "tamu/span.hpp"
#include "vexo/util/export.hpp"

namespace vexo {

namespace detail {

/// Bytes read from a regular file per run (per call of the consumer): 8 MiB,
/// 1,024 KT chunks, so that KT and ParallelHash on a pool get whole batches of
/// leaves for their workers.
inline constexpr std::size_t kFileRunBytes = std::size_t{8} << 20;

/// Receives the next `size` bytes of the file at `data`; `context` is what
/// read_file was given. The bytes stay valid until the function returns.
using FileConsumer = void (*)(void* context, const unsigned char* data, std::size_t size);

/// Reads the file at `path` from its start to its end and passes every byte,
/// in order, to `consume(context, ...)` on the calling thread; see
/// update_from_file() for the contract. Exported so that the template below
/// only adapts the hashing object.
VEXO_API void read_file(const std::filesystem::path& path, void* context, FileConsumer consume);

/// Reads the open descriptor `fd` from its current offset to its end and
/// passes every byte, in order, to `consume(context, ...)` on the calling
/// thread; see update_from_fd() for the contract. `name` (may be null) starts
/// the messages of the exceptions.
VEXO_API void read_descriptor(int fd, const char* name, void* context, FileConsumer consume);

}  // namespace detail

/// Feeds the whole content of the file at `path` to `hasher`, by calls of
/// `hasher.update(tamu::span<const unsigned char>)` on the calling thread, in
/// file order. `H` is any streaming object with such an update: vexo::Sha3_256,
/// vexo::Kt128, the run-time vexo::Hasher, ... Nothing is finalized: more
/// input may follow, and the caller finalizes.
///
/// - Regular files of 8 MiB (detail::kFileRunBytes) or more are read in runs
///   of that size by two reader threads (pread(2) at each run's offset) into
///   three buffers, while the caller hashes the runs in order, so that
///   read(2)'s copy out of the page cache runs beside the hashing. Each run is
///   one update() call, so that KT and ParallelHash on a pool get whole
///   batches of leaves. The threads are started and joined within the call,
///   on every path; without a thread to be had, the call reads on the calling
///   thread. Smaller regular files are read on the calling thread in one run,
///   with no thread started. Memory: 24 MiB for a large file, the file's size
///   for a small one.
/// - Pipes, FIFOs, sockets and character devices (`/dev/stdin`, `/dev/null`)
///   are read on the calling thread until read(2) reports their end, in runs
///   of up to 8 MiB.
/// - A file that shrinks or grows while it is read is read until read(2)
///   reports its end, as `cat` would: the hash then covers the bytes that the
///   reads returned (a read racing a truncation may return zeros where the
///   cut fell, as read(2) does), and the call never faults (no mapping of the
///   file is used). A file that grows without end is read without end.
///
/// Throws std::system_error with the errno value and a message that starts
/// with the path (`"dir/f: No such file or directory"`) when the file cannot
/// be opened or read; `hasher` may then have taken part of the file. Throws
/// std::bad_alloc when the buffers cannot be had. An exception from
/// `hasher.update` propagates unchanged, after the reader threads have been
/// stopped and joined.
///
/// Thread-safety: any number of calls may run at once on different hashers.
/// A pool that `hasher` uses must not be the one the call runs on only if
/// that pool's contract says so (KT's does not mind).
///
/// Example:
///   vexo::Sha3_256 h;
///   vexo::update_from_file(h, "data.bin");
///   std::array<unsigned char, 32> digest = h.finalize();
template <class H>
void update_from_file(H& hasher, const std::filesystem::path& path) {
  detail::read_file(path, &hasher, [](void* context, const unsigned char* data, std::size_t size) {
    static_cast<H*>(context)->update(tamu::span<const unsigned char>(data, size));
  });
}

/// Feeds what the open descriptor `fd` holds from where it stands to its end
/// to `hasher`, as update_from_file() feeds a file: by calls of
/// `hasher.update(tamu::span<const unsigned char>)` on the calling thread, in
/// order, with the same runs, reader threads and memory for a regular file.
/// This is the form for standard input (descriptor 0) and for anything
/// already open: a pipe, a FIFO, a socket, a terminal or a regular file that
/// another part of the program has partly read.
///
/// - Ownership: the descriptor stays the caller's; it is neither closed nor
///   duplicated, and its flags are not changed.
/// - Position: a seekable descriptor (a regular file) is read from its current
///   offset, and on a normal return its offset stands at the end of what was
///   read, as after read(2) to the end, so that a second call reads nothing
///   more. Pipes, sockets and devices are read with read(2) until it reports
///   their end (end of file, or the peer's shutdown for a socket).
/// - A descriptor in non-blocking mode that has no data yet fails with
///   `EAGAIN`, as read(2) does; a descriptor not open for reading with `EBADF`.
///
/// Throws std::system_error with the errno value and a message that starts
/// with `name` when given, else with "descriptor N" (`"descriptor 9: Bad file
/// descriptor"`); `hasher` may then have taken part of the input, and the
/// offset is unspecified. Throws std::bad_alloc when the buffers cannot be
/// had. An exception from `hasher.update` propagates unchanged, after the
/// reader threads have been stopped and joined.
///
/// Thread-safety: calls on different descriptors may run at once; two calls
/// at once on descriptors that share one open file description (such as a
/// descriptor and its dup(2)) interleave their bytes.
///
/// Example:
///   vexo::Sha3_256 h;
///   vexo::update_from_fd(h, STDIN_FILENO, "-");  // standard input from where it stands
///   std::array<unsigned char, 32> digest = h.finalize();
template <class H>
void update_from_fd(H& hasher, int fd, const char* name = nullptr) {
  detail::read_descriptor(
      fd, name, &hasher, [](void* context, const unsigned char* data, std::size_t size) {
        static_cast<H*>(context)->update(tamu::span<const unsigned char>(data, size));
      });
}

}  // namespace vexo
