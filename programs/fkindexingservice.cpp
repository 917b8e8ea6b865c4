// The Fennrick Indexing Service daemon: one service module run by the host until stopped.
#include "service/CFKService.h"

int main(int argc, char** argv) {
  CFKService service;
  return service.Run(argc, argv);
}
