#include "pdf/CPDFLibraryBinding.h"

CPDFLibraryBinding::CPDFLibraryBinding(const std::string& libraryName) {
  if (!Load(libraryName)) {
    m_bLoadFailed = true;
    return;
  }
  Resolve(m_pCreateLibrary, "FKPdfText_CreateLibrary");
  Resolve(m_pReleaseLibrary, "FKPdfText_ReleaseLibrary");
  Resolve(m_pOpenFile, "FKPdfText_OpenFile");
  Resolve(m_pGetPageCount, "FKPdfText_GetPageCount");
  Resolve(m_pFindPage, "FKPdfText_FindPage");
  Resolve(m_pExtractPageText, "FKPdfText_ExtractPageText");
  Resolve(m_pStringResultLength, "FKPdfText_StringResultLength");
  Resolve(m_pCloseFile, "FKPdfText_CloseFile");
  Resolve(m_pLastErrorCode, "FKPdfText_LastErrorCode");
  Resolve(m_pLastErrorText, "FKPdfText_LastErrorText");
  Resolve(m_pAbort, "FKPdfText_Abort");
  if (m_pCreateLibrary != nullptr) m_nInstance = m_pCreateLibrary();
  if (m_nInstance <= 0 && !m_bLoadFailed) {
    m_bLoadFailed = true;
    m_strLoadError = "the plug-in could not create an instance";
  }
}

CPDFLibraryBinding::~CPDFLibraryBinding() {
  if (m_nInstance > 0 && m_pReleaseLibrary != nullptr) m_pReleaseLibrary(m_nInstance);
  m_nInstance = 0;
  m_Module.Close();
}

bool CPDFLibraryBinding::Load(const std::string& libraryName) {
  if (libraryName.find('/') == std::string::npos) {
    std::string programDirectory = platform::SharedLibrary::ProgramDirectory();
    if (!programDirectory.empty() && m_Module.Open(programDirectory + "/" + libraryName)) return true;
    // An installed service keeps its plug-in in its private library directory.
    if (m_Module.Open(std::string(FK_PKGLIBDIR) + "/" + libraryName)) return true;
  }
  if (m_Module.Open(libraryName)) return true;
  m_strLoadError = m_Module.LastError();
  return false;
}

template <typename Function>
void CPDFLibraryBinding::Resolve(Function& function, const char* name) {
  function = reinterpret_cast<Function>(m_Module.Symbol(name));
  if (function == nullptr) {
    m_bLoadFailed = true;
    if (m_strLoadError.empty()) m_strLoadError = std::string("the plug-in lacks ") + name;
  }
}

int CPDFLibraryBinding::DAOpenFile(const std::string& path, const std::string& password) {
  return m_pOpenFile ? m_pOpenFile(m_nInstance, path.c_str(), password.c_str()) : 0;
}

int CPDFLibraryBinding::DAGetPageCount(int fileHandle) {
  return m_pGetPageCount ? m_pGetPageCount(m_nInstance, fileHandle) : 0;
}

int CPDFLibraryBinding::DAFindPage(int fileHandle, int page) {
  return m_pFindPage ? m_pFindPage(m_nInstance, fileHandle, page) : 0;
}

std::string CPDFLibraryBinding::DAExtractPageText(int fileHandle, int pageRef, int options) {
  if (m_pExtractPageText == nullptr) return "";
  const char* text = m_pExtractPageText(m_nInstance, fileHandle, pageRef, options);
  int length = StringResultLength();
  // The length, not the terminator, bounds the text: a page may contain NUL characters.
  return text != nullptr && length > 0 ? std::string(text, static_cast<std::size_t>(length)) : "";
}

int CPDFLibraryBinding::StringResultLength() {
  return m_pStringResultLength ? m_pStringResultLength(m_nInstance) : 0;
}

int CPDFLibraryBinding::DACloseFile(int fileHandle) {
  return m_pCloseFile ? m_pCloseFile(m_nInstance, fileHandle) : 0;
}

int CPDFLibraryBinding::LastErrorCode() {
  return m_pLastErrorCode ? m_pLastErrorCode(m_nInstance) : 0;
}

std::string CPDFLibraryBinding::LastErrorText() {
  const char* text = m_pLastErrorText ? m_pLastErrorText(m_nInstance) : nullptr;
  return text != nullptr ? text : "";
}

void CPDFLibraryBinding::Abort() {
  if (m_pAbort != nullptr && m_nInstance > 0) m_pAbort(m_nInstance);
}
