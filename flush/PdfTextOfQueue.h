#pragma once

#include "catalogue/PdfTextReader.h"

class CPdfReaderQueue;

// A PDF text reader on the process's reader queue (all pages, text option 7). The queue is not
// owned and must outlive the reader; while *quiet (may be null) is true a failure writes no
// error record. A null or unusable queue reads as "no PDF plug-in".
PdfTextReader PdfTextOfQueue(CPdfReaderQueue* queue, const bool* quiet);
