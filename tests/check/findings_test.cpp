// vyn-check's findings that need more than a setting: the service's certificate
// as the module's own TLS client meets it on the target, a failure on this
// machine, and the log folder and log, which the tool reports on and leaves
// as they were.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <memory>
#include <string>
#include <vector>

#include "common/strings.h"
#include "net/certificate_probe.h"
#include "tests/check/check_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/target_tls.h"
#include "tools/check/chain_diagnosis.h"

namespace {

using namespace checktest;

// Wine keeps no DACL on files: it presents one made from the Unix mode, in
// which the owning user and, for a world-readable folder, Everyone may read.
// That is what the tool must warn about, as about Users on Windows.
TEST_F(VynCheck, LogFolderReadableByOthersIsWarnedAbout) {
    const ChildRun run = RunCheck(L"--no-network");
    wchar_t folder[520] = {};
    ASSERT_EQ(GetLogDirectory(folder), S_OK);
    std::string path;
    for (const wchar_t* p = folder; *p; ++p) path += static_cast<char>(*p);
    EXPECT_NE(run.out.find("\n[warn] log folder: " + path + " may be read by "), std::string::npos) << run.out;
}

// Who controls the folder and how many names the log file has. Under Wine the
// folder's owner is the Unix user's account, which also may write to it.
TEST_F(VynCheck, LogFolderOwnerWritersAndLinksAreReported) {
    wchar_t folder[520] = {};
    ASSERT_EQ(GetLogDirectory(folder), S_OK);
    const std::wstring log = std::wstring(folder) + L"\\vyn.log";
    const std::wstring second = std::wstring(folder) + L" second name.log";
    std::string path;
    for (const wchar_t* p = folder; *p; ++p) path += static_cast<char>(*p);

    ChildRun run = RunCheck(L"--no-network");
    EXPECT_NE(run.out.find("\n[warn] log folder: owned by "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(", not the Administrators (the module will take the folder back at load)\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\n[warn] log folder: " + path + " may be written to by "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n[ ok ] log file: " + path + "\\vyn.log has 1 link\n"), std::string::npos) << run.out;

    ASSERT_TRUE(::CreateHardLinkW(second.c_str(), log.c_str(), nullptr));
    run = RunCheck(L"--no-network");
    EXPECT_TRUE(::DeleteFileW(second.c_str()));
    EXPECT_NE(run.out.find("\n[warn] log file: " + path +
                           "\\vyn.log has 2 links: refused (it has more than one link), the log goes to the "
                           "debugger output only\n"),
              std::string::npos)
        << run.out;
}

// A log folder that is a reparse point is named as the module will meet it.
// Wine shows a Unix symbolic link to a folder as a reparse point, the way a
// junction looks on Windows; it cannot create junctions itself.
TEST_F(VynCheck, ReparsePointLogFolderIsReported) {
    wchar_t folder[520] = {};
    ASSERT_EQ(GetLogDirectory(folder), S_OK);
    const std::wstring aside = std::wstring(folder) + L" aside";
    ASSERT_TRUE(::MoveFileW(folder, aside.c_str()));
    const auto linked = [&folder] {
        const DWORD attributes = ::GetFileAttributesW(folder);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    };
    ChildRun run;
    if (RunUnixShell("cd \\\"$WINEPREFIX/drive_c/ProgramData\\\" && ln -s 'Vyn Security aside' 'Vyn Security'",
                     linked)) {
        run = RunCheck(L"--no-network");
        EXPECT_TRUE(RunUnixShell("rm \\\"$WINEPREFIX/drive_c/ProgramData/Vyn Security\\\"", [&] { return !linked(); }));
    } else {
        ADD_FAILURE() << "no symbolic link";
    }
    EXPECT_TRUE(::MoveFileW(aside.c_str(), folder));
    EXPECT_TRUE(HasLine(run.out, "[warn] log folder: " + ToUtf8(folder) +
                                     " is refused by the module (it is a reparse point): the log goes to the debugger "
                                     "output only. Delete it (as an administrator); the module creates its own at the "
                                     "next load"))
        << run.out;
}

// A certificate (a DER file) in one of the machine's stores while it lives.
class MachineStoreCertificate {
public:
    MachineStoreCertificate(const wchar_t* store, const std::string& derPath) : store_(store) {
        der_ = ReadBytes(FromUtf8(derPath));
        const unique_store s(Open());
        EXPECT_TRUE(!der_.empty() && s.get() != nullptr &&
                    ::CertAddEncodedCertificateToStore(s.get(), X509_ASN_ENCODING,
                                                       reinterpret_cast<const BYTE*>(der_.data()),
                                                       static_cast<DWORD>(der_.size()),
                                                       CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            << derPath;
    }
    // Removed by its registry key, as the store keeps it: Wine's system
    // stores do not delete through CertDeleteCertificateFromStore.
    ~MachineStoreCertificate() {
        PCCERT_CONTEXT c = ::CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
                                                          static_cast<DWORD>(der_.size()));
        if (c == nullptr) return;
        BYTE hash[20];
        DWORD size = sizeof hash;
        const bool hashed = ::CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &size);
        ::CertFreeCertificateContext(c);
        if (!hashed) return;
        std::wstring key = std::wstring(L"Software\\Microsoft\\SystemCertificates\\") + store_ + L"\\Certificates\\";
        for (DWORD i = 0; i < size; ++i) {
            wchar_t digits[3];
            wsprintfW(digits, L"%02X", hash[i]);
            key += digits;
        }
        EXPECT_EQ(::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS) << testing::PrintToString(key);
    }
    MachineStoreCertificate(const MachineStoreCertificate&) = delete;
    MachineStoreCertificate& operator=(const MachineStoreCertificate&) = delete;

private:
    struct StoreCloser {
        void operator()(void* s) const { ::CertCloseStore(s, 0); }
    };
    using unique_store = std::unique_ptr<void, StoreCloser>;
    HCERTSTORE Open() const {
        return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, store_);
    }
    const wchar_t* store_;
    std::string der_;
};

// Each certificate problem as the target meets it: the system's TLS limited
// to TLS 1.0 and "Tls" absent, so automatic selection ends with the module's
// own client, which judges the chain the service sent. Each finding names
// what is wrong, from that chain, with its remedy; the TLS 1.0 paragraph,
// untrue here, never appears.
TEST_F(VynCheck, CertificateFindingsNameTheChainTheServiceSent) {
    const std::string tlsPki = VYN_TLS_PKI;
    const std::string chainRoot = std::string(VYN_REFSVC_PKI) + "/chain-root.der";
    const struct {
        const char* what;
        uint16_t port;
        std::string root;        // a root certificate to trust while the case runs
        std::string disallowed;  // a certificate to distrust while the case runs
        unsigned exitCode;
        std::vector<std::string> texts;
    } cases[] = {
        {"untrusted", refservice::UntrustedPort(), "", "", 2,
         {"certificate not trusted: the chain the service sent ends at the issuer \"CN=VynGina Untrusted Test CA, "
          "O=VynGina test\", which is not in this machine's trusted roots. Add that root certificate to the machine's "
          "trusted roots: certutil -addstore Root <file>, or Group Policy > Public Key Policies > Trusted Root "
          "Certification Authorities. Windows, asked to build the chain, did not fetch that root (Update Root "
          "Certificates does not know it, is turned off, or cannot reach Windows Update) (error 12175)\n"}},
        // The issuer the chain ends at is the intermediate's, not the leaf's.
        {"untrusted past an intermediate", refservice::ChainPort(), "", "", 2,
         {"ends at the issuer \"CN=VynGina Test Chain Root, O=VynGina test\", which is not in this machine's "
          "trusted roots"}},
        {"another name", refservice::WrongNamePort(), "", "", 2,
         {"certificate for another name: it names DNS:wrong-name.vyngina.test, CN=wrong-name.vyngina.test, not "
          "localhost. Set Host to a name the certificate holds, or give the service a certificate for localhost "
          "(error 12175)\n"}},
        {"expired", static_cast<uint16_t>(VYN_TLS_PORT_BASE + 7), "", "", 2,
         {"certificate expired: \"CN=expired\" was valid from 2020-01-01 00:00:00 to 2021-01-01 00:00:00 (UTC). The "
          "service needs a renewed certificate (or this machine's clock is wrong) (error 12175)\n"}},
        {"Disallowed", static_cast<uint16_t>(VYN_TLS_PORT_BASE + 8), "", tlsPki + "/disallowed.der", 2,
         {"certificate in this machine's Disallowed store: the service sent \"CN=disallowed, O=VynGina test\" (SHA-1 "
          "thumbprint ",
          "), and the module's own TLS client refuses any chain that holds it. The service needs a certificate "
          "without it (if it was distrusted by mistake: certutil -delstore Disallowed <thumbprint>) (error 12175)\n"}},
        {"an algorithm the client does not carry", static_cast<uint16_t>(VYN_TLS_PORT_BASE + 21), "", "", 2,
         {"certificate with an algorithm the module's own TLS client does not carry: \"CN=sha1, O=VynGina test\" is "
          "signed with sha1RSA (1.2.840.113549.1.1.5). The service needs a certificate chain of RSA (2048 bits or "
          "more) or ECDSA (P-256, P-384, P-521) with SHA-256, SHA-384 or SHA-512 (error 12175)\n"}},
        // ECDSA throughout, and an intermediate the service sends: ready once
        // the root is trusted, though CryptoAPI on the target could check
        // neither.
        {"ECDSA chain with an intermediate", refservice::ChainPort(), chainRoot, "", 0,
         {"\n[ ok ] service: reached through the module's own TLS client (TLSv1.3)\n",
          "verdict: ready: configured, the service reached and the keys accepted.\n"}},
    };
    for (const auto& c : cases) {
        Configure(testreg::kNormalKey, c.port, kSkey, 0);
        std::unique_ptr<MachineStoreCertificate> root, distrusted;
        if (!c.root.empty()) root = std::make_unique<MachineStoreCertificate>(L"ROOT", c.root);
        if (!c.disallowed.empty()) distrusted = std::make_unique<MachineStoreCertificate>(L"Disallowed", c.disallowed);
        ChildRun run;
        {
            const TargetsSystemTls target;
            run = RunCheck(L"");
        }
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what << "\n" << run.out;
        for (const std::string& text : c.texts) EXPECT_NE(run.out.find(text), std::string::npos) << c.what << "\n" << run.out;
        EXPECT_EQ(run.out.find("TLS 1.0 at most"), std::string::npos) << c.what;
        if (c.exitCode == 2) {
            EXPECT_NE(run.out.find("\n[FAIL] service: check failed after "), std::string::npos) << c.what;
            EXPECT_EQ(LastLine(run.out), kLockedOut) << c.what;
        }
    }
}

// Wine cannot fetch roots, so Windows' part (the root arriving in the
// machine's store while the chain is built) is played by the second look.
// What is tested is the order: the first handshake's untrusted chain, the
// chain built once with the machine's engine, then the module's own client
// asked again, which now trusts it; and without a root arriving, no claim.
TEST(DiagnoseChain, AsksWindowsForAMissingRootThenAsksTheClientAgain) {
    const auto probe = [] { return ProbeServiceCertificate("VynGina/1.1.8", "localhost", refservice::ChainPort(), 10); };
    const CertificateProbe first = probe();
    ASSERT_EQ(first.error, 12175u);
    ASSERT_EQ(first.chain.sent.size(), 2u);  // the leaf and its intermediate, as sent

    int looks = 0;
    std::unique_ptr<MachineStoreCertificate> fetched;
    RootAsk fetch = RootAsk::NotAsked;
    ChainDiagnosis found = DiagnoseChain(first, "localhost", [&] {
        ++looks;
        fetched = std::make_unique<MachineStoreCertificate>(L"ROOT", std::string(VYN_REFSVC_PKI) + "/chain-root.der");
        return probe();
    }, fetch);
    fetched.reset();
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(fetch, RootAsk::Found);
    EXPECT_EQ(found.finding, ChainFinding::Untrusted);
    EXPECT_NE(found.words.find(". Windows, asked to build the chain, has now added that root to the machine's store, "
                               "and the module's own TLS client trusts the chain: run vyn-check again"),
              std::string::npos)
        << found.words;

    const ChainDiagnosis missing = DiagnoseChain(first, "localhost", probe, fetch);
    EXPECT_EQ(fetch, RootAsk::NotFound);
    EXPECT_NE(missing.words.find("did not fetch that root"), std::string::npos) << missing.words;
}

// A trust store this machine cannot open is this machine's failure, with
// what it costs: never a refusal by the service, never its address.
TEST_F(VynCheck, LocalFailureIsNamedAsThisMachines) {
    Configure(testreg::kNormalKey, refservice::Port(), kSkey, 0);
    testreg::SetDword(testreg::kNormalKey, "Tls", 2);
    const wchar_t* const store = L"Software\\Microsoft\\SystemCertificates\\Disallowed";
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, store, 0, nullptr, 0, READ_CONTROL | WRITE_DAC, nullptr, &key,
                                nullptr),
              ERROR_SUCCESS);
    std::vector<BYTE> saved(4096);
    DWORD size = static_cast<DWORD>(saved.size());
    ASSERT_EQ(::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved.data(), &size), ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR denied = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(D;;0x1;;;WD)(A;;KA;;;WD)",
                                                                       SDDL_REVISION_1, &denied, nullptr));
    EXPECT_EQ(::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, denied), ERROR_SUCCESS);
    ::LocalFree(denied);
    const ChildRun run = RunCheck(L"");
    EXPECT_EQ(::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved.data()), ERROR_SUCCESS);
    ::RegCloseKey(key);

    EXPECT_EQ(run.exitCode, 2u) << run.out;
    EXPECT_NE(run.out.find(": a failure on this machine: its trust store \"Disallowed\" cannot be opened (error 5): "
                           "the module's own TLS client refuses every certificate until it can (error 12175)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("refused:"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("service address"), std::string::npos) << run.out;
    EXPECT_EQ(LastLine(run.out), kLockedOut);
}

// Both TLS clients follow the machine's WinHTTP proxy configuration: a proxy
// that accepts no connection (or refuses the tunnel) is named, not the service.
TEST_F(VynCheck, RefusedProxyIsNamed) {
    WINHTTP_PROXY_INFO saved = {};
    ASSERT_TRUE(::WinHttpGetDefaultProxyConfiguration(&saved));
    const std::wstring proxy = L"https=127.0.0.1:" + std::to_wstring(refservice::ClosedPort());
    WINHTTP_PROXY_INFO info = {};
    info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = const_cast<wchar_t*>(proxy.c_str());
    ASSERT_TRUE(::WinHttpSetDefaultProxyConfiguration(&info));
    Configure(testreg::kNormalKey, refservice::Port(), kSkey, 0);
    testreg::SetDword(testreg::kNormalKey, "Tls", 2);
    const ChildRun run = RunCheck(L"");
    EXPECT_TRUE(::WinHttpSetDefaultProxyConfiguration(&saved));
    if (saved.lpszProxy) ::GlobalFree(saved.lpszProxy);
    if (saved.lpszProxyBypass) ::GlobalFree(saved.lpszProxyBypass);

    EXPECT_EQ(run.exitCode, 2u) << run.out;
    EXPECT_NE(run.out.find(": connection refused by the proxy 127.0.0.1:" + std::to_string(refservice::ClosedPort()) +
                           ": it does not accept connections, or refused the tunnel to localhost:" +
                           std::to_string(refservice::Port()) + " (error 12029)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(LastLine(run.out), kLockedOut);
}

// The tool reports what the module will do at load and does none of it: a
// folder the module would take back and a log it would rotate stay as they
// were, their security included. (Under Wine the folder's owner is the Unix
// user's account, never the Administrators: a foreign owner.)
TEST_F(VynCheck, LeavesTheLogFolderAndTheLogAsTheyWere) {
    wchar_t folder[520] = {};
    ASSERT_EQ(GetLogDirectory(folder), S_OK);
    const std::wstring log = std::wstring(folder) + L"\\vyn.log";
    const std::wstring old = std::wstring(folder) + L"\\vyn.log.old";
    const std::string saved = ReadBytes(log);
    const bool oldExisted = ::GetFileAttributesW(old.c_str()) != INVALID_FILE_ATTRIBUTES;
    std::string big;
    const std::string line = "01/02/26 03:04:05 (1234) a line of an earlier load\r\n";
    while (big.size() < 17u * 1024 * 1024) big += line;
    std::ofstream(log.c_str(), std::ios::binary | std::ios::trunc) << big;

    const auto security = [&folder]() {
        std::vector<BYTE> descriptor(8192);
        DWORD needed = 0;
        if (!::GetFileSecurityW(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor.data(),
                                static_cast<DWORD>(descriptor.size()), &needed))
            return std::wstring(L"unreadable");
        LPWSTR text = nullptr;
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.data(), SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
        std::wstring result = text ? text : L"";
        ::LocalFree(text);
        return result;
    };
    const std::wstring before = security();
    Configure(testreg::kNormalKey, refservice::Port());
    const ChildRun run = RunCheck(L"");
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_NE(run.out.find(", not the Administrators (the module will take the folder back at load)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(security(), before);
    const std::string after = ReadBytes(log);
    EXPECT_EQ(after.size(), big.size());
    EXPECT_TRUE(after == big) << "the log changed";
    EXPECT_EQ(::GetFileAttributesW(old.c_str()) != INVALID_FILE_ATTRIBUTES, oldExisted);
    std::ofstream(log.c_str(), std::ios::binary | std::ios::trunc) << saved;
}

}  // namespace
