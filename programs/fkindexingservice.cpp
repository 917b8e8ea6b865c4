// The Fennrick Indexing Service daemon: one service module run by the host until stopped.
#include "platform/HeapSettings.h"
#include "service/CFKService.h"

int main(int argc, char** argv) {
  platform::KeepFreedMemoryForReuse();
  CFKService service;
  return service.Run(argc, argv);
}
