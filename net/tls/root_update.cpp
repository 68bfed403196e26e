// One chain built by Windows for a root the machine's store lacks (see
// net/tls/root_update.h).
#include "net/tls/root_update.h"

#include <cstddef>
#include <set>

#include "common/critical_section.h"
#include "diag/log.h"
#include "net/crypt_handles.h"

RootUpdateApi gRootUpdateApi = {::CertGetCertificateChain};

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The issuer names this process has built a chain for: whatever the answer,
// a logon does not wait on the network again for the same root.
CCriticalSection gTriedLock;
std::set<std::string> gTried;

bool FirstTry(const CERT_NAME_BLOB& issuer) {
    const CCriticalSectionLock lock(gTriedLock);
    return gTried.insert(std::string(reinterpret_cast<const char*>(issuer.pbData), issuer.cbData)).second;
}

}  // namespace

RootFetch FetchMissingRoot(const std::vector<std::string>& sent) {
    if (sent.empty()) return RootFetch::Failed;
    // The sent certificates, the additional store the chain is built with.
    unique_hcertstore others(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!others) {
        LogSystemCallFailure("CertOpenStore(memory)", ::GetLastError());
        return RootFetch::Failed;
    }
    unique_cert_context end;
    for (size_t i = 0; i < sent.size(); ++i) {
        PCCERT_CONTEXT added = nullptr;
        if (!::CertAddEncodedCertificateToStore(others.get(), kEncoding,
                                                reinterpret_cast<const BYTE*>(sent[i].data()),
                                                static_cast<DWORD>(sent[i].size()), CERT_STORE_ADD_USE_EXISTING,
                                                i == 0 ? &added : nullptr)) {
            if (i == 0) {
                LogSystemCallFailure("CertAddEncodedCertificateToStore", ::GetLastError());
                return RootFetch::Failed;
            }
            continue;  // a certificate CryptoAPI cannot read is no help to the chain
        }
        if (i == 0) end.reset(added);
    }
    const CERT_NAME_BLOB issuer = end.get()->pCertInfo->Issuer;
    if (!FirstTry(issuer)) return RootFetch::AlreadyTried;

    // Only the fields every version of the structure has.
    CERT_CHAIN_PARA para = {};
    para.cbSize = offsetof(CERT_CHAIN_PARA, RequestedUsage) + sizeof(para.RequestedUsage);
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    unique_cert_chain chain;
    if (!gRootUpdateApi.getChain(HCCE_LOCAL_MACHINE, end.get(), nullptr, others.get(), &para, 0, nullptr,
                                 chain.put())) {
        LogSystemCallFailure("CertGetCertificateChain", ::GetLastError());
        return RootFetch::Failed;
    }
    chain.reset();

    // A root fetched while the chain was built is in the registry now; a
    // store opened before may not show it.
    unique_hcertstore roots(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                            CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"ROOT"));
    if (!roots) {
        LogSystemCallFailure("CertOpenStore(ROOT)", ::GetLastError());
        return RootFetch::Failed;
    }
    unique_cert_context root(
        ::CertFindCertificateInStore(roots.get(), kEncoding, 0, CERT_FIND_SUBJECT_NAME, &issuer, nullptr));
    return root ? RootFetch::Found : RootFetch::NotFound;
}
