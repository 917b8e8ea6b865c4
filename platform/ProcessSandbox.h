#pragma once

#include <string>
#include <vector>

namespace platform {

// Confinement a process applies to itself before it reads untrusted input, in this order:
// DropPrivileges, RestrictFileSystem, FilterSystemCalls. Each is one-way for the process and
// the processes it would start. Used by the PDF helper.
namespace ProcessSandbox {

// No new privileges (set-user-ID bits and file capabilities no longer count), no core file, no
// file may be written to or grow (RLIMIT_FSIZE 0) and at most maxDescriptors open descriptors.
bool DropPrivileges(unsigned maxDescriptors, std::string& why);

// True when the kernel offers Landlock.
bool FileSystemRestrictionOffered();
enum class FileSystemRestriction { Applied, NotOffered, Failed };
// Landlock: from now on the process may read the regular files readableFiles and read beneath
// the directories readableTrees (a path that cannot be opened is skipped), and do nothing else to any file: no
// write, no create, no remove, no execute. NotOffered when the kernel lacks Landlock.
FileSystemRestriction RestrictFileSystem(const std::vector<std::string>& readableFiles,
                                         const std::vector<std::string>& readableTrees, std::string& why);

// A seccomp allow-list for a process that reads files, allocates memory, keeps time and talks
// over descriptors it already holds: any other system call (a socket, a new process, a file
// opened for writing, executable memory) ends the process with SIGSYS.
bool FilterSystemCalls(std::string& why);

}  // namespace ProcessSandbox
}  // namespace platform
