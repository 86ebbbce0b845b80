// What a client sends first, fed into the server's side of the TLS front over a socket pair: the
// handshake must fail (or, should the input ever make one, succeed) within its deadline, never
// crash, hang or leak (the leak checker runs after every input), and leave OpenSSL's error queue
// clean for the next connection on the thread. The first byte picks a front that asks for a
// client certificate or one that does not.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzCheck.h"
#include "common/FileDescriptor.h"
#include "service/TlsFront.h"

namespace {

// A key and a self-signed certificate for "fuzz", as PEM files in a folder of their own.
std::string makeIdentity() {
    char folder[] = "/tmp/fuzz-tls-XXXXXX";
    check(mkdtemp(folder) != nullptr);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    check(key && certificate);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600L * 24 * 365);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    check(X509_sign(certificate, key, EVP_sha256()) > 0);
    std::string base = folder;
    std::FILE* out = std::fopen((base + "/fuzz.crt").c_str(), "w");
    check(out && PEM_write_X509(out, certificate) == 1);
    std::fclose(out);
    out = std::fopen((base + "/fuzz.key").c_str(), "w");
    check(out && PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1);
    std::fclose(out);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return base;
}

const tlsfront::Front& front(bool asksCertificates) {
    static const std::string folder = makeIdentity();
    auto create = [](bool asks) {
        tlsfront::Settings settings{folder + "/fuzz.crt", folder + "/fuzz.key",
                                    asks ? folder + "/fuzz.crt" : ""};
        std::string problem;
        auto made = tlsfront::Front::create(settings, problem);
        check(made != nullptr);
        return made;
    };
    static const std::unique_ptr<tlsfront::Front> plain = create(false), asking = create(true);
    return asksCertificates ? *asking : *plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const tlsfront::Front& server = front(data[0] & 1);
    int ends[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    FileDescriptor client(ends[0]), accepted(ends[1]);
    // The whole input is what the client sends before it closes its side; a socket pair's buffer
    // takes the longest input libFuzzer is given here.
    check(::send(client.get(), data + 1, size - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(size - 1));
    ::shutdown(client.get(), SHUT_WR);
    // The client has closed: no input makes the front wait for more.
    auto deadline = tlsfront::Clock::now() + std::chrono::seconds(5);
    tlsfront::Front::Refusal why;
    auto connection = server.accept(accepted.get(), deadline, why);
    if (connection) {
        char buffer[256];
        check(connection->read(buffer, sizeof buffer, deadline) >= 0);
    } else {
        check(!why.reason.empty() && !why.timedOut);
    }
    check(ERR_peek_error() == 0);
    return 0;
}
