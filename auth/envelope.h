#pragma once
// The service's answer envelope: a BSON document with "stat" ("OK" or a fault),
// "response" (the payload) or "code"/"message" (fault details, logged only).

#include <cstddef>
#include <cstdint>
#include <string>

// A view of one BSON document inside a response body. It does not own the
// bytes: it stays valid while the body string it points into lives unchanged.
struct BsonView {
    const uint8_t* data = nullptr;
    size_t length = 0;
};

// True only for an accepted envelope ("stat" exactly "OK") with a "response"
// document, which `payload` then views. Every false return logs one line.
bool ExtractResponseDocument(const std::string& body, BsonView& payload);
// The same over raw bytes: `size` bytes at `body`, never read beyond.
bool ExtractResponseDocument(const uint8_t* body, size_t size, BsonView& payload);

// What keeps an answer's body from being an accepted envelope, in an
// administrator's words ("the body is not a BSON document", "the envelope has
// no \"stat\"", ...); "" for an accepted one. vyn-check names it in its finding.
std::string EnvelopeFault(const std::string& body);

// ExtractResponseDocument, throwing CVynException(UnexpectedResponse) on false.
BsonView ParseResponse(const std::string& body);

// The string element `key` among the direct elements of `doc`, up to its first
// zero byte; empty when absent or of another type.
std::string ReadStringElement(const BsonView& doc, const char* key);

// The embedded-document element `key` of `doc` (arrays do not count).
bool ReadDocumentElement(const BsonView& doc, const char* key, BsonView& out);

// "result" and "status" of a status payload, each empty when absent or not a string.
void ReadResultAndStatus(const BsonView& payload, std::string& result, std::string& status);
