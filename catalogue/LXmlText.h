#pragma once

#include <cstdint>
#include <string>

// The text the catalogue keeps for an XML document: the text content of its elements
// and its attribute values. Hostile files are parsed without network, DTD loading or
// entity substitution. Thread-safe.
class LXmlText {
 public:
  static constexpr size_t kMaxFileBytes = 64u << 20;  // larger files: the first 64 MiB, as text

  // The parser checks each attribute of a tag against the others: past this many checks in
  // one document (a few tenths of a second) its text is read without the parser.
  static constexpr std::uint64_t kMaxAttributeChecks = 4u << 20;
  // A document larger than 64 KiB is parsed for this long at most; then the text read so far is kept.
  static constexpr int kParseBudgetMilliseconds = 10000;

  // Reads the file: a regular file only, never through a symbolic link, never waiting on a
  // FIFO, and given up when it blocks (a hung share). False (and why in error) only when it
  // cannot be read. A file that is not well-formed XML gives its text with the tags stripped;
  // a binary file gives "". note says why the text was read without the parser or only in
  // part ("" when neither).
  static bool ReadFile(const std::string& path, std::string& text, std::string& error);
  static bool ReadFile(const std::string& path, std::string& text, std::string& error, std::string& note);
  // The text of a document held in memory, as ReadFile gives it.
  static std::string FromContent(const std::string& content);
  static std::string FromContent(const std::string& content, std::string& note);
  // The same through the parsed tree, the way every document was read before the faster path
  // (which declines the rare documents it cannot take): the reference for the tests.
  static std::string FromContentByTree(const std::string& content);
  // Tests: another parse budget for every later read (0: the default).
  static void SetParseBudget(int milliseconds);
  // The bytes as valid UTF-8: invalid sequences are taken as Latin-1 characters.
  static std::string ToValidUtf8(const std::string& bytes);
  // The length of the valid UTF-8 sequence at bytes[i]; 0 when the byte begins none.
  static size_t ValidSequenceLength(const std::string& bytes, size_t i);
};
