#include "pdf/plugin/PdfTextProtocol.h"

#include <cstring>

namespace PdfTextProtocol {

std::string Message(char kind) { return std::string(1, kind); }

void PutNumber(std::string& message, std::uint32_t value) {
  message.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void PutText(std::string& message, const std::string& text) {
  PutNumber(message, static_cast<std::uint32_t>(text.size()));
  message += text;
}

bool Reader::GetNumber(std::uint32_t& value) {
  if (m_Message.size() < m_nPosition + sizeof value) return false;
  std::memcpy(&value, m_Message.data() + m_nPosition, sizeof value);
  m_nPosition += sizeof value;
  return true;
}

bool Reader::GetText(std::string& text) {
  std::uint32_t length = 0;
  if (!GetNumber(length) || m_Message.size() - m_nPosition < length) return false;  // position <= size here
  text.assign(m_Message, m_nPosition, length);
  m_nPosition += length;
  return true;
}

}  // namespace PdfTextProtocol
