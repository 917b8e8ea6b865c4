// Measures the indexing on a synthetic archive, without the pacing pauses, and prints each
// figure next to its target: fresh XML indexing, the pass over an unchanged tree, PDF text,
// peak memory with a large catalogue, the whole service's first and second pass, and the
// service watching its folder: latency of a change, a burst, idle CPU, many directories.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "bench/ArchiveGenerator.h"
#include "bench/BenchReport.h"
#include "bench/CatalogueBench.h"
#include "bench/ListingFloor.h"
#include "bench/MonitoringBench.h"
#include "bench/MoveBench.h"
#include "bench/ServiceBench.h"
#include "platform/CChildProcess.h"
#include "platform/HeapSettings.h"
#include "platform/PeakMemory.h"
#include "platform/ProgramPaths.h"

namespace fs = boost::filesystem;

namespace {

struct Settings {
  int XmlCount = 50000;
  int PdfCount = 1000;
  int PdfPages = 2;
  int PdfSample = 0;  // PDFs timed for the text figure; 0: all
  int MemoryDocuments = 100000;
  int Folders = 10000;
  unsigned long long Seed = 1;
  bool RunService = true;
  bool RunMonitoring = true;
  bool MonitoringOnly = false;
  bool MovesOnly = false;
  int MovePdfs = 2000;
  bench::MonitoringBench::Options Monitoring;
  bool Keep = false;
  int TimeoutSeconds = 900;
  std::string WorkDirectory;
  std::string ServiceBinary = FK_SERVICE_BINARY;
  std::string MemoryChildDirectory;  // set: this process is the memory run's child
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: fkbench [options]\n"
               "  --xml N            XML invoices of the measured archive (default 50000)\n"
               "  --pdf M            PDF invoices of the service's archive (default 1000)\n"
               "  --pages P          pages per PDF invoice (default 2)\n"
               "  --pdf-sample K     PDFs timed for the PDF text figure (default: all)\n"
               "  --memory-docs D    documents of the peak memory run; 0 skips it (default 100000)\n"
               "  --folders F        folders of the service run under 1,024 descriptors; 0 skips it (default 10000)\n"
               "  --seed S           seed of the invoice contents (default 1)\n"
               "  --no-service       skip the whole-service figures (monitoring too)\n"
               "  --no-monitoring    skip the monitoring figures\n"
               "  --monitoring-only  only the monitoring figures\n"
               "  --changes N        changes timed one by one while watched (default 200)\n"
               "  --burst N          XML files of the watched burst (default 10000)\n"
               "  --idle-seconds N   the watching service's CPU is measured over N s (default 60)\n"
               "  --watch-dirs N     directories of the watching start-up run; 0 skips it (default 10000)\n"
               "  --settle-ms N      XML settling delay of the watching service, subtracted (default 250)\n"
               "  --pdf-folders N    folders a PDF arrives in at once; 0 skips that run (default 10)\n"
               "  --pdf-pages N      pages of each of those PDFs (default 2000)\n"
               "  --changed-folders N  watched folders with one change each; 0 skips it (default 3000)\n"
               "  --move-pdfs N      PDFs of the tree moved while watched and while stopped; 0 skips it (default 2000)\n"
               "  --moves-only       only the move figures\n"
               "  --service PATH     the fkindexingservice binary (default: the one built with fkbench)\n"
               "  --work DIR         where the archives go (default: a new temporary directory)\n"
               "  --keep             keep the archives and catalogues\n");
}

bool ParseCount(const char* text, long long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= 0 && value <= 10000000;
}

// Sets one option that names a path; false when the option is unknown.
bool SetText(const std::string& option, const std::string& value, Settings& settings) {
  if (option == "--work") settings.WorkDirectory = value;
  else if (option == "--service") settings.ServiceBinary = value;
  else if (option == "--memory-child") settings.MemoryChildDirectory = value;
  else return false;
  return true;
}

