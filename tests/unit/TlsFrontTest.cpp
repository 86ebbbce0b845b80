// The TLS front's pump between a client and the HTTP library, over socket pairs: what the
// library sees when the client ends its side, and how long a client that never reads holds it.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "TempDir.h"
#include "common/FileDescriptor.h"
#include "service/TlsFront.h"

namespace {

using tlsfront::Clock;

// A self-signed certificate and its key, as PEM files in `folder`.
tlsfront::Settings identity(const std::string& folder) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("station"), -1, -1, 0);
    X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
    X509_sign(certificate, key, EVP_sha256());
    tlsfront::Settings settings{folder + "/station.crt", folder + "/station.key", ""};
    std::FILE* out = std::fopen(settings.certificate.c_str(), "w");
    PEM_write_X509(out, certificate);
    std::fclose(out);
    out = std::fopen(settings.key.c_str(), "w");
    PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(out);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return settings;
}

// A client connected to the front over a socket pair, its handshake done; `inner` is the
// library's end of the pump, which runs on a thread of its own.
struct Exchange {
    explicit Exchange(int clientBuffer = 0) {
        std::string problem;
        front = tlsfront::Front::create(identity(folder.path), problem);
        EXPECT_NE(front, nullptr) << problem;
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        client.reset(ends[0]);
        server.reset(ends[1]);
        if (clientBuffer) {  // the client takes little and the server's side holds little
            ::setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &clientBuffer, sizeof clientBuffer);
            ::setsockopt(server.get(), SOL_SOCKET, SO_SNDBUF, &clientBuffer, sizeof clientBuffer);
        }
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        inner.reset(ends[0]);
        pumpEnd.reset(ends[1]);
        std::thread accepting([this] {
            tlsfront::Front::Refusal why;
            connection = front->accept(server.get(), Clock::now() + std::chrono::seconds(10), why);
        });
        context = SSL_CTX_new(TLS_client_method());
        ssl = SSL_new(context);
        SSL_set_fd(ssl, client.get());
        EXPECT_EQ(SSL_connect(ssl), 1);
        accepting.join();
        EXPECT_NE(connection, nullptr);
        pump = std::thread([this] { connection->pump(pumpEnd.get(), "GET / HTTP/1.0\r\n"); });
    }
    ~Exchange() {
        inner.reset();
        if (pump.joinable()) pump.join();
        SSL_free(ssl);
        SSL_CTX_free(context);
    }
    std::string readInner() {
        std::string got;
        char chunk[256];
        for (ssize_t n; (n = ::read(inner.get(), chunk, sizeof chunk)) > 0;) got.append(chunk, n);
        return got;
    }

    TempDir folder;
    std::unique_ptr<tlsfront::Front> front;
    std::unique_ptr<tlsfront::Connection> connection;
    FileDescriptor client, server, inner, pumpEnd;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    std::thread pump;
};

}  // namespace

TEST(TlsFront, TheClientsEndReachesTheLibraryAndItsAnswerStillReachesTheClient) {
    Exchange exchange;
    ASSERT_EQ(SSL_write(exchange.ssl, "\r\n", 2), 2);
    ASSERT_EQ(SSL_shutdown(exchange.ssl), 0);  // close_notify: the client has sent all
    EXPECT_EQ(exchange.readInner(), "GET / HTTP/1.0\r\n\r\n");  // then the end, as on a socket
    std::string answer = "HTTP/1.1 200 OK\r\n\r\n";
    ASSERT_EQ(::write(exchange.inner.get(), answer.data(), answer.size()), ssize_t(answer.size()));
    exchange.inner.reset();  // the library is done: the pump delivers the rest and ends
    exchange.pump.join();
    char got[64];
    int n = SSL_read(exchange.ssl, got, sizeof got);
    EXPECT_EQ(std::string(got, n > 0 ? n : 0), answer);
}

TEST(TlsFront, Slow_AClientThatNeverReadsIsLetGoAfterTheWriteDeadline) {
    Exchange exchange(4096);
    // More than every buffer between the library and the client holds.
    std::string answer(4 << 20, 'a');
    auto started = Clock::now();
    std::thread library(
        [&] { ::send(exchange.inner.get(), answer.data(), answer.size(), MSG_NOSIGNAL); });
    exchange.pump.join();  // the pump gives up on the client...
    library.join();        // ... and the library's write ends, failed
    auto taken = Clock::now() - started;
    EXPECT_GE(taken, tlsfront::kWriteTimeout);
    EXPECT_LT(taken, tlsfront::kWriteTimeout * 3);  // generous: a loaded machine
}

TEST(TlsFront, Slow_AnAnswerLongInComingIsStillDeliveredWhole) {
    Exchange exchange(4096);
    // The call waited longer than the write deadline for the line; then a long answer comes,
    // more than the buffers hold, and the client reads it at its pace.
    std::string answer(256 * 1024, 'a');
    std::thread library([&] {
        std::this_thread::sleep_for(tlsfront::kWriteTimeout + std::chrono::milliseconds(500));
        ::send(exchange.inner.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
        exchange.inner.reset();
    });
    std::string got;
    char chunk[4096];
    for (int n; (n = SSL_read(exchange.ssl, chunk, sizeof chunk)) > 0;) got.append(chunk, n);
    library.join();
    EXPECT_EQ(got.size(), answer.size());
}
