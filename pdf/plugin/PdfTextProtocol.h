#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Messages between the PDF text plug-in and its helper process, one per frame.
// Request: Open(path, password). Answer: PageCount(n), then one Page per page, then Done;
// or Failure(code, reason) at any point, after which the document is abandoned. The document's
// open descriptor follows each Open frame (FrameChannel::SendDescriptor): the helper opens no file.
namespace PdfTextProtocol {

constexpr char kOpen = 'O';
constexpr char kPageCount = 'N';
constexpr char kPage = 'P';
constexpr char kDone = 'D';
constexpr char kFailure = 'E';

// The text of one document is bounded so that a text bomb cannot flood the service.
constexpr std::size_t kMaxDocumentText = 64u << 20;
constexpr std::size_t kMaxFrame = kMaxDocumentText + 1024;

// The helper exits with this status when an allocation fails under its memory cap.
constexpr int kExitOutOfMemory = 3;

// Builds a message: the kind, then fields appended with the Put functions.
std::string Message(char kind);
void PutNumber(std::string& message, std::uint32_t value);
void PutText(std::string& message, const std::string& text);

// Reads fields in order; every Get returns false once the message is exhausted or malformed.
class Reader {
 public:
  explicit Reader(const std::string& message) : m_Message(message) {}
  char Kind() const { return m_Message.empty() ? '\0' : m_Message[0]; }
  bool GetNumber(std::uint32_t& value);
  bool GetText(std::string& text);

 private:
  const std::string& m_Message;
  std::size_t m_nPosition = 1;
};

}  // namespace PdfTextProtocol
