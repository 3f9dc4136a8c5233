/// \file
/// Creation and removal of a single directory.
///
/// Each function makes one POSIX call and reports through a bool, leaving errno
/// as the call set it; none throws, keeps state or touches more than one path
/// level (no parents are created, no contents removed). Both may be called from
/// any thread. The path is passed as a zero-terminated string, so a name that
/// holds a zero character is cut at it.
#pragma once

#include <cstdint>
#include <string>

#include "vexo/util/export.hpp"

namespace vexo {

/// Creates the directory `folder_name` with mkdir and mode `permissions`, to
/// which the process's umask applies (0777 under a umask of 022 gives 0755).
/// Returns true if it was created or a directory (or a symbolic link to one)
/// already stands there; an existing directory is left as it is, its mode
/// unchanged. So when two threads create the same directory at once, both get
/// true. Returns false on every other outcome, with errno saying why:
///   - EEXIST: a regular file or another entry that is not a directory stands
///     at the path (nothing is created);
///   - ENOENT: a parent is missing, or `folder_name` is empty;
///   - ENOTDIR, EACCES, EROFS, ENAMETOOLONG, ...: as mkdir reports them.
///
/// Example:
/// \code
/// if (!vexo::make_directory("out")) perror("out");
/// \endcode
VEXO_API bool make_directory(const std::string& folder_name, uint32_t permissions = 0777);

/// Removes the empty directory `folder_name` with rmdir. Returns true exactly
/// when rmdir succeeded; otherwise false with errno as rmdir set it (ENOTEMPTY
/// for a directory that holds entries, ENOENT for a missing or empty path,
/// ENOTDIR for a file, EACCES, EBUSY, ...).
VEXO_API bool remove_directory(const std::string& folder_name);

}  // namespace vexo
