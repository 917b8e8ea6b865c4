#pragma once

#include <string>

namespace bench {

// The least a polling pass must do over a tree: list every directory and read the arrival
// time of every file in it, as the reconciling walk reads them, and nothing else.
struct ListingFloorFigures {
  int Directories = 0;
  int Files = 0;
  double Seconds = 0;
};
ListingFloorFigures MeasureListingFloor(const std::string& root);

}  // namespace bench
