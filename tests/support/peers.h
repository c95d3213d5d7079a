// Real peers for tests: a throw-away certificate authority and Node.js peer processes started and
// stopped by the test itself. Nothing outlives the test process: a peer is killed by the
// destructor, by the death of the thread that started it, and exits when its stdin closes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include <tl/expected.hpp>

namespace quendra::test {

// Folder of the peers (tests/peers in the source tree).
std::string peersDir();

// A fresh CA and certificates made by tests/peers/make-test-ca.sh in a temporary folder, removed
// again by the destructor.
class TestCa {
public:
    static tl::expected<std::unique_ptr<TestCa>, std::string> create();
    ~TestCa();
    TestCa(const TestCa&) = delete;
    TestCa& operator=(const TestCa&) = delete;

    std::string dir;
    std::string caFile;                       // the trusted test CA
    std::string serverCert, serverKey;        // 127.0.0.1, ::1, localhost, the providers' hosts
    std::string untrustedCert, untrustedKey;  // the same names from a CA nobody trusts
    std::string wrongHostCert, wrongHostKey;  // from the test CA, but only for wrong.example

    // Makes this process trust the test CA only (SSL_CERT_FILE set, SSL_CERT_DIR cleared). Call
    // before any TLS context exists and before other threads read the environment.
    void trustInThisProcess() const;

private:
    TestCa() = default;
};

// `node <peersDir>/<script> <args...>`; ready once it printed its port as its first line. Node can
// take many seconds to start on a loaded machine, hence the long default.
class PeerProcess {
public:
    static tl::expected<std::unique_ptr<PeerProcess>, std::string> start(const std::string& script,
                                                                         const std::vector<std::string>& args,
                                                                         int readyTimeoutMs = 60000);
    // Terminates the peer and waits for it (killed outright after 2 s).
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    PeerProcess() = default;
    pid_t pid_ = -1;
    int port_ = 0;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
};

// A peer serving the test CA's trusted server certificate.
tl::expected<std::unique_ptr<PeerProcess>, std::string> startTlsPeer(const TestCa& ca, const std::string& script,
                                                                    std::vector<std::string> extraArgs = {});

}  // namespace quendra::test
