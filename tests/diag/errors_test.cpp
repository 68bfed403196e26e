#include <gtest/gtest.h>

#include "diag/errors.h"

namespace {

const std::wstring kUnexpected =
    L"There was an unexpected error while performing authentication.  Please contact your system administrator.";
const std::wstring kCommunication =
    L"There was an error communicating with the Vyn authentication server.  Please try again.";
const std::wstring kResponse =
    L"The Vyn authentication server returned an unexpected response.  Please contact your system administrator.";
const std::wstring kDenied = L"Your Vyn authentication information was incorrect.  Please try again.";

struct KindCase {
    int32_t kind;
    std::string message;
    std::wstring expected;
};

class VynExceptionMessages : public testing::TestWithParam<KindCase> {};

TEST_P(VynExceptionMessages, KindAndUserMessage) {
    const KindCase& c = GetParam();
    const CVynException e(c.kind, c.message);
    EXPECT_EQ(e.GetKind(), c.kind);
    EXPECT_EQ(e.GetUserMessage(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VynExceptionMessages,
    testing::Values(KindCase{0, "", L""}, KindCase{1, "", kUnexpected}, KindCase{2, "", kCommunication},
                    KindCase{3, "", kResponse}, KindCase{4, "", kDenied}, KindCase{-1, "", L""},
                    KindCase{5, "", L""},
                    KindCase{4, "User cancelled authentication", L"User cancelled authentication"},
                    KindCase{0, "allowed", L"allowed"},
                    // UTF-8 in, the same characters in UTF-16 out.
                    KindCase{4, "Zugang f\xC3\xBCr J\xC3\xB6rg gesperrt \xE2\x82\xAC",
                             L"Zugang f\u00FCr J\u00F6rg gesperrt \u20AC"}));

TEST(CINetException, ReportsCommunicationKindWithCode) {
    const CINetException e(12002);
    EXPECT_EQ(e.GetKind(), CommunicationError);
    EXPECT_EQ(e.GetErrorCode(), 12002u);
    EXPECT_EQ(e.GetUserMessage(), kCommunication + L" (12002)");
}

TEST(CINetException, CodeIsUnsignedDecimal) {
    const CINetException e(0x80004005);
    EXPECT_EQ(e.GetUserMessage(), kCommunication + L" (2147500037)");
}

TEST(CINetException, ZeroCodeFallsBackToStoredKindWhichHasNoText) {
    const CINetException e(0);
    EXPECT_EQ(e.GetKind(), CommunicationError);
    EXPECT_EQ(e.GetUserMessage(), L"");
}

TEST(CINetException, CopyKeepsEveryFieldAndCatchesAsBase) {
    try {
        const CINetException original(12029);
        CINetException copy(original);
        throw copy;
    } catch (const CVynException& e) {
        EXPECT_EQ(e.GetKind(), CommunicationError);
        EXPECT_EQ(e.GetUserMessage(), kCommunication + L" (12029)");
        const auto* net = dynamic_cast<const CINetException*>(&e);
        ASSERT_NE(net, nullptr);
        EXPECT_EQ(net->GetErrorCode(), 12029u);
    }
}

TEST(CAtlException, CarriesItsHresult) {
    try {
        throw CAtlException(E_FAIL);
    } catch (const CAtlException& e) {
        EXPECT_EQ(static_cast<HRESULT>(e), static_cast<HRESULT>(0x80004005));
    }
}

}  // namespace
