#pragma once

// vettrix-service (VETTRIX_SERVICE) for a C++ test: the real binary over a data folder, on a
// loopback port of its choosing, its log in the folder, ended by SIGTERM with the test.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vettrix::test {

class RunningService {
 public:
  // Serves the database published in `folder`, or else `initial` (a file) as its first.
  explicit RunningService(const std::string& folder, const std::string& initial = {}) {
    std::vector<std::string> args = {VETTRIX_SERVICE, "--data", folder, "--listen", "127.0.0.1:0"};
    if (!initial.empty()) args.insert(args.end(), {"--initial-database", initial});
    args.emplace_back("serve");
    const std::string log = folder + "/service.log";
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      if (std::freopen(log.c_str(), "w", stderr) != nullptr) ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    // The log names the port once it listens.
    const std::regex listening("listening on 127\\.0\\.0\\.1:(\\d+)");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string text;
    for (std::smatch found; port_ == 0 && std::chrono::steady_clock::now() < deadline;) {
      std::ifstream in(log);
      text.assign(std::istreambuf_iterator<char>(in), {});
      if (std::regex_search(text, found, listening))
        port_ = std::stoi(found[1]);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (port_ == 0) ADD_FAILURE() << "the service did not start: " << text;
  }
  ~RunningService() { Stop(); }
  RunningService(const RunningService&) = delete;
  RunningService& operator=(const RunningService&) = delete;

  // Ends it with SIGTERM: its exit status.
  int Stop() {
    int status = -1;
    if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // A GET on a connection of its own: the status (0 for none) and the body.
  std::pair<int, std::string> Get(const std::string& target) const {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      const std::string request =
          "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
      ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
      char chunk[65536];
      for (ssize_t n; (n = ::recv(s, chunk, sizeof chunk, 0)) > 0;)
        answer.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(s);
    const std::size_t head = answer.find("\r\n\r\n");
    if (!answer.starts_with("HTTP/1.1 ") || head == std::string::npos) return {0, answer};
    return {std::stoi(answer.substr(9, 3)), answer.substr(head + 4)};
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace vettrix::test
