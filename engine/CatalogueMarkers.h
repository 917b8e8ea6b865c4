#pragma once

// Marker files that the service reads or leaves in a catalogue directory. With the database
// files they are the catalogue's own files: the only ones it ever deletes or moves there.
namespace CatalogueMarkers {

// Placed from outside: the catalogue is emptied and rebuilt at the next pass.
constexpr const char kDeletion[] = "_tobedeleted_";
// Left while its folder's walks run: a walk cut short (stop, crash, failure) has indexed the
// newest files only. Its text names the walk to run again in full.
constexpr const char kWalkIncomplete[] = "_walk_incomplete_";

constexpr const char* kAll[] = {kDeletion, kWalkIncomplete};

}  // namespace CatalogueMarkers
