#include "tools/check/report.h"

#include <cstdio>

namespace {

const char* StatusTag(Status status) {
    switch (status) {
        case Status::Ok: return "[ ok ]";
        case Status::Info: return "[info]";
        case Status::Warn: return "[warn]";
        case Status::Fail: return "[FAIL]";
    }
    return "[????]";
}

const char* StatusWord(Status status) {
    switch (status) {
        case Status::Ok: return "ok";
        case Status::Info: return "info";
        case Status::Warn: return "warn";
        case Status::Fail: return "fail";
    }
    return "unknown";
}

}  // namespace

const char* VerdictWord(Verdict verdict) {
    switch (verdict) {
        case Verdict::RegistrationBroken: return "registration-broken";
        case Verdict::KeysRefused: return "keys-refused";
        case Verdict::Refused: return "refused";
        case Verdict::Unreachable: return "unreachable";
        case Verdict::Bypass: return "bypass";
        case Verdict::Exposed: return "exposed";
        case Verdict::Ready: return "ready";
        case Verdict::Usage: return "usage";
    }
    return "unknown";
}

int ExitCode(Verdict verdict) {
    switch (verdict) {
        case Verdict::RegistrationBroken: return 4;
        case Verdict::KeysRefused:
        case Verdict::Refused: return 3;
        case Verdict::Unreachable: return 2;
        case Verdict::Bypass: return 1;
        case Verdict::Exposed: return 5;
        case Verdict::Ready: return 0;
        case Verdict::Usage: return 64;
    }
    return 64;
}

void Report::Add(std::string name, Status status, std::string detail) {
    findings_.push_back({std::move(name), status, std::move(detail)});
}

std::string Report::Line(const Finding& finding) { return std::string(StatusTag(finding.status)) + " " + finding.detail; }

std::string Report::Text(Verdict verdict, const std::string& sentence) const {
    std::string text;
    for (const Finding& f : findings_) text += Line(f) + "\n";
    text += std::string("verdict: ") + VerdictWord(verdict) + ": " + sentence + "\n";
    return text;
}

namespace {

// The length of the well-formed UTF-8 sequence at `at` (1 to 4), or 0 when
// the bytes there are none: a stray continuation byte, an overlong form, a
// surrogate, a code point past U+10FFFF or a cut sequence.
size_t Utf8SequenceAt(const std::string& text, size_t at) {
    const auto byte = [&text](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(at);
    size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // the bounds of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            // Texts of the service (a Content-Type, a fault's message) reach
            // the findings as sent. JSON is UTF-8 only, and a report over many
            // machines refuses a result that is not: each byte of a malformed
            // sequence becomes U+FFFD.
            const size_t length = Utf8SequenceAt(text, at);
            if (length == 0) {
                out += "\\ufffd";
            } else {
                out.append(text, at, length);
                at += length - 1;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

namespace {

// A text field, or null when the run could not learn it.
std::string JsonTextOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

}  // namespace

std::string Report::Json(Verdict verdict, const std::string& sentence, const RunFacts& facts) const {
    const MachineFacts& m = facts.machine;
    std::string json = "{\"schema\":1,\"machine\":" + JsonString(m.machine) + ",\"domain\":" + JsonTextOrNull(m.domain) +
                       ",\"os\":{\"version\":" + JsonString(m.osVersion) + ",\"service_pack\":" +
                       JsonString(m.servicePack) + ",\"architecture\":" + JsonString(m.architecture) +
                       "},\"module_version\":" + JsonTextOrNull(facts.moduleVersion) +
                       ",\"tool_version\":" + JsonString(facts.toolVersion) + ",\"checked_at\":" +
                       JsonString(m.checkedAt) + ",\"fail_open\":" + (facts.failOpen ? "true" : "false") +
                       ",\"tls\":" + JsonTextOrNull(facts.tls) +
                       ",\"recovery_codes\":" + std::to_string(facts.recoveryCodes) + ",\"checks\":[";
    for (size_t i = 0; i < findings_.size(); ++i) {
        const Finding& f = findings_[i];
        if (i) json += ",";
        json += "{\"name\":" + JsonString(f.name) + ",\"status\":" + JsonString(StatusWord(f.status)) +
                ",\"detail\":" + JsonString(f.detail) + "}";
    }
    json += "],\"verdict\":" + JsonString(VerdictWord(verdict)) + ",\"sentence\":" + JsonString(sentence) +
            ",\"exit_code\":" + std::to_string(ExitCode(verdict)) + "}\n";
    return json;
}
