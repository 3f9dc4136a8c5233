// Directory creation on mkdir(2).
#include "vexo/util/file_system.hpp"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace vexo {

bool make_directory(const std::string& folder_name, uint32_t permissions) {
  if (::mkdir(folder_name.c_str(), static_cast<mode_t>(permissions)) == 0) {
    return true;
  }
  if (errno != EEXIST) return false;
  // EEXIST only says that some entry stands at the path. A caller asking for
  // a directory is served only if that entry is one (stat follows a symbolic
  // link, as the caller's later opens will); otherwise report EEXIST, as the
  // standard library's create_directory does.
  struct stat status;
  if (::stat(folder_name.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    return true;
  }
  errno = EEXIST;
  return false;
}

bool remove_directory(const std::string& folder_name) { return ::rmdir(folder_name.c_str()) == 0; }

}  // namespace vexo
