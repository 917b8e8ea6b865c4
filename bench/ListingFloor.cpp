#include "bench/ListingFloor.h"

#include <cstdint>
#include <vector>

#include "bench/CatalogueBench.h"
#include "platform/CDirectoryListing.h"

namespace bench {

namespace {

void ListTree(const std::string& directory, ListingFloorFigures& figures) {
  platform::CDirectoryListing listing(directory);
  std::vector<platform::CDirectoryListing::Entry> entries;
  std::string error;
  if (!listing.Read(entries, error)) return;
  ++figures.Directories;
  for (const platform::CDirectoryListing::Entry& entry : entries) {
    if (entry.Type == platform::CDirectoryListing::Kind::Directory) {
      ListTree(directory + "/" + entry.Name, figures);
    } else if (entry.Type == platform::CDirectoryListing::Kind::File) {
      std::int64_t seconds = 0;
      if (listing.GetArrivalTime(entry.Name, seconds, error)) ++figures.Files;
    }
  }
}

}  // namespace

ListingFloorFigures MeasureListingFloor(const std::string& root) {
  ListingFloorFigures figures;
  const double start = NowSeconds();
  ListTree(root, figures);
  figures.Seconds = NowSeconds() - start;
  return figures;
}

}  // namespace bench
