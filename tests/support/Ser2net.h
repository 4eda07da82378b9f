#pragma once
// The serial device server from Debian's archive on loopback: serves serial devices (here the
// simulators' pseudo-terminals) on free TCP ports, as Telnet with the COM-PORT-OPTION. It runs
// in the foreground with its own configuration until stopped; every wait is bounded.
#include "tests/support/TempDir.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class Ser2net {
public:
    ~Ser2net() { stop(); }

    // Serves device on a free port; speed is the line setting the server opens it with.
    // Answers the address to give kivo.
    std::string add(const std::string& device, const char* speed) {
        const unsigned port = freePort();
        conf_ << "connection: &c" << port << "\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << port
              << "\n  connector: serialdev," << device << "," << speed << ",local\n";
        ports_.push_back(port);
        return "rfc2217://127.0.0.1:" + std::to_string(port);
    }

    // Starts (or starts again) and waits until every port listens.
    bool start() {
        std::ofstream(dir_.file("ser2net.yaml")) << "%YAML 1.1\n---\n" << conf_.str();
        pid_ = fork();
        if (pid_ == 0) {
            // Its own chatter goes to a log beside the configuration.
            const int log = ::open(dir_.file("ser2net.log").c_str(), O_WRONLY | O_CREAT, 0600);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            execlp("ser2net", "ser2net", "-n", "-c", dir_.file("ser2net.yaml").c_str(), nullptr);
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!allListening()) {
            if (pid_ < 0 || waitpid(pid_, nullptr, WNOHANG) != 0 ||
                std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // Ends the server, which hangs up on its clients.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    static unsigned freePort() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        close(fd);
        return ntohs(a.sin_port);
    }

    // Listening sockets of the machine, without connecting (a connection opens the device).
    bool allListening() const {
        std::ifstream in("/proc/net/tcp");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        for (unsigned port : ports_) {
            char local[32];
            snprintf(local, sizeof local, "0100007F:%04X 00000000:0000 0A", port);
            if (text.find(local) == std::string::npos) return false;
        }
        return true;
    }

    TempDir dir_;
    std::ostringstream conf_;
    std::vector<unsigned> ports_;
    pid_t pid_ = -1;
};
