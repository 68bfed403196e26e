#pragma once
// What of a user's answer may be written to the log: the one rule every log
// line that mentions an answer goes through.

#include <string>

// The answer as typed when it names a factor ("push", "phone", "sms" or
// "auto", in any case, optionally followed by decimal digits, e.g. "push2");
// otherwise one '*' per character, so that a passcode never reaches the log.
std::string MaskAnswerForLog(const std::string& answer);
