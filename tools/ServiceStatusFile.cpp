#include "tools/ServiceStatusFile.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/AtomicFile.h"

using nlohmann::json;

namespace {

json FolderJson(const ServiceStatus::Folder& f) {
  return json{{"reference", f.Reference},
              {"name", f.Name},
              {"catalogue_directory", f.CatalogueDirectory},
              {"kept_by", f.KeptBy},
              {"polled_reason", f.PolledReason},
              {"phase", f.Phase},
              {"failed_reason", f.FailedReason},
              {"reconciling_directory", f.ReconcilingDirectory},
              {"documents_done", f.DocumentsDone},
              {"documents_in_catalogue", f.DocumentsInCatalogue},
              {"changes_queued", f.ChangesQueued},
              {"last_pass", {{"start", f.LastPassStart}, {"end", f.LastPassEnd}, {"outcome", f.LastPassOutcome}}},
              {"documents_without_text", f.DocumentsWithoutText},
              {"last_without_text", f.LastWithoutText},
              {"last_error", {{"line", f.Error.Line}, {"time", f.Error.Time}}},
              {"inotify_watches", f.InotifyWatches},
              {"verification",
               {{"time", f.VerificationTime},
                {"added", f.VerificationAdded},
                {"replaced", f.VerificationReplaced},
                {"removed", f.VerificationRemoved},
                {"mended_in_all", f.VerificationMendedInAll}}}};
}

// Throws nlohmann's exceptions on a missing key or a wrong type; the caller turns them into a reason.
ServiceStatus::Folder FolderFrom(const json& j) {
  ServiceStatus::Folder f;
  j.at("reference").get_to(f.Reference);
  j.at("name").get_to(f.Name);
  j.at("catalogue_directory").get_to(f.CatalogueDirectory);
  j.at("kept_by").get_to(f.KeptBy);
  j.at("polled_reason").get_to(f.PolledReason);
  j.at("phase").get_to(f.Phase);
  j.at("failed_reason").get_to(f.FailedReason);
  j.at("reconciling_directory").get_to(f.ReconcilingDirectory);
  j.at("documents_done").get_to(f.DocumentsDone);
  j.at("documents_in_catalogue").get_to(f.DocumentsInCatalogue);
  j.at("changes_queued").get_to(f.ChangesQueued);
  j.at("last_pass").at("start").get_to(f.LastPassStart);
  j.at("last_pass").at("end").get_to(f.LastPassEnd);
  j.at("last_pass").at("outcome").get_to(f.LastPassOutcome);
  j.at("documents_without_text").get_to(f.DocumentsWithoutText);
  j.at("last_without_text").get_to(f.LastWithoutText);
  j.at("last_error").at("line").get_to(f.Error.Line);
  j.at("last_error").at("time").get_to(f.Error.Time);
  j.at("inotify_watches").get_to(f.InotifyWatches);
  // Written by a service that had no verification: none seen.
  if (j.contains("verification")) {
    const json& v = j.at("verification");
    v.at("time").get_to(f.VerificationTime);
    v.at("added").get_to(f.VerificationAdded);
    v.at("replaced").get_to(f.VerificationReplaced);
    v.at("removed").get_to(f.VerificationRemoved);
    v.at("mended_in_all").get_to(f.VerificationMendedInAll);
  }
  return f;
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
