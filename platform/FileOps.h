#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// What stat() says about a path (symbolic links followed).
struct FileStatus {
  bool bExists = false;
  bool bDirectory = false;
  bool bRegular = false;
  std::int64_t nLastWriteNs = 0;  // nanoseconds since 1970, UTC
};

FileStatus StatPath(const std::string& path);
// Names of the entries of dir (without "." and "..") that match the shell pattern
// ('*', '?'; '[' taken literally); empty when dir cannot be read.
std::vector<std::string> MatchDirectoryEntries(const std::string& dir, const std::string& pattern);
// Creates the directory and every missing parent; 0 or the errno of the failure.
int MakeDirectories(const std::string& path);
// Removes one file (not a directory); 0 or the errno of the failure.
int RemoveFile(const std::string& path);
// True when path is directory or lies below it, by whole components ("/srv/ab" is not below
// "/srv/a"); both without a trailing '/', "/" standing above every absolute path.
bool IsPathUnder(const std::string& path, const std::string& directory);
// The path ending in one '/' ("" stays "": it names no directory).
std::string WithTrailingSlash(const std::string& path);
// The path without its trailing '/'s ("/" stays "/").
std::string WithoutTrailingSlash(const std::string& path);
// The path with "." and ".." resolved lexically, no doubled and no trailing '/': two spellings
// of one directory compare equal.
std::string NormalPath(const std::string& path);
// True when another process has the file open for writing or holds a write lock on it (a
// shared lock of a reader does not count), and when the file cannot be opened for reading
// (missing, no permission, not a regular file, a symbolic link).
bool IsFileBusy(const std::string& path);
// True only when the regular file opens (never through a symbolic link) and another process
// has it open for writing or holds a write lock on it; false when it is free, only read, gone
// or cannot be opened (its reading then says why). No lock is kept.
bool IsFileHeldByOther(const std::string& path);
// True when path is, or can be created as, a regular file that takes a write; it is left
// empty. Otherwise why says what is wrong (a directory, a device, a missing directory, a full disk).
bool ProbeWritableFile(const std::string& path, std::string& why);
}  // namespace platform
