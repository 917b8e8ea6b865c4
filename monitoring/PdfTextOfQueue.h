#pragma once

#include "catalogue/PdfTextReader.h"

class CTool_QuickPDFLib;

// A PDF text reader on the engine's PDF tool (all pages, text option 7); the tool is not
// owned and must outlive the reader. A null or unusable tool reads as "no PDF plug-in".
PdfTextReader PdfTextOfTool(CTool_QuickPDFLib* tool);
