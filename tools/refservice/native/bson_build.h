#pragma once
// BSON bodies of the service: documents from scenario JSON (with typed values),
// envelopes, and the deliberately malformed bodies that tests ask for.

#include <nlohmann/json.hpp>
#include <string>

namespace vynref {

using Json = nlohmann::ordered_json;  // keeps the scenario's element order in the BSON

// A JSON object as a BSON document (bytes). False with a message when a value
// cannot be represented (for example an unknown "$type" object).
bool JsonToBson(const Json& object, std::string* bson, std::string* error);

// {"stat":"OK","response":<payload>} where payload is BSON document bytes.
std::string OkEnvelope(const std::string& payloadBson);
// {"stat":"FAIL","code":code,"message":message}
std::string FaultEnvelope(int code, const std::string& message);

// Names of the malformed-body modes, for validation.
bool IsMalformedMode(const std::string& mode);
// The body of a malformed answer derived from the normal payload.
std::string MalformedBody(const std::string& mode, const std::string& payloadBson);

}  // namespace vynref
