#pragma once
// HTTP/1.1 answer framing for the module's own HTTPS client: the status line,
// the header block, and the body by length, by chunks or to the end of the
// stream. CBuiltinTlsClient (net/builtin_tls.cpp) feeds it the bytes of its
// TLS session; nothing here knows of sockets, TLS or time.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The status code of an HTTP status line ("HTTP/1.x NNN text"); -1 when the
// line is not one.
int ParseStatusLine(const std::string& line);

// The value of the header line `name` (compared without case) in `head`, a
// status line followed by header lines each ending in "\r\n"; "" when absent.
std::string HeaderValue(const std::string& head, const char* name);

// The values of every header line `name` in `head`, in their order.
std::vector<std::string> HeaderValues(const std::string& head, const char* name);

// The comma-separated tokens of a header's value (spaces and tabs around each
// dropped, empty ones skipped), in lower case.
std::vector<std::string> HeaderTokens(const std::string& value);

// Whether `value` holds the token `token` (lower case), compared without case.
bool ContainsToken(const std::string& value, const char* token);

struct HttpAnswer {
    int status = 0;
    std::string contentType;  // the Content-Type header's value, "" when absent
    std::string body;         // bytes
    bool closeAfter = false;  // the connection cannot carry another request
};

// Appends the stream's next bytes to the buffer it is given; false once the
// server has ended the stream in order (over TLS: its close_notify). Every
// other outcome (a time-out, a cancel, a connection closed without that end)
// is thrown by the reader itself.
using ReadMore = std::function<bool(std::string& buffer)>;

// Reads one final answer (interim 1xx answers are skipped, as WinHTTP does)
// from `buffer` and what `readMore` adds to it. Bytes after the answer stay in
// `buffer`. Throws CINetException naming `what`, waiting for the answer:
// 12152 for bytes that are not an HTTP answer (among them Content-Length
// headers that disagree or have no value, a transfer coding other than
// chunked, and a chunk size followed by anything but spaces, ";" or the
// line's end), 12030 for an answer cut short or larger than any answer of
// the service (for a chunked body, its size lines and trailers count with
// its data).
HttpAnswer ReadHttpAnswer(std::string& buffer, const ReadMore& readMore, const std::string& what);
