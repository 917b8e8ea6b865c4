#pragma once

// The PDF text plug-in (libfkpdftext.so): text of PDF pages as UTF-8, extracted by a helper
// process so that a hostile document can only end the helper. Every function but
// FKPdfText_CreateLibrary takes the instance; calls on one instance are serialised.

#define FKPDFTEXT_API __attribute__((visibility("default")))

extern "C" {

/* Last error codes. */
enum {
  FKPDFTEXT_OK = 0,
  FKPDFTEXT_ERROR_UNREADABLE = 1,   /* missing, unreadable, damaged or not a PDF */
  FKPDFTEXT_ERROR_PASSWORD = 2,     /* protected by a password that was not given */
  FKPDFTEXT_ERROR_TIMEOUT = 3,      /* the document's deadline passed; the helper was ended */
  FKPDFTEXT_ERROR_CRASHED = 4,      /* the helper ended abnormally */
  FKPDFTEXT_ERROR_MEMORY = 5,       /* the helper reached its memory cap */
  FKPDFTEXT_ERROR_HELPER = 6,       /* the helper cannot be started or broke the protocol */
  FKPDFTEXT_ERROR_TOO_LARGE = 7,    /* the document's text exceeds the plug-in's limit */
  FKPDFTEXT_ERROR_ARGUMENT = 8,     /* unknown instance, file handle or page */
  FKPDFTEXT_ERROR_PAGE = 9,         /* the page could not be read */
  FKPDFTEXT_ERROR_ABORTED = 10      /* the instance was aborted (the service stops) */
};

/* A new instance (> 0), 0 on failure. Reads FK_PDFTEXT_HELPER, FK_PDFTEXT_DEADLINE_MS (the
   processor time a document may take), FK_PDFTEXT_WALL_MS (the wall-clock time it may take)
   and FK_PDFTEXT_MEMORY_MB from the environment. */
FKPDFTEXT_API int FKPdfText_CreateLibrary(void);
/* Ends the instance's helper and forgets its files; 1, or 0 for an unknown instance. */
FKPDFTEXT_API int FKPdfText_ReleaseLibrary(int instance);
/* From any thread, even during a call on the instance: ends the instance's helper and makes
   the call in progress and every later open fail with FKPDFTEXT_ERROR_ABORTED; 1, or 0 for an
   unknown instance. */
FKPDFTEXT_API int FKPdfText_Abort(int instance);
/* Opens and reads a document: a file handle (> 0), 0 on failure (see the last error). */
FKPDFTEXT_API int FKPdfText_OpenFile(int instance, const char* path, const char* password);
FKPDFTEXT_API int FKPdfText_GetPageCount(int instance, int file);
/* The reference of a page (1-based page number), 0 when the page is unknown or unreadable. */
FKPDFTEXT_API int FKPdfText_FindPage(int instance, int file, int page);
/* The page's text as UTF-8, valid until the next call on the instance; "" on failure.
   Its length in bytes is FKPdfText_StringResultLength. options is accepted and unused. */
FKPDFTEXT_API const char* FKPdfText_ExtractPageText(int instance, int file, int pageRef,
                                                    int options);
FKPDFTEXT_API int FKPdfText_StringResultLength(int instance);
/* 1 when the file was open, 0 otherwise. */
FKPDFTEXT_API int FKPdfText_CloseFile(int instance, int file);
FKPDFTEXT_API int FKPdfText_LastErrorCode(int instance);
/* The reason of the last error ("timed out after 30 s"), "" when none. Valid until the next call. */
FKPDFTEXT_API const char* FKPdfText_LastErrorText(int instance);

}  // extern "C"
