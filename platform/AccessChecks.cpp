#include "platform/AccessChecks.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ErrnoText.h"

namespace platform {

std::string WhyDirectoryNotWritable(const std::string& directory) {
  std::string path = directory;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::string asked = path;
  struct stat status {};
  while (stat(path.c_str(), &status) != 0) {
    if (errno != ENOENT) return path + ": " + ErrnoText(errno);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return directory + " has no existing parent";
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  if (!S_ISDIR(status.st_mode)) return path + " is not a directory";
  // access() answers for the real user: the one who runs the check, as the service would run.
  if (access(path.c_str(), W_OK | X_OK) != 0) {
    return path + (path == asked ? "" : " (the nearest existing parent)") + " cannot be written: " +
           ErrnoText(errno);
  }
  return "";
}

std::string GroupNeededToRead(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return "";
  const mode_t others = S_ISDIR(status.st_mode) ? (S_IROTH | S_IXOTH) : S_IROTH;
  if ((status.st_mode & others) == others) return "";
  const group* entry = getgrgid(status.st_gid);
  return entry != nullptr ? entry->gr_name : std::to_string(status.st_gid);
}

}  // namespace platform
