#pragma once

#include <string>

namespace platform {

// Why this process could not make files in the directory, or could not create it ("" when it
// could): a directory not made yet is judged by its nearest existing parent. Nothing is written.
std::string WhyDirectoryNotWritable(const std::string& directory);
// The name of the group whose members may read path (list a directory) when others may not;
// "" when anyone may, or when path does not exist.
std::string GroupNeededToRead(const std::string& path);

}  // namespace platform
