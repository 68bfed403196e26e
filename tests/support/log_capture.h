#pragma once
// Captures the lines this process writes to the debugger output (and so every
// line of the module's log), in order, while the capture object lives.
// OutputDebugStringA raises DBG_PRINTEXCEPTION_C, which a vectored handler sees.

#include <string>
#include <vector>

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Whole lines as written, prefix and CR LF included.
    std::vector<std::string> RawLines() const;
    // The caller's text of each line: prefix, the space after it and CR LF removed.
    std::vector<std::string> Texts() const;
    void Clear();
};

// Removes "MM/DD/YY hh:mm:ss (tid) " and the trailing CR LF; returns the line
// unchanged if it lacks a valid prefix.
std::string StripLogPrefix(const std::string& line);
