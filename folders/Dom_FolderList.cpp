#include "folders/Dom_FolderList.h"

#include <cctype>
#include <climits>
#include <exception>

#include "errors/CErrorLog.h"
#include "errors/CFKException.h"
#include "tools/CTool_FileSystem.h"

namespace {

using TextSetter = void (FK::CFolder::*)(const std::string&);
using FlagSetter = void (FK::CFolder::*)(int);

struct TextField {
  const char* Element;
  TextSetter Setter;
};

struct FlagField {
  const char* Element;
  FlagSetter Setter;
  bool bTrueOnly;  // true-only: 1 for "TRUE"; otherwise false-only: 0 for "FALSE"
};

const TextField kTextFields[] = {
    {"Reference", &FK::CFolder::SetReference},
    {"Name", &FK::CFolder::SetName},
    {"LinkToAccountingFiles", &FK::CFolder::SetLinkToAccountingFiles},
    {"Password", &FK::CFolder::SetPassword},
    {"VATNumber", &FK::CFolder::SetVATNumber},
    {"ArchivePath", &FK::CFolder::SetArchivePath},
    {"OriginalPath", &FK::CFolder::SetOriginalPath},
    {"ProcessingPath", &FK::CFolder::SetProcessingPath},
    {"ScanningPath", &FK::CFolder::SetScanningPath},
    {"UploadedFTPPath", &FK::CFolder::SetUploadedFTPPath},
    {"EInvoicesPath", &FK::CFolder::SetEInvoicesPath},
    {"OutboxPath", &FK::CFolder::SetOutboxPath},
    {"HostName", &FK::CFolder::SetHostName},
    {"CatName", &FK::CFolder::SetCatName},
    {"UploadSrcDirectory", &FK::CFolder::SetUploadSrcDirectory},
    {"UploadDstDirectory", &FK::CFolder::SetUploadDstDirectory},
    {"UploadAccount", &FK::CFolder::SetUploadAccount},
    {"UploadPrefixe", &FK::CFolder::SetUploadPrefixe},
    {"Country", &FK::CFolder::SetCountry},
    {"DEPEmailNotification", &FK::CFolder::SetDEPEmailNotification},
    {"DEPFolderID", &FK::CFolder::SetDEPFolderID},
    {"ApprovalRuleForNewSupplier", &FK::CFolder::SetApprovalRuleForNewSupplier},
};

const FlagField kFlagFields[] = {
    {"UseSpecificCatalogue", &FK::CFolder::SetUseSpecificCatalogue, true},
    {"UseMIS", &FK::CFolder::SetUseMIS, true},
    {"UseAutomaticUpload", &FK::CFolder::SetUseAutomaticUpload, true},
    {"UploadSrcSubDirectory", &FK::CFolder::SetUploadSrcSubDirectory, false},
    {"ActivateSecureScanning", &FK::CFolder::SetActivateSecureScanning, false},
    {"UseFKStamp", &FK::CFolder::SetUseFKStamp, true},
};

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return i == a.size() && b[i] == '\0';
}

int TrueOnly(const std::string& text) { return EqualsNoCase(text, "TRUE") ? 1 : 0; }

// Leading white space and a sign allowed, reading stops at the first non-digit; clamped to int.
int ReadSignedDecimal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  return value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

void ReportLoadFailure(const std::string& filePath) {
  FKEXCEPTION::CErrorLog::WriteErrorLog(
      FKEXCEPTION::CFKException_General(FKEXCEPTION::kErrorLoadFile, 0, __LINE__, "CDOM_FolderList", "Load",
                                        "Impossible to load xml file : " + filePath, ""));
}

}  // namespace

Dom_FolderList::Dom_FolderList(const std::string& filePath, int loadNow)
    : m_strFilePath(filePath) {
  if (loadNow) Load();
}

std::vector<std::string> Dom_FolderList::GetFolderReferences() const {
  std::vector<std::string> references;
  references.reserve(m_Folders.size());
  for (const auto& entry : m_Folders) references.push_back(entry.first);
  return references;
}

FK::CFolder Dom_FolderList::GetFolder(const std::string& reference) const {
  auto found = m_Folders.find(reference);
  return found == m_Folders.end() ? FK::CFolder() : found->second;
}

void Dom_FolderList::UpdateFolder(const FK::CFolder& record) {
  m_Folders[record.GetReference()] = record;
}

void Dom_FolderList::Load() {
  m_bLoaded = false;
  m_FoldersWithoutReference.clear();
  if (!CTool_FileSystem::PathExists(m_strFilePath)) return;
  platform::XmlDocument document;
  if (!document.LoadFile(m_strFilePath)) {
    ReportLoadFailure(m_strFilePath);
    return;
  }
  try {
    ResetCurrentFolder();
    processchildnodes(document.GetChildNodes());
    CommitCurrentFolder();
    m_bLoaded = true;
  } catch (const std::exception&) {
    ReportLoadFailure(m_strFilePath);
  }
}