// Sets one numeric option; false when the option is unknown.
bool SetCount(const std::string& option, long long number, Settings& settings) {
  if (option == "--xml") settings.XmlCount = static_cast<int>(number);
  else if (option == "--pdf") settings.PdfCount = static_cast<int>(number);
  else if (option == "--pages") settings.PdfPages = static_cast<int>(std::max(1LL, number));
  else if (option == "--pdf-sample") settings.PdfSample = static_cast<int>(number);
  else if (option == "--memory-docs") settings.MemoryDocuments = static_cast<int>(number);
  else if (option == "--folders") settings.Folders = static_cast<int>(number);
  else if (option == "--seed") settings.Seed = static_cast<unsigned long long>(number);
  else if (option == "--changes") settings.Monitoring.Changes = static_cast<int>(number);
  else if (option == "--burst") settings.Monitoring.Burst = static_cast<int>(number);
  else if (option == "--idle-seconds") settings.Monitoring.IdleSeconds = static_cast<int>(number);
  else if (option == "--watch-dirs") settings.Monitoring.WatchedDirectories = static_cast<int>(number);
  else if (option == "--settle-ms") settings.Monitoring.SettleMilliseconds = static_cast<int>(number);
  else if (option == "--pdf-folders") settings.Monitoring.PdfFolders = static_cast<int>(number);
  else if (option == "--pdf-pages") settings.Monitoring.PdfPages = static_cast<int>(number);
  else if (option == "--changed-folders") settings.Monitoring.ChangedFolders = static_cast<int>(number);
  else if (option == "--move-pdfs") settings.MovePdfs = static_cast<int>(number);
  else return false;
  return true;
}

// 0 when parsed; otherwise 1 + the exit status.
int ParseArguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long long number = 0;
    if (option == "--help") {
      PrintUsage(stdout);
      return 1;
    }
    if (option == "--no-service") {
      settings.RunService = false;
    } else if (option == "--no-monitoring") {
      settings.RunMonitoring = false;
    } else if (option == "--monitoring-only") {
      settings.MonitoringOnly = true;
    } else if (option == "--moves-only") {
      settings.MovesOnly = true;
    } else if (option == "--keep") {
      settings.Keep = true;
    } else if (value != nullptr && SetText(option, value, settings)) {
      ++i;
    } else if (value != nullptr && ParseCount(value, number) && SetCount(option, number, settings)) {
      ++i;
    } else {
      std::fprintf(stderr, "fkbench: bad option or value: %s\n", option.c_str());
      PrintUsage(stderr);
      return 3;
    }
  }
  return 0;
}

constexpr double kUnchangedShare = 0.01;  // the unchanged pass, of the fresh walk's time
constexpr int kChangedDocuments = 100;
constexpr int kAddedDocuments = 1000;
constexpr int kUnchangedRounds = 3;  // the unchanged pass and its floor, each

using bench::Format;
using bench::Info;
using bench::Report;

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

bool Generate(const std::string& directory, int xml, int pdf, const Settings& settings) {
  bench::ArchiveGenerator::Options options;
  options.XmlCount = xml;
  options.PdfCount = pdf;
  options.PdfPages = settings.PdfPages;
  options.Seed = settings.Seed;
  bench::ArchiveGenerator generator(options);
  std::string error;
  const double start = bench::NowSeconds();
  if (!generator.Generate(directory, error)) {
    std::fprintf(stderr, "fkbench: %s\n", error.c_str());
    return false;
  }
  const bench::ArchiveGenerator::Counts& counts = generator.GetCounts();
  std::printf("archive %s: %d XML, %d PDF (%d pages), %d files to skip, %d directories, %.1f MB in %.1f s\n",
              directory.c_str(), counts.XmlDocuments, counts.PdfDocuments, counts.PdfPages,
              counts.SkippedFiles, counts.Directories, counts.Bytes / 1e6, bench::NowSeconds() - start);
  std::fflush(stdout);
  return true;
}

std::vector<std::string> PdfFiles(const std::string& root, int limit) {
  std::vector<std::string> files;
  for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
    if (it->path().filename() == "ORIGINALS") it.disable_recursion_pending();
    else if (it->path().extension() == ".pdf") files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  if (limit > 0 && files.size() > static_cast<size_t>(limit)) files.resize(limit);
  return files;
}

