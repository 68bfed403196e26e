// The answer envelope. Bodies come from the network and are read in place with
// libbson: every length is checked against the bytes that arrived before a
// document is viewed, so a short, truncated or hostile body ends as a logged
// failure, never as a read outside the body.
#include "auth/envelope.h"

#include <bson/bson.h>

#include <cstring>

#include "diag/errors.h"
#include "diag/log.h"

namespace {

constexpr size_t kMinDocumentLength = 5;  // length word and terminating zero

// A libbson view of `doc`, or false when the bytes are not a document of
// exactly that length: declared length equal to the view's, at least five
// bytes, ended by a zero byte.
bool ViewDocument(const BsonView& doc, bson_t& out) {
    if (!doc.data || doc.length < kMinDocumentLength || doc.length > static_cast<size_t>(INT32_MAX)) return false;
    return bson_init_static(&out, doc.data, doc.length);
}

// The first direct element named `key`, when it has type `type`. libbson's
// iterator checks every element against the document's end; an element that
// would run past it ends the search as not found.
bool FindElement(const BsonView& doc, const char* key, bson_type_t type, bson_iter_t& it) {
    bson_t view;
    if (!ViewDocument(doc, view)) return false;
    return bson_iter_init_find(&it, &view, key) && bson_iter_type(&it) == type;
}

// The text of a string element up to its first zero byte. libbson has checked
// that the value's last byte is zero, so the scan stays inside the value.
std::string StringValue(const bson_iter_t& it) {
    uint32_t length = 0;
    const char* text = bson_iter_utf8(&it, &length);
    return text ? std::string(text) : std::string();
}

}  // namespace

std::string ReadStringElement(const BsonView& doc, const char* key) {
    bson_iter_t it;
    if (!FindElement(doc, key, BSON_TYPE_UTF8, it)) return std::string();
    return StringValue(it);
}

bool ReadDocumentElement(const BsonView& doc, const char* key, BsonView& out) {
    bson_iter_t it;
    if (!FindElement(doc, key, BSON_TYPE_DOCUMENT, it)) return false;
    uint32_t length = 0;
    const uint8_t* data = nullptr;
    bson_iter_document(&it, &length, &data);
    const BsonView found{data, length};
    // An embedded document too short or unterminated to be read counts as absent.
    bson_t view;
    if (!ViewDocument(found, view)) return false;
    out = found;
    return true;
}

namespace {

// Why an envelope is not accepted, for the module's log line and for
// vyn-check's finding.
enum class EnvelopeState { Accepted, NotBson, NoStat, StatNotString, Fault, NoResponse, ResponseNotDocument };

// The type of the direct element `key`, or BSON_TYPE_EOD when absent.
bson_type_t ElementType(const BsonView& doc, const char* key) {
    bson_t view;
    bson_iter_t it;
    if (!ViewDocument(doc, view) || !bson_iter_init_find(&it, &view, key)) return BSON_TYPE_EOD;
    return bson_iter_type(&it);
}

// Reads the envelope; `payload` views "response" when accepted, and `fault`
// names the service's fault (stat, code and message, each as the log shows
// service text) when the state is Fault.
EnvelopeState Examine(const uint8_t* body, size_t size, BsonView& payload, std::string& fault) {
    int32_t declared = 0;
    if (size >= sizeof declared) std::memcpy(&declared, body, sizeof declared);  // little-endian target
    // A declared length beyond the body, below the smallest document, or
    // without the terminating zero cannot be viewed safely: all are corrupt.
    // Bytes after the declared length are not part of the document.
    BsonView envelope{body, declared > 0 ? static_cast<size_t>(declared) : 0};
    bson_t view;
    if (size < sizeof declared || declared < 0 || static_cast<size_t>(declared) > size || !ViewDocument(envelope, view))
        return EnvelopeState::NotBson;

    bson_iter_t it;
    if (!FindElement(envelope, "stat", BSON_TYPE_UTF8, it))
        return ElementType(envelope, "stat") == BSON_TYPE_EOD ? EnvelopeState::NoStat : EnvelopeState::StatNotString;
    const std::string stat = StringValue(it);

    if (stat == "OK") {
        BsonView response;
        if (!ReadDocumentElement(envelope, "response", response))
            return ElementType(envelope, "response") == BSON_TYPE_EOD ? EnvelopeState::NoResponse
                                                                      : EnvelopeState::ResponseNotDocument;
        payload = response;
        return EnvelopeState::Accepted;
    }

    fault = ServiceTextForLog(stat);
    if (FindElement(envelope, "code", BSON_TYPE_INT32, it)) fault += ", code=" + std::to_string(bson_iter_int32(&it));
    if (FindElement(envelope, "message", BSON_TYPE_UTF8, it)) fault += ", message=" + ServiceTextForLog(StringValue(it));
    return EnvelopeState::Fault;
}

}  // namespace

bool ExtractResponseDocument(const uint8_t* body, size_t size, BsonView& payload) {
    std::string fault;
    switch (Examine(body, size, payload, fault)) {
        case EnvelopeState::Accepted: return true;
        case EnvelopeState::NotBson: LogMessage("ERROR: bson is corrupt or invalid"); break;
        case EnvelopeState::NoStat:
        case EnvelopeState::StatNotString: LogMessage("ERROR: Unable to find element 'stat' in bson response"); break;
        case EnvelopeState::NoResponse:
        case EnvelopeState::ResponseNotDocument:
            LogMessage("ERROR: Unable to find element 'response' in bson response");
            break;
        case EnvelopeState::Fault: LogMessage("ERROR: Vyn server returned fault (" + fault + ")"); break;
    }
    return false;
}

std::string EnvelopeFault(const std::string& body) {
    BsonView payload;
    std::string fault;
    switch (Examine(reinterpret_cast<const uint8_t*>(body.data()), body.size(), payload, fault)) {
        case EnvelopeState::Accepted: return std::string();
        case EnvelopeState::NotBson: return "the body is not a BSON document";
        case EnvelopeState::NoStat: return "the envelope has no \"stat\"";
        case EnvelopeState::StatNotString: return "the envelope's \"stat\" is not a string";
        case EnvelopeState::NoResponse: return "the envelope has no \"response\"";
        case EnvelopeState::ResponseNotDocument: return "the envelope's \"response\" is not a document";
        case EnvelopeState::Fault: return "the service answered with a fault (" + fault + ")";
    }
    return std::string();
}

bool ExtractResponseDocument(const std::string& body, BsonView& payload) {
    return ExtractResponseDocument(reinterpret_cast<const uint8_t*>(body.data()), body.size(), payload);
}

BsonView ParseResponse(const std::string& body) {
    BsonView payload;
    if (!ExtractResponseDocument(body, payload)) throw CVynException(UnexpectedResponse, std::string());
    return payload;
}

void ReadResultAndStatus(const BsonView& payload, std::string& result, std::string& status) {
    result = ReadStringElement(payload, "result");
    status = ReadStringElement(payload, "status");
}
