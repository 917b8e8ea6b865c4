#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Reads a document's bytes (as ReadDocumentFile) on a reader thread, so that the calling
// thread can give up on a read that blocks (a hung share, a FUSE file system): when no byte
// comes for the stall bound, and at once while reads are abandoned for a stop. Reader threads
// are the one kind of thread the process never joins: one blocked in the kernel can be neither
// interrupted nor joined, so it ends with its read or with the process; idle ones end after a
// minute. Any thread.
class CBoundedReader {
 public:
  // False with errorText set when the file cannot be read, or its read was given up.
  static bool Read(const std::string& path, std::size_t maxBytes, std::string& content, std::string& errorText);
  // True: every read waited on now or later gives up at once (the service stops). False:
  // reads are waited for again (a new run).
  static void Abandon(bool abandon);
  // While one lives, the calling thread reads files of local file systems itself: the walk's
  // many reads, where the hand-off to a reader would cost more than the read. Files on network
  // and FUSE file systems, which can hang, still go to a reader.
  class CLocalReadsDirect {
   public:
    CLocalReadsDirect();
    ~CLocalReadsDirect();
    CLocalReadsDirect(const CLocalReadsDirect&) = delete;
    CLocalReadsDirect& operator=(const CLocalReadsDirect&) = delete;
  };
  // How long a read may go without a byte: FK_READ_STALL_MS (at least 100), 30 s by default.
  static int StallBoundMs();
};

}  // namespace platform