// The memory run's own process: a large catalogue built and passed over, then the peak.
int RunMemoryChild(const Settings& settings) {
  const std::string archive = settings.MemoryChildDirectory + "/archive";
  if (!Generate(archive, settings.MemoryDocuments, 0, settings)) return 1;
  bench::CatalogueBench catalogueBench(settings.MemoryChildDirectory);
  const bench::CatalogueBench::FreshFigures fresh = catalogueBench.FreshWalk(archive, "MEMORY");
  const bench::CatalogueBench::UnchangedFigures unchanged = catalogueBench.UnchangedPass(archive, "MEMORY");
  std::printf("memory-run indexed %d snapshot %d fresh-s %.3f peak-kib %ld\n", fresh.Indexed,
              unchanged.SnapshotEntries, fresh.Seconds, platform::PeakResidentKiB());
  return 0;
}

double PassSeconds(const bench::CatalogueBench::UnchangedFigures& pass) {
  return pass.SnapshotSeconds + pass.WalkSeconds + pass.CleanerSeconds;
}

// A pass after some documents changed or were added: at most the unchanged pass's share of
// the fresh walk plus the share of the documents it writes again.
void ReportPartialPass(const char* figure, const bench::CatalogueBench::UnchangedFigures& pass, int expected,
                       int documents, double freshSeconds) {
  const double share = PassSeconds(pass) / freshSeconds;
  const double target = kUnchangedShare + static_cast<double>(expected) / documents;
  Report(figure,
         Format("%.3f s", PassSeconds(pass)) + " (" + Format("%.2f%%, ", share * 100) + std::to_string(pass.Indexed) +
             " written)",
         ("<= " + Format("%.1f%%", target * 100)).c_str(), share <= target && pass.Indexed == expected);
}

// The fresh walk against its ceiling and against the one-core pipeline it cannot beat.
bench::CatalogueBench::FreshFigures MeasureFreshWalk(bench::CatalogueBench& catalogueBench, const std::string& archive) {
  const bench::CatalogueBench::CeilingFigures ceiling = catalogueBench.BareInsert(archive);
  const bench::CatalogueBench::FreshFigures fresh = catalogueBench.FreshWalk(archive, "XML");
  const double rate = fresh.Indexed / std::max(fresh.Seconds, 1e-9);
  const double ceilingRate = ceiling.Documents / std::max(ceiling.Seconds, 1e-9);
  Info("ceiling: bare FTS5 insert of the same texts",
       Format("%.0f docs/s", ceilingRate) + " (" + std::to_string(ceiling.Documents) + " in " +
           Format("%.2f s)", ceiling.Seconds));
  Info("  reading the files' text beforehand (s)", Format("%.2f", ceiling.ReadSeconds));
  Report("fresh walk, XML invoices (docs/s)",
         Format("%.0f", rate) + " (" + std::to_string(fresh.Indexed) + " in " + Format("%.2f s)", fresh.Seconds),
         ">= 5000", rate >= 5000);
  const bench::CatalogueBench::SettleFigures settle = catalogueBench.SettlePass(archive, "XML");
  Info("settling pass after the fresh walk (s)",
       Format("%.3f", settle.Seconds) + " (" + std::to_string(settle.Indexed) +
           " read again: written in the second of their read)");
  const double ratio = rate / std::max(ceilingRate, 1e-9);
  Report("fresh walk / ceiling", Format("%.0f%%", ratio * 100), ">= 60%", ratio >= 0.6);
  const double cpuRatio = (ceiling.CpuSeconds / std::max(ceiling.Documents, 1)) /
                          std::max(fresh.CpuSeconds / std::max(fresh.Indexed, 1), 1e-12);
  Info("  the same by processor time",
       Format("%.0f%%", cpuRatio * 100) + " (" + Format("%.2f s", ceiling.CpuSeconds) + " against " +
           Format("%.2f s)", fresh.CpuSeconds));
  // The one-core pipeline: the same files read and parsed, then their texts inserted bare.
  const double pipeline = ceiling.ReadSeconds + ceiling.Seconds;
  const double pipelineShare = pipeline / std::max(fresh.Seconds, 1e-9);
  Report("fresh walk / (read and parse + bare insert)",
         Format("%.0f%%", pipelineShare * 100) + " (" + Format("%.2f s", pipeline) + " against " +
             Format("%.2f s)", fresh.Seconds),
         ">= 90%", pipelineShare >= 0.9);
  const double pipelineCpu = ceiling.ReadCpuSeconds + ceiling.CpuSeconds;
  Info("  the same by processor time", Format("%.0f%%", pipelineCpu / std::max(fresh.CpuSeconds, 1e-9) * 100) +
                                          " (" + Format("%.2f s", pipelineCpu) + " against " +
                                          Format("%.2f s)", fresh.CpuSeconds));
  return fresh;
}

