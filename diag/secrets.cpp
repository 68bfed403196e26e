#include "diag/secrets.h"

#include <cctype>

namespace {

bool IsFactorWord(const std::string& answer) {
    static const char* const kFactors[] = {"push", "phone", "sms", "auto"};
    for (const char* factor : kFactors) {
        size_t i = 0;
        for (; factor[i] != '\0'; ++i) {
            if (i >= answer.size()) break;
            const unsigned char c = static_cast<unsigned char>(answer[i]);
            if (c >= 0x80 || std::tolower(c) != factor[i]) break;
        }
        if (factor[i] != '\0') continue;
        bool digitsOnly = true;
        for (size_t j = i; j < answer.size(); ++j) {
            if (answer[j] < '0' || answer[j] > '9') digitsOnly = false;
        }
        if (digitsOnly) return true;
    }
    return false;
}

}  // namespace

std::string MaskAnswerForLog(const std::string& answer) {
    if (IsFactorWord(answer)) return answer;
    // One asterisk per character: UTF-8 continuation bytes do not count.
    size_t characters = 0;
    for (unsigned char c : answer) {
        if ((c & 0xC0) != 0x80) ++characters;
    }
    return std::string(characters, '*');
}
