#pragma once
// Whether a file is a login module Winlogon on Windows XP x64 / Server 2003 x64
// can load, judged from its headers alone. Used by vyn-check and by the
// installer's uninstall action (which gives a replaced module back only when
// it would load); neither loads the file: a DLL's entry point runs at
// LoadLibrary, and a wrong one must not run inside the administrator's check
// or the installer.
//
// The file may be anyone's, hostile included, and the installer reads it on
// the uninstall's path: the reader is bounded. It reads at most 64 MiB,
// follows at most kMaxImageSections sections, kMaxExportNames export names
// and kMaxImportedDlls import descriptors, and scans at most a few hundred
// bytes for each name; each name or descriptor costs one pass over the
// section table. A verdict is thus a file read plus about two million small
// steps at worst, well under a second.

#include <string>
#include <vector>

enum class ImageProblem {
    None,
    Unreadable,      // the file could not be opened or read
    NotPe,           // no MZ/PE signature, or headers and tables that point outside the file
    NotAmd64,        // a PE image for another machine (x86 above all)
    NotPe32Plus,     // an AMD64 machine field without the 64-bit optional header
    NotDll,          // an executable, not a DLL
    MissingExports,  // a DLL that lacks functions Winlogon requires of a GINA
    TooManyEntries,  // more sections, export names or imported DLLs than the bounds above
};

struct ImageFinding {
    ImageProblem problem = ImageProblem::Unreadable;
    unsigned machine = 0;              // IMAGE_FILE_HEADER.Machine when read
    unsigned long error = 0;           // the Win32 error for Unreadable
    std::vector<std::string> missing;  // for MissingExports, in the required order
    // The DLLs the loader maps with the image (its import table; delay-loaded
    // DLLs are not needed to load it), named as the loader looks them up: see
    // LoaderFileName, each once (compared without case, as the loader does).
    // Filled when the headers are sound (None, MissingExports).
    std::vector<std::string> imports;
};

// The functions every GINA must export: Winlogon refuses a module without any
// of them, whatever interface version it negotiates.
extern const char* const kRequiredWlxExports[12];

constexpr unsigned kMaxImageSections = 96;  // the Windows loader's own limit
constexpr unsigned kMaxExportNames = 16384;
constexpr unsigned kMaxImportedDlls = 1024;

// A login module: an x64 DLL with every function of kRequiredWlxExports.
ImageFinding InspectGinaImage(const std::wstring& path);
// Any x64 DLL (one a login module imports, for instance).
ImageFinding InspectDllImage(const std::wstring& path);

// The file name LoadLibrary and the loader look for: a name whose last part
// has no extension gets ".dll"; a trailing "." (which says "no extension")
// is dropped.
std::string LoaderFileName(const std::string& name);
std::wstring LoaderFileName(const std::wstring& name);

// The finding in words, e.g. "a 32-bit (x86) image", for the registration line.
std::string ImageProblemWords(const ImageFinding& finding);
