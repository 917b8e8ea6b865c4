#include "testsupport/ScratchErrorLog.h"

#include "errors/CErrorLog.h"

namespace testsupport {

ScratchErrorLog::ScratchErrorLog(const std::string& fileName) : m_strPath(m_Dir.File(fileName)) {
  FKEXCEPTION::CErrorLog::ResetForTests();
  FKEXCEPTION::CErrorLog::SetPath(m_strPath);
}

ScratchErrorLog::~ScratchErrorLog() { FKEXCEPTION::CErrorLog::ResetForTests(); }

}  // namespace testsupport
