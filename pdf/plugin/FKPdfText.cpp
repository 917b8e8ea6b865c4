// The C interface of libfkpdftext.so over PdfTextClient: an instance table, one lock per
// instance, and no exception crossing into the caller.

#include "pdf/plugin/FKPdfText.h"

#include <exception>
#include <map>
#include <new>
#include <memory>
#include <string>

#include "pdf/plugin/PdfTextClient.h"
#include "platform/CAbortSignal.h"
#include "platform/CMutex.h"
#include "platform/SharedLibrary.h"

namespace {

struct Instance {
  platform::CAbortSignal abort;  // raised without the lock: it frees a call that holds it
  platform::CMutex mutex;
  PdfTextClient client GUARDED_BY(mutex);
  explicit Instance(const PdfTextClient::Settings& settings) : client(settings, &abort) {}
};

platform::CMutex g_InstancesMutex;
std::map<int, std::shared_ptr<Instance>> g_Instances GUARDED_BY(g_InstancesMutex);
int g_nNextInstance GUARDED_BY(g_InstancesMutex) = 1;

std::shared_ptr<Instance> FindInstance(int instance) {
  platform::CLockGuard lock(g_InstancesMutex);
  auto found = g_Instances.find(instance);
  return found == g_Instances.end() ? nullptr : found->second;
}

// Runs call on the instance under its lock; fallback for an unknown instance or an exception,
// which (out of memory, mostly) becomes the instance's last error so the caller can say why.
template <typename Result, typename Call>
Result WithClient(int instance, Result fallback, Call call) {
  std::shared_ptr<Instance> entry = FindInstance(instance);
  if (!entry) return fallback;
  platform::CLockGuard lock(entry->mutex);
  try {
    return call(entry->client);
  } catch (const std::exception& error) {
    try {
      entry->client.NoteFailure(FKPDFTEXT_ERROR_HELPER,
                                std::string("unexpected failure in the plug-in: ") + error.what());
    } catch (const std::bad_alloc&) {
      entry->client.NoteFailure(FKPDFTEXT_ERROR_MEMORY, std::string());  // no memory even for the text
    }
    return fallback;
  }
}

}  // namespace

extern "C" {

int FKPdfText_CreateLibrary(void) {
  try {
    std::string here = platform::SharedLibrary::DirectoryOfAddress(
        reinterpret_cast<const void*>(&FKPdfText_CreateLibrary));
    auto entry = std::make_shared<Instance>(PdfTextClient::SettingsFromEnvironment(here));
    platform::CLockGuard lock(g_InstancesMutex);
    int id = g_nNextInstance++;
    g_Instances[id] = entry;
    return id;
  } catch (const std::exception&) {
    // Out of memory or an unusable setting: no instance, which the caller reports as a missing plug-in.
    return 0;
  }
}

int FKPdfText_ReleaseLibrary(int instance) {
  std::shared_ptr<Instance> entry;
  {
    platform::CLockGuard lock(g_InstancesMutex);
    auto found = g_Instances.find(instance);
    if (found == g_Instances.end()) return 0;
    entry = found->second;
    g_Instances.erase(found);
  }
  // Waits for a call in progress; the helper ends with the last reference.
  platform::CLockGuard lock(entry->mutex);
  return 1;
}

int FKPdfText_Abort(int instance) {
  std::shared_ptr<Instance> entry = FindInstance(instance);
  if (!entry) return 0;
  entry->abort.Raise();
  return 1;
}

int FKPdfText_OpenFile(int instance, const char* path, const char* password) {
  if (path == nullptr) return 0;
  std::string passwordText = password != nullptr ? password : "";
  return WithClient(instance, 0, [&](PdfTextClient& client) { return client.OpenFile(path, passwordText); });
}

int FKPdfText_GetPageCount(int instance, int file) {
  return WithClient(instance, 0, [&](PdfTextClient& client) { return client.GetPageCount(file); });
}

int FKPdfText_FindPage(int instance, int file, int page) {
  return WithClient(instance, 0, [&](PdfTextClient& client) { return client.FindPage(file, page); });
}

const char* FKPdfText_ExtractPageText(int instance, int file, int pageRef, int /*options*/) {
  return WithClient(instance, "", [&](PdfTextClient& client) {
    return client.ExtractPageText(file, pageRef).c_str();
  });
}

int FKPdfText_StringResultLength(int instance) {
  return WithClient(instance, 0, [&](PdfTextClient& client) {
    return static_cast<int>(client.StringResult().size());
  });
}

int FKPdfText_CloseFile(int instance, int file) {
  return WithClient(instance, 0, [&](PdfTextClient& client) { return client.CloseFile(file); });
}

int FKPdfText_LastErrorCode(int instance) {
  return WithClient(instance, static_cast<int>(FKPDFTEXT_ERROR_ARGUMENT),
                    [&](PdfTextClient& client) { return client.LastErrorCode(); });
}

const char* FKPdfText_LastErrorText(int instance) {
  return WithClient(instance, "unknown instance", [&](PdfTextClient& client) {
    return client.LastErrorText().c_str();
  });
}

}  // extern "C"
