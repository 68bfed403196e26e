// HTTP/1.1 answer framing of the module's own HTTPS client (see
// net/http_framing.h).
#include <windows.h>

#include "net/http_framing.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "diag/errors.h"
#include "net/https_types.h"
#include "net/winhttp_error.h"

namespace {

constexpr DWORD kConnectionBroken = 12030;  // ERROR_WINHTTP_CONNECTION_ERROR
constexpr DWORD kInvalidResponse = 12152;   // ERROR_WINHTTP_INVALID_SERVER_RESPONSE

// An answer's header block larger than this is not an answer of the service.
constexpr size_t kMaxHeaderBytes = 64 * 1024;

}  // namespace

int ParseStatusLine(const std::string& line) {
    if (line.compare(0, 7, "HTTP/1.") != 0 || line.size() < 12 || line[8] != ' ') return -1;
    int status = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9') return -1;
        status = status * 10 + (line[i] - '0');
    }
    if (line.size() > 12 && line[12] != ' ') return -1;
    return status;
}

std::vector<std::string> HeaderValues(const std::string& head, const char* name) {
    std::vector<std::string> values;
    const size_t nameLength = std::strlen(name);
    size_t line = head.find("\r\n");
    while (line != std::string::npos && line + 2 < head.size()) {
        const size_t start = line + 2;
        line = head.find("\r\n", start);
        const std::string text = head.substr(start, line == std::string::npos ? std::string::npos : line - start);
        if (text.size() > nameLength && text[nameLength] == ':' && _strnicmp(text.c_str(), name, nameLength) == 0) {
            size_t b = nameLength + 1;
            while (b < text.size() && (text[b] == ' ' || text[b] == '\t')) ++b;
            size_t e = text.size();
            while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
            values.push_back(text.substr(b, e - b));
        }
    }
    return values;
}

std::string HeaderValue(const std::string& head, const char* name) {
    const std::vector<std::string> values = HeaderValues(head, name);
    return values.empty() ? std::string() : values.front();
}

std::vector<std::string> HeaderTokens(const std::string& value) {
    std::vector<std::string> tokens;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(',', start);
        if (end == std::string::npos) end = value.size();
        size_t b = start, e = end;
        while (b < e && (value[b] == ' ' || value[b] == '\t')) ++b;
        while (e > b && (value[e - 1] == ' ' || value[e - 1] == '\t')) --e;
        if (e > b) {
            std::string token;
            for (size_t i = b; i < e; ++i) token += static_cast<char>(std::tolower(static_cast<unsigned char>(value[i])));
            tokens.push_back(token);
        }
        start = end + 1;
    }
    return tokens;
}

bool ContainsToken(const std::string& value, const char* token) {
    for (const std::string& t : HeaderTokens(value)) {
        if (t == token) return true;
    }
    return false;
}