void Dom_FolderList::processchildnodes(const std::vector<platform::XmlNode>& nodes) {
  for (const platform::XmlNode& node : nodes) {
    if (node.IsElement()) {
      try {
        ProcessElement(node, node.GetName());
      } catch (const std::exception&) {
        FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException_General(
            FKEXCEPTION::kErrorLoadFile, 0, __LINE__, "CDOM_FolderList", "processchildnodes", "", ""));
      }
    }
    if (node.HasChildNodes()) processchildnodes(node.GetChildNodes());
  }
}

void Dom_FolderList::ResetCurrentFolder() {
  // These five fields carry over from the previous folder of the file, as the suite's
  // other readers of this file do.
  FK::CFolder fresh;
  fresh.SetApprovalRuleForNewSupplier(CurrentFolder.GetApprovalRuleForNewSupplier());
  fresh.SetCanSort(CurrentFolder.GetCanSort());
  fresh.SetSortBy(CurrentFolder.GetSortBy());
  fresh.SetMoveNCToTop(CurrentFolder.GetMoveNCToTop());
  fresh.SetAutoMoveAfterDownloading(CurrentFolder.GetAutoMoveAfterDownloading());
  CurrentFolder = fresh;
}

void Dom_FolderList::CommitCurrentFolder() {
  if (!CurrentFolder.GetReference().empty()) {
    UpdateFolder(CurrentFolder);
  } else if (CurrentFolder.GetUseMIS() == 1) {
    m_FoldersWithoutReference.push_back(CurrentFolder.GetName());
  }
}

void Dom_FolderList::ProcessElement(const platform::XmlNode& node, const std::string& name) {
  if (name == "Folder") {
    CommitCurrentFolder();
    ResetCurrentFolder();
    return;
  }
  if (name == "SubFolder") {
    if (node.GetParentName() == "DocumentTypeSubFolder") ReadSubFolder(node);
    return;
  }
  if (name == "DocumentMoving") {
    ReadDocumentMoving(node);
    return;
  }
  // The suite's XML reader returns element text without surrounding white space.
  const std::string text = node.GetTrimmedText();
  if (SetTextField(name, text) || SetFlagField(name, text)) return;
  if (name == "AutomationPlugIn") {
    CurrentFolder.AddAutomationPlugIn(text);
  } else if (name == "FolderType") {
    if (text == "SUPPLIER") CurrentFolder.SetFolderType(0);
    if (text == "CUSTOMER") CurrentFolder.SetFolderType(1);
    if (text == "SUPPLIER-CUSTOMER") CurrentFolder.SetFolderType(2);
  } else if (name == "CompanyId" && node.GetParentName() == "LarkvaleConnect") {
    CurrentFolder.SetCompanyId(text);
  }
}

bool Dom_FolderList::SetTextField(const std::string& name, const std::string& text) {
  for (const TextField& field : kTextFields) {
    if (name == field.Element) {
      (CurrentFolder.*field.Setter)(text);
      return true;
    }
  }
  return false;
}

bool Dom_FolderList::SetFlagField(const std::string& name, const std::string& text) {
  for (const FlagField& field : kFlagFields) {
    if (name == field.Element) {
      const int value = field.bTrueOnly ? TrueOnly(text) : (EqualsNoCase(text, "FALSE") ? 0 : 1);
      (CurrentFolder.*field.Setter)(value);
      return true;
    }
  }
  return false;
}

void Dom_FolderList::ReadSubFolder(const platform::XmlNode& node) {
  std::string type;
  std::string path;
  if (!node.GetAttribute("Type", type) || !node.GetAttribute("Path", path)) return;
  if (EqualsNoCase(type, "BANK")) CurrentFolder.SetBankSubFolder(path);
  else if (EqualsNoCase(type, "SALE")) CurrentFolder.SetSaleSubFolder(path);
  else if (EqualsNoCase(type, "PURCHASE")) CurrentFolder.SetPurchaseSubFolder(path);
  else CurrentFolder.SetOtherSubFolder(path);
}

void Dom_FolderList::ReadDocumentMoving(const platform::XmlNode& node) {
  std::string canSort, sortBy, moveNCToTop, autoMove;
  if (!node.GetAttribute("CanSort", canSort) || !node.GetAttribute("SortBy", sortBy) ||
      !node.GetAttribute("MoveNCToTop", moveNCToTop) ||
      !node.GetAttribute("AutoMoveAfterDownloading", autoMove)) {
    return;
  }
  CurrentFolder.SetCanSort(TrueOnly(canSort));
  CurrentFolder.SetSortBy(ReadSignedDecimal(sortBy));
  CurrentFolder.SetMoveNCToTop(TrueOnly(moveNCToTop));
  CurrentFolder.SetAutoMoveAfterDownloading(TrueOnly(autoMove));
}
