#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace platform {

// Opens a document for reading the way every document is read: never through a symbolic
// link, never blocking on a FIFO or a device swapped in for the file, and only when it is a
// regular file. The open descriptor (the caller closes it), or -1 with errorText set.
int OpenDocumentFile(const std::string& path, std::string& errorText);

// Closes a descriptor from OpenDocumentFile.
void CloseDocumentFile(int fd);

// Reads at most maxBytes of the document opened as above; false with errorText set.
bool ReadDocumentFile(const std::string& path, std::size_t maxBytes, std::string& content,
                      std::string& errorText);
// The same, telling onProgress the bytes read so far after each block.
bool ReadDocumentFile(const std::string& path, std::size_t maxBytes, std::string& content, std::string& errorText,
                      const std::function<void(std::size_t)>& onProgress);

// Test-only fault: true when FK_DOCUMENT_READ_FAULT is "hang:PATH" for this document, whose
// read then blocks for good, as one on a hung share or FUSE file system does.
bool ReadBlocksForTests(const std::string& path);

// The most text kept of one document, in bytes: FK_MAX_TEXT_MB (1 to 64), 16 MiB by default
// (also for a value out of range or not a number).
std::size_t DocumentTextCap();
// What is wrong with FK_MAX_TEXT_MB, for a line at start; "" when it is unset or usable.
std::string DocumentTextCapProblem();

}  // namespace platform
