// Recording the chain of one handshake (net/tls/peer_chain.h).
#include "net/tls/peer_chain.h"

#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

namespace {

int RecordingVerify(void* self, mbedtls_x509_crt* certificate, int depth, uint32_t* flags) {
    PeerChain& chain = *static_cast<PeerChain*>(self);
    // The machine's trust first: what it adds (a Disallowed certificate) is
    // part of the verdict recorded.
    const int rc = chain.next != nullptr ? chain.next(chain.nextContext, certificate, depth, flags) : 0;
    if (depth < 0) return rc;
    // Called from the top of the verified chain down to the service's own
    // certificate (depth 0), which heads the list of what the service sent.
    const size_t at = static_cast<size_t>(depth);
    if (chain.verified.size() <= at) chain.verified.resize(at + 1);
    chain.verified[at].der.assign(reinterpret_cast<const char*>(certificate->raw.p), certificate->raw.len);
    chain.verified[at].flags = *flags;
    if (depth == 0) {
        chain.sent.clear();
        for (const mbedtls_x509_crt* c = certificate; c != nullptr && c->raw.p != nullptr; c = c->next)
            chain.sent.emplace_back(reinterpret_cast<const char*>(c->raw.p), c->raw.len);
    }
    return rc;
}

}  // namespace

void PeerChain::Attach(mbedtls_ssl_context* ssl, const mbedtls_ssl_config* config) {
    // The configuration's callback is the machine's trust (MachineTrust); a
    // callback set on the context replaces it for this handshake, so the
    // recording one calls it in turn.
    next = config->MBEDTLS_PRIVATE(f_vrfy);
    nextContext = config->MBEDTLS_PRIVATE(p_vrfy);
    sent.clear();
    verified.clear();
    handshakeResult = 0;
    mbedtls_ssl_set_verify(ssl, RecordingVerify, this);
}
