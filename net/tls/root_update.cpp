// One chain built by Windows for a root the machine's store lacks (see
// net/tls/root_update.h).
// The chain parameters' URL retrieval time-out is one of the fields after
// RequestedUsage, which XP's CryptoAPI reads when cbSize covers them.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "net/tls/root_update.h"

#include <memory>
#include <set>
#include <utility>

#include "common/critical_section.h"
#include "diag/log.h"
#include "net/crypt_handles.h"
#include "net/detached_call.h"

RootUpdateApi gRootUpdateApi = {::CertGetCertificateChain};

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The issuer names this process has built a chain for: whatever the answer,
// a logon does not wait on the network again for the same root, nor for more
// than kMaxRootFetches roots in all.
CCriticalSection gTriedLock;
std::set<std::string> gTried;

// True when Windows may be asked for `issuer`; else why not in `refusal`.
bool MayTry(const CERT_NAME_BLOB& issuer, RootFetch* refusal) {
    const CCriticalSectionLock lock(gTriedLock);
    const std::string name(reinterpret_cast<const char*>(issuer.pbData), issuer.cbData);
    if (gTried.count(name) != 0) {
        *refusal = RootFetch::AlreadyTried;
        return false;
    }
    if (gTried.size() >= kMaxRootFetches) {
        *refusal = RootFetch::LimitReached;
        return false;
    }
    gTried.insert(name);
    return true;
}

// What the chain's thread owns: the caller may have stopped waiting for it
// long before it ends.
struct ChainJob {
    unique_hcertstore others;
    unique_cert_context end;
    CERT_NAME_BLOB issuer = {};
    DWORD urlMs = 0;
    RootFetch result = RootFetch::Failed;
};

void BuildChain(ChainJob& job) {
    // Only the fields every version of the structure has, and the URL
    // retrieval time-out after them.
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    para.dwUrlRetrievalTimeout = job.urlMs;
    unique_cert_chain chain;
    if (!gRootUpdateApi.getChain(HCCE_LOCAL_MACHINE, job.end.get(), nullptr, job.others.get(), &para, 0, nullptr,
                                 chain.put())) {
        LogSystemCallFailure("CertGetCertificateChain", ::GetLastError());
        return;
    }
    chain.reset();

    // A root fetched while the chain was built is in the registry now; a
    // store opened before may not show it.
    unique_hcertstore roots(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                            CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"ROOT"));
    if (!roots) {
        LogSystemCallFailure("CertOpenStore(ROOT)", ::GetLastError());
        return;
    }
    unique_cert_context root(
        ::CertFindCertificateInStore(roots.get(), kEncoding, 0, CERT_FIND_SUBJECT_NAME, &job.issuer, nullptr));
    job.result = root ? RootFetch::Found : RootFetch::NotFound;
}

}  // namespace

RootFetch FetchMissingRoot(const std::vector<std::string>& sent, DWORD boundMs, HANDLE cancel) {
    if (sent.empty()) return RootFetch::Failed;
    auto job = std::make_shared<ChainJob>();
    // The sent certificates, the additional store the chain is built with.
    job->others.reset(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!job->others) {
        LogSystemCallFailure("CertOpenStore(memory)", ::GetLastError());
        return RootFetch::Failed;
    }
    for (size_t i = 0; i < sent.size(); ++i) {
        PCCERT_CONTEXT added = nullptr;
        if (!::CertAddEncodedCertificateToStore(job->others.get(), kEncoding,
                                                reinterpret_cast<const BYTE*>(sent[i].data()),
                                                static_cast<DWORD>(sent[i].size()), CERT_STORE_ADD_USE_EXISTING,
                                                i == 0 ? &added : nullptr)) {
            if (i == 0) {
                LogSystemCallFailure("CertAddEncodedCertificateToStore", ::GetLastError());
                return RootFetch::Failed;
            }
            continue;  // a certificate CryptoAPI cannot read is no help to the chain
        }
        if (i == 0) job->end.reset(added);
    }
    // Points into the certificate context the job holds.
    job->issuer = job->end.get()->pCertInfo->Issuer;
    RootFetch refusal = RootFetch::Failed;
    if (!MayTry(job->issuer, &refusal)) return refusal;

    const DWORD bound = boundMs < kMaxRootFetchMs ? boundMs : kMaxRootFetchMs;
    // Each retrieval ends inside the bound, so that Windows' own answer (and
    // its log line) normally comes before the caller gives up. 0 would be
    // Windows' default, far beyond any bound.
    job->urlMs = bound > 2000 ? bound - 1000 : (bound > 1 ? bound / 2 : 1);
    const CallEnd end = RunDetached([job] { BuildChain(*job); }, bound, cancel);
    switch (end) {
        case CallEnd::Done: return job->result;
        case CallEnd::TimedOut: return RootFetch::TimedOut;
        case CallEnd::Cancelled: return RootFetch::Cancelled;
        default: return RootFetch::Failed;
    }
}
