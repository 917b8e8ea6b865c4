// A stand-in plug-in for tests: it creates instances but offers none of the text functions.

extern "C" {

__attribute__((visibility("default"))) int FKPdfText_CreateLibrary(void) { return 1; }
__attribute__((visibility("default"))) int FKPdfText_ReleaseLibrary(int) { return 1; }

}  // extern "C"
