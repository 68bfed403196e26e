#pragma once
// Fixture shared by the end-to-end tests: fresh settings for a unique tenant of
// the reference service, a clean Winlogon stand-in, and log helpers.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "tests/support/refservice.h"

namespace e2e {

using Lines = std::vector<std::string>;

class E2eTest : public testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        winlogon.Reset();
        ikey = refservice::UniqueIkey();
        settings.host = "localhost:" + std::to_string(refservice::Port());
        settings.ikey = ikey;
        settings.failOpen = 0;
        WriteSettings(settings);
    }
    void TearDown() override {
        ClearSettings();
        EXPECT_TRUE(winlogon.driverErrors.empty()) << "driver: " << winlogon.driverErrors.size() << " errors";
    }

    void Load(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(refservice::LoadScenario(ikey, kSkey, scenario, &error)) << error;
    }
    void Rewrite() { WriteSettings(settings); }

    std::vector<RecordedRequest> Requests() const { return refservice::Requests(ikey); }
    // Request targets and bodies, "METHOD target body" each.
    Lines Wire() const {
        Lines wire;
        for (const RecordedRequest& r : Requests()) wire.push_back(r.method + " " + r.target + " " + r.body);
        return wire;
    }

    Lines LogLines() const { return log.Texts(); }
    size_t Count(const std::string& line) const {
        size_t n = 0;
        for (const std::string& text : log.Texts()) n += text == line;
        return n;
    }
    bool Logged(const std::string& line) const { return Count(line) != 0; }
    bool LoggedStartingWith(const std::string& prefix) const {
        for (const std::string& text : log.Texts())
            if (text.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    // The lines from `from` on that are among `interesting`, in order.
    Lines Among(const Lines& interesting) const {
        Lines out;
        for (const std::string& text : log.Texts())
            for (const std::string& want : interesting)
                if (text == want) out.push_back(text);
        return out;
    }
    // `expected` occurs in the log in this order (other lines may lie between).
    testing::AssertionResult InOrder(const Lines& expected) const {
        const Lines texts = log.Texts();
        size_t at = 0;
        for (const std::string& want : expected) {
            while (at < texts.size() && texts[at] != want) ++at;
            if (at == texts.size()) {
                std::string all;
                for (const std::string& t : texts) all += "  " + t + "\n";
                return testing::AssertionFailure() << "missing or out of order: \"" << want << "\"\nlog:\n" << all;
            }
            ++at;
        }
        return testing::AssertionSuccess();
    }

    Winlogon& winlogon = Winlogon::Get();
    LogCapture log;
    Settings settings;
    std::string ikey;
};

}  // namespace e2e
