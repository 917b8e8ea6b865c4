#include "platform/SharedLibrary.h"

#include <dlfcn.h>
#include <cstdlib>
#include <limits.h>
#include <unistd.h>

namespace platform {
namespace {

std::string DirectoryPart(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

SharedLibrary::~SharedLibrary() { Close(); }

bool SharedLibrary::Open(const std::string& nameOrPath) {
  Close();
  // RTLD_LOCAL keeps the library's symbols from resolving anyone else's.
  m_pHandle = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_pHandle == nullptr) {
    const char* error = dlerror();
    m_strLastError = error ? error : "cannot load " + nameOrPath;
    return false;
  }
  m_strLastError.clear();
  return true;
}

void* SharedLibrary::Symbol(const std::string& name) {
  if (m_pHandle == nullptr) return nullptr;
  dlerror();
  void* address = dlsym(m_pHandle, name.c_str());
  if (address == nullptr) {
    const char* error = dlerror();
    m_strLastError = error ? error : "missing symbol " + name;
  }
  return address;
}

void SharedLibrary::Close() {
  if (m_pHandle != nullptr) dlclose(m_pHandle);
  m_pHandle = nullptr;
}

std::string SharedLibrary::ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "";
  return DirectoryPart(std::string(path, static_cast<std::size_t>(length)));
}

std::string SharedLibrary::DirectoryOfAddress(const void* address) {
  Dl_info info;
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) return DirectoryPart(info.dli_fname);
  return DirectoryPart(resolved);
}

}  // namespace platform
