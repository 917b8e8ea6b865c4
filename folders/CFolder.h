#pragma once

#include <string>
#include <vector>

namespace FK {

// The record of one document folder as the folder list file describes it: a plain value
// class (copies are deep). Flags are ints used as booleans (0/1); FolderType is 0 = SUPPLIER,
// 1 = CUSTOMER, 2 = SUPPLIER-CUSTOMER. MonitoringStarted is run-time state, never read from the file.
// Fields the service reads have getters; the rest are kept as the file gives them, set only.
class CFolder {
 public:
  std::string GetReference() const { return m_Reference; }
  void SetReference(const std::string& value) { m_Reference = value; }
  std::string GetName() const { return m_Name; }
  void SetName(const std::string& value) { m_Name = value; }
  std::string GetArchivePath() const { return m_ArchivePath; }
  void SetArchivePath(const std::string& value) { m_ArchivePath = value; }
  std::string GetProcessingPath() const { return m_ProcessingPath; }
  void SetProcessingPath(const std::string& value) { m_ProcessingPath = value; }
  std::string GetScanningPath() const { return m_ScanningPath; }
  void SetScanningPath(const std::string& value) { m_ScanningPath = value; }
  std::string GetOriginalPath() const { return m_OriginalPath; }
  void SetOriginalPath(const std::string& value) { m_OriginalPath = value; }
  std::string GetEInvoicesPath() const { return m_EInvoicesPath; }
  void SetEInvoicesPath(const std::string& value) { m_EInvoicesPath = value; }
  void SetVATNumber(const std::string& value) { m_VATNumber = value; }
  void SetLinkToAccountingFiles(const std::string& value) { m_LinkToAccountingFiles = value; }
  void SetPassword(const std::string& value) { m_Password = value; }
  void SetUploadedFTPPath(const std::string& value) { m_UploadedFTPPath = value; }
  void SetOutboxPath(const std::string& value) { m_OutboxPath = value; }
  void SetHostName(const std::string& value) { m_HostName = value; }
  void SetCatName(const std::string& value) { m_CatName = value; }
  void SetUploadSrcDirectory(const std::string& value) { m_UploadSrcDirectory = value; }
  void SetUploadDstDirectory(const std::string& value) { m_UploadDstDirectory = value; }
  void SetUploadAccount(const std::string& value) { m_UploadAccount = value; }
  void SetUploadPrefixe(const std::string& value) { m_UploadPrefixe = value; }
  void SetDEPEmailNotification(const std::string& value) { m_DEPEmailNotification = value; }
  void SetDEPFolderID(const std::string& value) { m_DEPFolderID = value; }
  std::string GetCompanyId() const { return m_CompanyId; }
  void SetCompanyId(const std::string& value) { m_CompanyId = value; }
  std::string GetCountry() const { return m_Country; }
  void SetCountry(const std::string& value) { m_Country = value; }
  std::string GetApprovalRuleForNewSupplier() const { return m_ApprovalRuleForNewSupplier; }
  void SetApprovalRuleForNewSupplier(const std::string& value) { m_ApprovalRuleForNewSupplier = value; }
  std::string GetBankSubFolder() const { return m_BankSubFolder; }
  void SetBankSubFolder(const std::string& value) { m_BankSubFolder = value; }
  std::string GetSaleSubFolder() const { return m_SaleSubFolder; }
  void SetSaleSubFolder(const std::string& value) { m_SaleSubFolder = value; }
  std::string GetPurchaseSubFolder() const { return m_PurchaseSubFolder; }
  void SetPurchaseSubFolder(const std::string& value) { m_PurchaseSubFolder = value; }
  std::string GetOtherSubFolder() const { return m_OtherSubFolder; }
  void SetOtherSubFolder(const std::string& value) { m_OtherSubFolder = value; }
  int GetUseMIS() const { return m_UseMIS; }
  void SetUseMIS(int value) { m_UseMIS = value; }
  int GetMonitoringStarted() const { return m_MonitoringStarted; }
  void SetMonitoringStarted(int value) { m_MonitoringStarted = value; }
  int GetUseSpecificCatalogue() const { return m_UseSpecificCatalogue; }
  void SetUseSpecificCatalogue(int value) { m_UseSpecificCatalogue = value; }
  void SetUseAutomaticUpload(int value) { m_UseAutomaticUpload = value; }
  int GetUploadSrcSubDirectory() const { return m_UploadSrcSubDirectory; }
  void SetUploadSrcSubDirectory(int value) { m_UploadSrcSubDirectory = value; }
  int GetActivateSecureScanning() const { return m_ActivateSecureScanning; }
  void SetActivateSecureScanning(int value) { m_ActivateSecureScanning = value; }
  int GetUseFKStamp() const { return m_UseFKStamp; }
  void SetUseFKStamp(int value) { m_UseFKStamp = value; }
  int GetFolderType() const { return m_FolderType; }
  void SetFolderType(int value) { m_FolderType = value; }
  int GetCanSort() const { return m_CanSort; }
  void SetCanSort(int value) { m_CanSort = value; }
  int GetMoveNCToTop() const { return m_MoveNCToTop; }
  void SetMoveNCToTop(int value) { m_MoveNCToTop = value; }
  int GetAutoMoveAfterDownloading() const { return m_AutoMoveAfterDownloading; }
  void SetAutoMoveAfterDownloading(int value) { m_AutoMoveAfterDownloading = value; }
  int GetSortBy() const { return m_SortBy; }
  void SetSortBy(int value) { m_SortBy = value; }

  std::vector<std::string> GetAutomationPlugIns() const { return m_AutomationPlugIns; }
  void SetAutomationPlugIns(const std::vector<std::string>& plugIns) { m_AutomationPlugIns = plugIns; }
  // Appends the name unless an equal entry (case-sensitive) is already listed.
  void AddAutomationPlugIn(const std::string& name);

 private:
  std::string m_Reference;
  std::string m_Name;
  std::string m_ArchivePath;
  std::string m_ProcessingPath;
  std::string m_ScanningPath;
  std::string m_OriginalPath;
  std::string m_EInvoicesPath;
  std::string m_VATNumber;
  std::string m_LinkToAccountingFiles;
  std::string m_Password;
  std::string m_UploadedFTPPath;
  std::string m_OutboxPath;
  std::string m_HostName;
  std::string m_CatName;
  std::string m_UploadSrcDirectory;
  std::string m_UploadDstDirectory;
  std::string m_UploadAccount;
  std::string m_UploadPrefixe;
  std::string m_DEPEmailNotification;
  std::string m_DEPFolderID;
  std::string m_CompanyId;
  std::string m_Country = "BE";
  std::string m_ApprovalRuleForNewSupplier = "DEFAULT APPROVAL";
  std::string m_BankSubFolder;
  std::string m_SaleSubFolder;
  std::string m_PurchaseSubFolder;
  std::string m_OtherSubFolder;
  int m_UseMIS = 0;
  int m_MonitoringStarted = 0;
  int m_UseSpecificCatalogue = 0;
  int m_UseAutomaticUpload = 0;
  int m_UploadSrcSubDirectory = 1;
  int m_ActivateSecureScanning = 1;
  int m_UseFKStamp = 1;
  int m_FolderType = 0;
  int m_CanSort = 0;
  int m_MoveNCToTop = 0;
  int m_AutoMoveAfterDownloading = 0;
  int m_SortBy = 0;
  std::vector<std::string> m_AutomationPlugIns;
};

}  // namespace FK
