#include "tools/ServiceStatus.h"

#include "platform/SystemInfo.h"

void ServiceStatus::NoteWithoutText(Folder& folder, const std::string& path) {
  ++folder.DocumentsWithoutText;
  folder.LastWithoutText.push_back(path);
  if (folder.LastWithoutText.size() > kLastWithoutTextKept) folder.LastWithoutText.erase(folder.LastWithoutText.begin());
}

std::string ServiceStatus::Summary() const {
  std::int64_t queued = 0;
  size_t failed = 0;
  const LastError* last = nullptr;
  for (const Folder& folder : Folders) {
    queued += folder.ChangesQueued;
    if (folder.Phase == "failed") ++failed;
    if (folder.Error.Time != 0 && (last == nullptr || folder.Error.Time >= last->Time)) last = &folder.Error;
  }
  std::string line = Phase + " " + std::to_string(Folders.size()) + (Folders.size() == 1 ? " folder" : " folders");
  line += ", " + std::to_string(queued) + (queued == 1 ? " change" : " changes") + " queued";
  if (failed != 0) line += ", " + std::to_string(failed) + " failed";
  if (last != nullptr) line += "; last error " + platform::FormatLocalTime(last->Time, "%H:%M") + " " + last->Line;
  return line;
}