// The unchanged pass, its parts and its listing floor.
void MeasureUnchangedPass(bench::CatalogueBench& catalogueBench, const std::string& archive,
                          const bench::CatalogueBench::FreshFigures& fresh) {
  // On a shared machine another process can only slow a run down: the floor and the unchanged
  // pass are taken in turn, kUnchangedRounds times each, and the quickest of each compared.
  bench::ListingFloorFigures floor;
  bench::CatalogueBench::UnchangedFigures same;
  for (int round = 0; round < kUnchangedRounds; ++round) {
    const bench::ListingFloorFigures listing = bench::MeasureListingFloor(archive);
    if (round == 0 || listing.Seconds < floor.Seconds) floor = listing;
    const bench::CatalogueBench::UnchangedFigures pass = catalogueBench.UnchangedPass(archive, "XML");
    if (round == 0 || PassSeconds(pass) < PassSeconds(same)) same = pass;
  }
  Info("snapshot (s)",
       Format("%.3f", same.SnapshotSeconds) + " (entries stored without a time; the files checked are looked up)");
  Info("reconciling walk, unchanged tree (s)",
       Format("%.3f", same.WalkSeconds) + " (" + std::to_string(same.Indexed) + " re-indexed, " +
           std::to_string(same.LookUps) + " catalogue look-ups, " + std::to_string(same.DocumentLevels) +
           " directory levels)");
  Info("cleaner pass, unchanged tree (s)", Format("%.3f", same.CleanerSeconds));
  const double pass = same.WalkSeconds + same.CleanerSeconds;
  Report(("walk + cleaner, " + std::to_string(fresh.Indexed) + " docs (s)").c_str(), Format("%.3f", pass),
         "< 0.1", pass < 0.1 && same.Indexed == 0);
  const double share = PassSeconds(same) / fresh.Seconds;
  Report("unchanged pass (snapshot+walk+cleaner)",
         Format("%.3f s", PassSeconds(same)) + " (" + Format("%.2f%% of fresh)", share * 100),
         ("<= " + Format("%.0f%%", kUnchangedShare * 100)).c_str(), share <= kUnchangedShare && same.Indexed == 0);
  const double overFloor = PassSeconds(same) / std::max(floor.Seconds, 1e-9);
  Report("unchanged pass / listing floor",
         Format("%.2fx", overFloor) + " (floor " + Format("%.3f s: ", floor.Seconds) +
             std::to_string(floor.Directories) + " listings, " + std::to_string(floor.Files) + " times; best of " +
             std::to_string(kUnchangedRounds) + ")",
         "<= 1.5x", overFloor <= 1.5);
}

void MeasureCatalogue(const Settings& settings, const std::string& work) {
  const std::string archive = work + "/xml-archive";
  if (!Generate(archive, settings.XmlCount, 0, settings)) return;
  bench::CatalogueBench catalogueBench(work + "/engine");
  const bench::CatalogueBench::FreshFigures fresh = MeasureFreshWalk(catalogueBench, archive);
  MeasureUnchangedPass(catalogueBench, archive, fresh);
  const int changed = bench::CatalogueBench::ChangeDocuments(archive, kChangedDocuments);
  ReportPartialPass(("pass after " + std::to_string(changed) + " changed").c_str(),
                    catalogueBench.UnchangedPass(archive, "XML"), changed, fresh.Indexed, fresh.Seconds);
  const int added = bench::CatalogueBench::AddDocuments(archive, kAddedDocuments, settings.Seed);
  ReportPartialPass(("pass after " + std::to_string(added) + " added").c_str(),
                    catalogueBench.UnchangedPass(archive, "XML"), added, fresh.Indexed, fresh.Seconds);
  std::fflush(stdout);
}

