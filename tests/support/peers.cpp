#include "support/peers.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quendra::test {

std::string peersDir() { return QUENDRA_PEERS_DIR; }

tl::expected<std::unique_ptr<TestCa>, std::string> TestCa::create() {
    char pattern[] = "/tmp/ombrix-ca-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return tl::unexpected(std::string("mkdtemp failed"));
    std::unique_ptr<TestCa> ca(new TestCa);
    ca->dir = pattern;
    const std::string command = "bash '" + peersDir() + "/make-test-ca.sh' '" + ca->dir + "'";
    if (std::system(command.c_str()) != 0) return tl::unexpected("failed: " + command);
    ca->caFile = ca->dir + "/ca.pem";
    ca->serverCert = ca->dir + "/server.pem";
    ca->serverKey = ca->dir + "/server.key";
    ca->untrustedCert = ca->dir + "/untrusted.pem";
    ca->untrustedKey = ca->dir + "/untrusted.key";
    ca->wrongHostCert = ca->dir + "/wronghost.pem";
    ca->wrongHostKey = ca->dir + "/wronghost.key";
    return ca;
}

TestCa::~TestCa() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void TestCa::trustInThisProcess() const {
    setenv("SSL_CERT_FILE", caFile.c_str(), 1);
    unsetenv("SSL_CERT_DIR");
}

tl::expected<std::unique_ptr<PeerProcess>, std::string> PeerProcess::start(const std::string& script,
                                                                           const std::vector<std::string>& args,
                                                                           int readyTimeoutMs) {
    const std::string path = peersDir() + "/" + script;
    if (!std::filesystem::exists(peersDir() + "/node_modules/ws")) {
        return tl::unexpected(std::string("the peers' npm packages are missing: run scripts/install-deps.sh"));
    }
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return tl::unexpected(std::string("pipe failed"));
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return tl::unexpected(std::string("pipe failed"));
    }
    // Everything the child needs is prepared before fork: after it only exec-safe calls.
    std::vector<std::string> words = {"node", path};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid < 0) return tl::unexpected(std::string("fork failed"));
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execvp("node", argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    std::unique_ptr<PeerProcess> peer(new PeerProcess);
    peer->pid_ = pid;
    peer->stdinFd_ = in[1];
    peer->stdoutFd_ = out[0];

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readyTimeoutMs);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return tl::unexpected("peer " + script + " did not print its port in time");
        pollfd fd{peer->stdoutFd_, POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buffer[256];
        const ssize_t n = read(peer->stdoutFd_, buffer, sizeof buffer);
        if (n <= 0) return tl::unexpected("peer " + script + " ended before printing its port");
        line.append(buffer, static_cast<size_t>(n));
    }
    peer->port_ = std::atoi(line.substr(0, line.find('\n')).c_str());
    if (peer->port_ <= 0) return tl::unexpected("peer " + script + " printed no port: " + line);
    return peer;
}

PeerProcess::~PeerProcess() {
    if (stdinFd_ >= 0) close(stdinFd_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (stdoutFd_ >= 0) close(stdoutFd_);
}

tl::expected<std::unique_ptr<PeerProcess>, std::string> startTlsPeer(const TestCa& ca, const std::string& script,
                                                                    std::vector<std::string> extraArgs) {
    std::vector<std::string> args = {"--cert", ca.serverCert, "--key", ca.serverKey};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return PeerProcess::start(script, args);
}

}  // namespace quendra::test