HttpAnswer ReadHttpAnswer(std::string& buffer, const ReadMore& readMore, const std::string& what) {
    auto fail = [&what](DWORD code) { ThrowWinHttpError(what, code, NetWait::Answer); };
    HttpAnswer answer;
    std::string head;
    for (;;) {
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (buffer.size() > kMaxHeaderBytes) fail(kInvalidResponse);
            if (!readMore(buffer)) fail(kConnectionBroken);
        }
        head = buffer.substr(0, end + 2);
        buffer.erase(0, end + 4);
        answer.status = ParseStatusLine(head.substr(0, head.find("\r\n")));
        if (answer.status < 0) fail(kInvalidResponse);
        if (answer.status >= 200 || answer.status < 100) break;
    }

    std::string& body = answer.body;
    answer.contentType = HeaderValue(head, "Content-Type");
    // Every Transfer-Encoding line's codings, in order. The module decodes
    // none but chunked: an answer in any other coding cannot be read, and a
    // name that only contains "chunked" is not chunked.
    std::vector<std::string> codings;
    for (const std::string& value : HeaderValues(head, "Transfer-Encoding")) {
        for (std::string& token : HeaderTokens(value)) codings.push_back(std::move(token));
    }
    if (codings.size() > 1 || (codings.size() == 1 && codings.front() != "chunked")) fail(kInvalidResponse);
    const bool chunked = !codings.empty();
    // Lengths that disagree leave the answer's end to whoever reads it:
    // a proxy on the path may have taken another one than ours. A length
    // line without a value disagrees with any other.
    std::string contentLength;
    for (const std::string& value : HeaderValues(head, "Content-Length")) {
        const std::vector<std::string> lengths = HeaderTokens(value);
        if (lengths.empty()) fail(kInvalidResponse);
        for (const std::string& token : lengths) {
            if (!contentLength.empty() && token != contentLength) fail(kInvalidResponse);
            contentLength = token;
        }
    }
    // An answer with both a length and chunks is framed by its chunks; a
    // proxy on the path may have read it by its length, so the connection
    // carries nothing after it.
    answer.closeAfter = ContainsToken(HeaderValue(head, "Connection"), "close") ||
                        (head.compare(0, 8, "HTTP/1.0") == 0 &&
                         !ContainsToken(HeaderValue(head, "Connection"), "keep-alive")) ||
                        (chunked && !contentLength.empty());
    if (answer.status == 204 || answer.status == 304) {
        // No body by definition.
    } else if (chunked) {
        // Every byte of the chunked body counts against the answer's bound:
        // the size lines and the trailers as well as the data, so a server
        // cannot grow the module's memory with an endless line.
        size_t used = 0;
        auto takeLine = [&]() -> size_t {
            size_t lineEnd;
            while ((lineEnd = buffer.find("\r\n")) == std::string::npos) {
                if (used + buffer.size() > kMaxAnswerBytes) fail(kConnectionBroken);
                if (!readMore(buffer)) fail(kConnectionBroken);
            }
            used += lineEnd + 2;
            if (used > kMaxAnswerBytes) fail(kConnectionBroken);
            return lineEnd;
        };
        for (;;) {
            const size_t lineEnd = takeLine();
            unsigned long long size = 0;
            size_t i = 0;
            for (; i < lineEnd && std::isxdigit(static_cast<unsigned char>(buffer[i])); ++i) {
                const char ch = static_cast<char>(std::tolower(static_cast<unsigned char>(buffer[i])));
                size = size * 16 + static_cast<unsigned>(ch <= '9' ? ch - '0' : ch - 'a' + 10);
                if (size > 0x7fffffffULL) fail(kInvalidResponse);
            }
            if (i == 0) fail(kInvalidResponse);
            // Spaces, then a chunk extension (ignored) or the line's end.
            while (i < lineEnd && (buffer[i] == ' ' || buffer[i] == '\t')) ++i;
            if (i < lineEnd && buffer[i] != ';') fail(kInvalidResponse);
            if (used + size + 2 > kMaxAnswerBytes) fail(kConnectionBroken);
            buffer.erase(0, lineEnd + 2);
            if (size == 0) {
                // Trailer lines up to the empty one.
                for (;;) {
                    const size_t trailerEnd = takeLine();
                    buffer.erase(0, trailerEnd + 2);
                    if (trailerEnd == 0) break;
                }
                break;
            }
            while (buffer.size() < size + 2) {
                if (!readMore(buffer)) fail(kConnectionBroken);
            }
            if (buffer.compare(size, 2, "\r\n") != 0) fail(kInvalidResponse);
            body.append(buffer, 0, size);
            buffer.erase(0, size + 2);
            used += size + 2;
        }
    } else if (!contentLength.empty()) {
        unsigned long long length = 0;
        for (char ch : contentLength) {
            if (ch < '0' || ch > '9') fail(kInvalidResponse);
            length = length * 10 + static_cast<unsigned>(ch - '0');
            if (length > 0x7fffffffULL) fail(kInvalidResponse);
        }
        // A body cut short is a broken exchange, not a shorter answer; so is
        // one declared longer than any answer of the service, which is not
        // read at all.
        if (length > kMaxAnswerBytes) fail(kConnectionBroken);
        while (buffer.size() < length) {
            if (!readMore(buffer)) fail(kConnectionBroken);
        }
        body.append(buffer, 0, length);
        buffer.erase(0, length);
    } else {
        // Neither length nor chunks: the body runs to the orderly end of the
        // stream, which readMore reports only for the server's own end (TLS
        // close_notify), never for a bare end of the connection.
        while (readMore(buffer)) {
            if (buffer.size() > kMaxAnswerBytes) fail(kConnectionBroken);
        }
        body.swap(buffer);
        buffer.clear();
        answer.closeAfter = true;
    }
    return answer;
}