void MeasurePdf(const Settings& settings, const std::string& archive) {
  const std::vector<std::string> files = PdfFiles(archive, settings.PdfSample);
  const bench::CatalogueBench::PdfFigures pdf = bench::CatalogueBench::ExtractPdfText(files, settings.PdfPages);
  const double rate = pdf.Pages / std::max(pdf.Seconds, 1e-9);
  Report("PDF text through CTool_QuickPDFLib (pages/s)",
         Format("%.0f", rate) + " (" + std::to_string(pdf.Pages) + " in " + Format("%.2f s)", pdf.Seconds),
         ">= 400", pdf.Usable && pdf.EmptyTexts == 0 && rate >= 400);
  if (!pdf.Usable || pdf.EmptyTexts > 0) {
    Info("  PDF plug-in", std::string(pdf.Usable ? "found" : "NOT found") + ", " +
                              std::to_string(pdf.EmptyTexts) + " empty texts");
  }
  std::fflush(stdout);
}

void MeasureMemory(const Settings& settings, const std::string& work) {
  const std::string self = platform::ExecutableDirectory() + "fkbench";
  std::string out;
  std::string err;
  const int status = platform::CChildProcess::Run(
      {self, "--memory-child", work + "/memory", "--memory-docs", std::to_string(settings.MemoryDocuments),
       "--seed", std::to_string(settings.Seed)},
      out, err);
  const size_t at = out.find("peak-kib ");
  if (status != 0 || at == std::string::npos) {
    std::printf("  memory run failed (status %d): %s\n", status, err.c_str());
    return;
  }
  const long peakKib = std::atol(out.c_str() + at + 9);
  const double megabytes = peakKib * 1024.0 / 1e6;
  Report(("peak memory, " + std::to_string(settings.MemoryDocuments) + "-doc catalogue (MB)").c_str(),
         Format("%.1f", megabytes), "< 200", megabytes < 200);
  const size_t indexedAt = out.find("indexed ");
  if (indexedAt != std::string::npos) {
    Info("  documents catalogued by the memory run", std::to_string(std::atol(out.c_str() + indexedAt + 8)));
  }
  std::fflush(stdout);
}

void MeasureService(const Settings& settings, const std::string& work, const std::string& archive) {
  bench::ServiceBench serviceBench(settings.ServiceBinary, work);
  const bench::ServiceBench::Figures figures = serviceBench.Run(archive, settings.TimeoutSeconds);
  if (!figures.Completed) {
    std::printf("  whole service: %s\n", figures.ErrorText.c_str());
    return;
  }
  Info("service: start to end of first pass (s)", Format("%.2f", figures.FirstPassSeconds));
  const double share = figures.SecondPassSeconds / figures.FirstPassSeconds;
  Report("service: second pass, unchanged (s)",
         Format("%.3f", figures.SecondPassSeconds) + " (" + Format("%.2f%% of first)", share * 100), "<= 2%",
         share <= 0.02);
}

void MeasureFolders(const Settings& settings, const std::string& work) {
  constexpr int kDescriptorLimit = 1024;
  bench::ServiceBench serviceBench(settings.ServiceBinary, work + "/folders");
  const auto figures = serviceBench.RunFolders(settings.Folders, kDescriptorLimit, settings.TimeoutSeconds);
  const std::string label = "service: " + std::to_string(settings.Folders) + " folders, 1,024 descriptors";
  Report(label.c_str(), std::to_string(figures.Catalogued) + " catalogued in " + Format("%.1f s", figures.Seconds),
         "all", figures.Completed);
  if (!figures.Completed) std::printf("  many folders: %s\n", figures.ErrorText.c_str());
  Report("  peak memory of the service (MB)", Format("%.1f", figures.PeakMegabytes), "< 100",
         figures.PeakMegabytes < 100);
  Info("  most descriptors open at once", std::to_string(figures.PeakDescriptors));
  std::fflush(stdout);
}

