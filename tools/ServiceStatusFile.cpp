#include "tools/ServiceStatusFile.h"

#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/AtomicFile.h"

using nlohmann::json;

namespace {

// Each field of a folder's record once, with its place in the file; writing and reading both walk it.
template <typename FolderRecord, typename Field>
void EachFolderField(FolderRecord& f, Field&& field) {
  field("/reference", f.Reference);
  field("/name", f.Name);
  field("/catalogue_directory", f.CatalogueDirectory);
  field("/kept_by", f.KeptBy);
  field("/polled_reason", f.PolledReason);
  field("/phase", f.Phase);
  field("/failed_reason", f.FailedReason);
  field("/reconciling_directory", f.ReconcilingDirectory);
  field("/documents_done", f.DocumentsDone);
  field("/documents_in_catalogue", f.DocumentsInCatalogue);
  field("/changes_queued", f.ChangesQueued);
  field("/last_pass/start", f.LastPassStart);
  field("/last_pass/end", f.LastPassEnd);
  field("/last_pass/outcome", f.LastPassOutcome);
  field("/documents_without_text", f.DocumentsWithoutText);
  field("/last_without_text", f.LastWithoutText);
  field("/last_error/line", f.Error.Line);
  field("/last_error/time", f.Error.Time);
  field("/inotify_watches", f.InotifyWatches);
  field("/verification/time", f.VerificationTime);
  field("/verification/added", f.VerificationAdded);
  field("/verification/replaced", f.VerificationReplaced);
  field("/verification/removed", f.VerificationRemoved);
  field("/verification/mended_in_all", f.VerificationMendedInAll);
}

json FolderJson(const ServiceStatus::Folder& folder) {
  json j = json::object();
  EachFolderField(folder, [&](const char* place, const auto& value) { j[json::json_pointer(place)] = value; });
  return j;
}

// Throws nlohmann's exceptions on a missing key or a wrong type; the caller turns them into a reason.
ServiceStatus::Folder FolderFrom(const json& j) {
  ServiceStatus::Folder folder;
  // Written by a service that had no verification: none seen.
  const bool verification = j.contains("verification");
  EachFolderField(folder, [&](const char* place, auto& value) {
    if (!verification && std::string(place).rfind("/verification/", 0) == 0) return;
    j.at(json::json_pointer(place)).get_to(value);
  });
  return folder;
}

}  // namespace

std::string ServiceStatusFile::PathIn(const std::string& programDirectory) {
  if (programDirectory.empty() || programDirectory.back() == '/') return programDirectory + ServiceStatus::kFileName;
  return programDirectory + "/" + ServiceStatus::kFileName;
}

std::string ServiceStatusFile::ToJson(const ServiceStatus& status) {
  json folders = json::array();
  for (const auto& folder : status.Folders) folders.push_back(FolderJson(folder));
  const json j{{"format_version", status.FormatVersion},
               {"service",
                {{"pid", status.Pid},
                 {"version", status.Version},
                 {"start_time", status.StartTime},
                 {"mode", status.Mode},
                 {"phase", status.Phase},
                 {"written_at", status.WrittenAt}}},
               {"folders", folders}};
  // A path that is not UTF-8 must not cost the whole file: its odd bytes become U+FFFD.
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool ServiceStatusFile::FromJson(const std::string& text, ServiceStatus& status, std::string& reason) {
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded()) {
    reason = text.empty() ? "empty" : "truncated or not JSON";
    return false;
  }
  try {
    const int version = j.at("format_version").get<int>();
    if (version != ServiceStatus::kFormatVersion) {
      reason = "format version " + std::to_string(version) + ", this program reads version " +
               std::to_string(ServiceStatus::kFormatVersion);
      return false;
    }
    ServiceStatus read;
    const json& service = j.at("service");
    service.at("pid").get_to(read.Pid);
    service.at("version").get_to(read.Version);
    service.at("start_time").get_to(read.StartTime);
    service.at("mode").get_to(read.Mode);
    service.at("phase").get_to(read.Phase);
    service.at("written_at").get_to(read.WrittenAt);
    for (const json& folder : j.at("folders")) read.Folders.push_back(FolderFrom(folder));
    status = std::move(read);
    return true;
  } catch (const json::exception& e) {
    reason = std::string("not a status record: ") + e.what();
    return false;
  }
}

bool ServiceStatusFile::Write(const std::string& path, const ServiceStatus& status, std::string& why) {
  return platform::WriteFileAtomically(path, ToJson(status), why);
}

ServiceStatusFile::ReadResult ServiceStatusFile::Read(const std::string& path) {
  ReadResult result;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    result.Reason = "no status file " + path;
    return result;
  }
  std::ostringstream text;
  text << in.rdbuf();
  result.Text = text.str();
  std::string reason;
  result.Ok = FromJson(result.Text, result.Status, reason);
  if (!result.Ok) result.Reason = "the status file " + path + " is not usable (" + reason + ")";
  return result;
}
