#pragma once
// A test fixture whose client session talks to the reference service over TLS,
// as a tenant of its own: a fresh integration key per test, the given secret.

#include <string>

#include <gtest/gtest.h>

#include "auth/session.h"
#include "tests/support/refservice.h"

class ServiceSessionTest : public ::testing::Test {
protected:
    explicit ServiceSessionTest(const char* skey) : skey_(skey) {}

    void SetUp() override {
        ikey = refservice::UniqueIkey();
        session.config.host = "localhost";
        session.config.port = refservice::Port();
        session.config.ikey = ikey;
        session.config.skey = skey_;
        session.OpenHttpSession();
    }

    // Loads this test's scenario (JSON) for its tenant.
    void Load(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(refservice::LoadScenario(ikey, skey_, scenario, &error)) << error;
    }

    std::string ikey;
    CVynAuthSession session{"VynGina/1.1.8"};

private:
    std::string skey_;
};