// One change in each of many watched folders: the flush workers stay a handful.
void MeasureChangedFolders(const Settings& settings, const std::string& work) {
  if (settings.Monitoring.ChangedFolders <= 0) return;
  bench::MonitoringBench bench(settings.ServiceBinary, work + "/folders", settings.Monitoring);
  const bench::MonitoringBench::FolderFigures figures = bench.MeasureFolders();
  const std::string label = std::to_string(figures.Folders) + " folders, one change each: ";
  if (!figures.Completed) {
    std::printf("  %s%s\n", label.c_str(), figures.ErrorText.c_str());
    return;
  }
  Info((label + "all searchable (s)").c_str(), Format("%.2f", figures.AllSearchableSeconds));
  Report("  threads of the service after", std::to_string(figures.ThreadsAfter) + " (" +
                                               std::to_string(figures.ThreadsBefore) + " before the changes)",
         "<= before + 4", figures.ThreadsAfter <= figures.ThreadsBefore + 4);
  Info("  memory after, VmHWM / VmRSS (MB)",
       Format("%.1f", figures.PeakMegabytes) + " / " + Format("%.1f", figures.ResidentMegabytes));
  std::fflush(stdout);
}

// Large PDFs arriving in several watched folders at once.
void MeasureConcurrentPdfs(const Settings& settings, const std::string& work) {
  if (settings.Monitoring.PdfFolders <= 0) return;
  bench::MonitoringBench pdfBench(settings.ServiceBinary, work + "/concurrent-pdfs", settings.Monitoring);
  const bench::MonitoringBench::PdfFigures pdfs = pdfBench.MeasureConcurrentPdfs();
  Report(("PDFs of " + std::to_string(settings.Monitoring.PdfPages) + " pages arriving in " +
          std::to_string(pdfs.Folders) + " folders at once, with their text")
             .c_str(),
         std::to_string(pdfs.WithText) + " of " + std::to_string(pdfs.Folders), "all", pdfs.Completed);
  if (pdfs.Completed) Info("  all searchable (s)", Format("%.2f", pdfs.Seconds));
  if (!pdfs.Completed) std::printf("  concurrent PDFs: %s\n", pdfs.ErrorText.c_str());
  std::fflush(stdout);
}

// The start of a service watching many directories.
void MeasureWatchingStart(const Settings& settings, const std::string& work) {
  if (settings.Monitoring.WatchedDirectories <= 0) return;
  bench::MonitoringBench startBench(settings.ServiceBinary, work + "/watching", settings.Monitoring);
  const bench::MonitoringBench::StartFigures start = startBench.MeasureStart();
  const std::string label = "watching " + std::to_string(start.Directories) + " directories: ";
  if (start.FirstStartSeconds > 0) {
    Info((label + "first start (s)").c_str(), Format("%.2f", start.FirstStartSeconds) + " (catalogue made afresh)");
    Info("  stop, every directory watched (s)", Format("%.2f", start.StopSeconds));
  }
  if (start.StartSeconds > 0) Info((label + "next start (s)").c_str(), Format("%.2f", start.StartSeconds));
  if (start.Completed) {
    Info("  a change in the last directory, searchable (s)", Format("%.3f", start.ChangeSeconds));
    Info("  memory after start-up, VmHWM / VmRSS (MB)",
         Format("%.1f", start.PeakMegabytes) + " / " + Format("%.1f", start.ResidentMegabytes));
  } else {
    std::printf("  watching many directories: %s\n", start.ErrorText.c_str());
  }
  std::fflush(stdout);
}

