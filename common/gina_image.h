#pragma once
// Whether a file is a login module Winlogon on Windows XP x64 / Server 2003 x64
// can load, judged from its headers alone. Used by vyn-check and by the
// installer's uninstall action (which gives a replaced module back only when
// it would load); neither loads the file: a DLL's entry point runs at
// LoadLibrary, and a wrong one must not run inside the administrator's check
// or the installer.

#include <string>
#include <vector>

enum class ImageProblem {
    None,
    Unreadable,      // the file could not be opened or read
    NotPe,           // no MZ/PE signature: a text file, for instance
    NotAmd64,        // a PE image for another machine (x86 above all)
    NotPe32Plus,     // an AMD64 machine field without the 64-bit optional header
    NotDll,          // an executable, not a DLL
    MissingExports,  // a DLL that lacks functions Winlogon requires of a GINA
};

struct ImageFinding {
    ImageProblem problem = ImageProblem::Unreadable;
    unsigned machine = 0;              // IMAGE_FILE_HEADER.Machine when read
    unsigned long error = 0;           // the Win32 error for Unreadable
    std::vector<std::string> missing;  // for MissingExports, in the required order
};

// The functions every GINA must export: Winlogon refuses a module without any
// of them, whatever interface version it negotiates.
extern const char* const kRequiredWlxExports[12];

ImageFinding InspectGinaImage(const std::wstring& path);

// The finding in words, e.g. "a 32-bit (x86) image", for the registration line.
std::string ImageProblemWords(const ImageFinding& finding);
