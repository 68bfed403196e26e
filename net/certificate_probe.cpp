// One handshake of the module's own TLS client that keeps the chain the
// service sent and the library's verdict on it (see net/certificate_probe.h).
#include <winsock2.h>

#include "net/certificate_probe.h"

#include "diag/errors.h"
#include "net/builtin_tls.h"
#include "net/https_client.h"

CertificateProbe ProbeServiceCertificate(const std::string& userAgent, const std::string& host, uint16_t port,
                                         int32_t timeoutSeconds) {
    CertificateProbe probe;
    unique_winsock winsock;
    WSADATA data;
    if (::WSAStartup(0x0001, &data) != 0) {
        probe.localFailure = true;
        return probe;
    }
    winsock.reset(true);
    CBuiltinTlsClient client;
    client.RecordPeerChain(&probe.chain);
    HttpsRequest request;
    request.host = host;
    request.port = port;
    request.userAgent = userAgent;
    request.method = "GET";
    request.objectName = "/rest/v1/ping.bson";
    request.timeoutSeconds = timeoutSeconds;
    request.scope = TimeoutScope::WholeExchange;
    std::string answer;
    try {
        client.Send(request, answer);
    } catch (const CINetException& e) {
        probe.error = e.GetErrorCode();
    } catch (const CVynException&) {
        probe.localFailure = true;
    }
    // The answer does not matter: a completed handshake is what was asked.
    if (client.HandshakeCompleted()) {
        probe.error = 0;
        probe.tlsVersion = client.TlsVersion();
    }
    return probe;
}