void MeasureMonitoring(const Settings& settings, const std::string& work) {
  const int settle = settings.Monitoring.SettleMilliseconds;
  std::printf("service watching its folder (XML settling delay %d ms, subtracted; other settings the defaults)\n",
              settle);
  bench::MonitoringBench changesBench(settings.ServiceBinary, work + "/monitoring", settings.Monitoring);
  const bench::MonitoringBench::ChangeFigures changes = changesBench.MeasureChanges();
  if (!changes.Latencies.empty()) {
    const double median = bench::Median(changes.Latencies);
    const double worst = *std::max_element(changes.Latencies.begin(), changes.Latencies.end());
    const std::string count = std::to_string(changes.Latencies.size()) + " changes";
    Report(("change to searchable, median of " + count + " (s)").c_str(), Format("%.3f", median), "< 1", median < 1);
    Report(("change to searchable, worst of " + count + " (s)").c_str(), Format("%.3f", worst), "< 3", worst < 3);
  }
  if (changes.Completed) {
    Report(("burst of " + std::to_string(settings.Monitoring.Burst) + " XML, all searchable (s)").c_str(),
           Format("%.2f", changes.BurstSeconds) + " (after " + Format("%.2f s of writing)", changes.BurstWriteSeconds),
           "< 5", changes.BurstSeconds < 5);
    Info("  memory after the burst, VmHWM / VmRSS (MB)",
         Format("%.1f", changes.PeakMegabytes) + " / " + Format("%.1f", changes.ResidentMegabytes));
    Report(("CPU while nothing changes, " + std::to_string(settings.Monitoring.IdleSeconds) + " s (s)").c_str(),
           Format("%.2f", changes.IdleCpuSeconds) + " (quiet " + Format("%.1f s after the burst)", changes.QuietAfterSeconds),
           "0.0", changes.IdleCpuSeconds >= 0 && changes.IdleCpuSeconds < 0.05);
  } else {
    std::printf("  watching service: %s\n", changes.ErrorText.c_str());
  }
  std::fflush(stdout);
  MeasureConcurrentPdfs(settings, work);
  MeasureChangedFolders(settings, work);
  MeasureWatchingStart(settings, work);
}

// Every figure but the monitoring ones first, as before; then those.
void MeasureAll(const Settings& settings, const std::string& work) {
  MeasureCatalogue(settings, work);
  const std::string serviceArchive = work + "/service-archive";
  if (Generate(serviceArchive, settings.XmlCount, settings.PdfCount, settings)) {
    if (settings.PdfCount > 0) MeasurePdf(settings, serviceArchive);
    if (settings.MemoryDocuments > 0) MeasureMemory(settings, work);
    if (settings.RunService) MeasureService(settings, work, serviceArchive);
  }
  if (settings.RunService && settings.Folders > 0) MeasureFolders(settings, work);
  if (settings.RunService && settings.RunMonitoring) MeasureMonitoring(settings, work);
  if (settings.RunService && settings.MovePdfs > 0) {
    bench::MeasureMoves(settings.ServiceBinary, work, settings.MovePdfs, settings.TimeoutSeconds);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The walks measured in this process run as in the service.
  platform::KeepFreedMemoryForReuse();
  Settings settings;
  const int parsed = ParseArguments(argc, argv, settings);
  if (parsed != 0) return parsed - 1;
  if (!settings.MemoryChildDirectory.empty()) return RunMemoryChild(settings);

  const bool temporary = settings.WorkDirectory.empty();
  const std::string work =
      temporary ? (fs::temp_directory_path() / fs::unique_path("fkbench-%%%%-%%%%")).string() : settings.WorkDirectory;
  fs::create_directories(work);
  std::printf("fkbench: %u cores, load average %s, work directory %s\n", std::thread::hardware_concurrency(),
              LoadAverage().c_str(), work.c_str());
  if (settings.MonitoringOnly) {
    MeasureMonitoring(settings, work);
  } else if (settings.MovesOnly) {
    bench::MeasureMoves(settings.ServiceBinary, work, settings.MovePdfs, settings.TimeoutSeconds);
  } else {
    MeasureAll(settings, work);
  }
  std::printf("load average at the end: %s\n", LoadAverage().c_str());
  boost::system::error_code ec;
  if (!settings.Keep) fs::remove_all(work, ec);
  return 0;
}
