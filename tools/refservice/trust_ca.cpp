// vyn-trust-ca: adds a DER certificate to the machine's ROOT store. Run only
// inside the build's Wine prefix (when the prefix is created, and again by the
// reference service's test fixture), so that WinHTTP there trusts the
// reference service's test CA while the host machine's trust store stays as it is.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "common/handles.h"

namespace {
struct CertStoreTraits {
    using pointer = HCERTSTORE;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CertCloseStore(h, 0); }
};
using unique_hcertstore = unique_any<CertStoreTraits>;
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vyn-trust-ca <certificate.der>\n");
        return 2;
    }
    unique_hfile file(::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        std::fprintf(stderr, "vyn-trust-ca: cannot open %ls (%lu)\n", argv[1], ::GetLastError());
        return 1;
    }
    std::vector<BYTE> der(64 * 1024);
    DWORD read = 0;
    if (!::ReadFile(file.get(), der.data(), static_cast<DWORD>(der.size()), &read, nullptr) || read == 0) {
        std::fprintf(stderr, "vyn-trust-ca: cannot read %ls (%lu)\n", argv[1], ::GetLastError());
        return 1;
    }
    unique_hcertstore store(
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"));
    if (!store) {
        std::fprintf(stderr, "vyn-trust-ca: CertOpenStore failed (%lu)\n", ::GetLastError());
        return 1;
    }
    if (!::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), read,
                                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        std::fprintf(stderr, "vyn-trust-ca: CertAddEncodedCertificateToStore failed (%lu)\n", ::GetLastError());
        return 1;
    }
    return 0;
}
