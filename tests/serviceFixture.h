// The real peers of the exchange tests: the project's analytics test
// service, a throw-away certificate for it, and an HTTP proxy.
#ifndef VORLAN_TESTS_SERVICEFIXTURE_H
#define VORLAN_TESTS_SERVICEFIXTURE_H

#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "testUtil.h"

namespace vorlan::test {

// A child process whose standard output can be read line by line.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      std::vector<char*> args;
      for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    out_ = fdopen(out[0], "r");
  }
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  std::string nextLine() {
    char line[512] = {};
    if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr)
      return "";
    return line;
  }
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (out_ != nullptr) std::fclose(out_);
    out_ = nullptr;
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

// A port nobody listens on right now.
inline int freePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// A self-signed certificate for 127.0.0.1 and localhost.
class Certificate {
 public:
  explicit Certificate(const TempDir& dir)
      : cert_(dir.file("cert.pem")), key_(dir.file("key.pem")) {
    std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost "
        "-addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
        key_ + " -out " + cert_ + " >/dev/null 2>&1";
    ok_ = std::system(cmd.c_str()) == 0;
  }
  bool ok() const { return ok_; }
  const std::string& cert() const { return cert_; }
  const std::string& key() const { return key_; }

 private:
  std::string cert_, key_;
  bool ok_ = false;
};

// The analytics test service on loopback, recording what it receives.
class TestService {
 public:
  TestService(const TempDir& dir, const Certificate* tls = nullptr)
      : record_(dir.file("requests.jsonl")) {
    std::vector<std::string> argv = {
        "python3", VORLAN_TEST_SERVICE, "--host", "127.0.0.1", "--port",
        "0",       "--record",          record_};
    if (tls != nullptr) {
      argv.insert(argv.end(), {"--cert", tls->cert(), "--key", tls->key()});
      scheme_ = "https";
    }
    child_ = std::make_unique<Child>(argv);
    std::istringstream line(child_->nextLine());
    std::string word, host;
    line >> word >> host >> port_;
  }
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }

  // Sets the behaviour for the requests that follow (a JSON object).
  bool control(const std::string& json) const {
    CURL* c = curl_easy_init();
    std::string url = scheme_ + "://" + hostPort() + "/control";
    curl_slist* headers =
        curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, json.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(
        c, CURLOPT_WRITEFUNCTION,
        +[](char*, std::size_t s, std::size_t n, void*) { return s * n; });
    long code = 0;
    bool ok = curl_easy_perform(c) == CURLE_OK &&
              curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK &&
              code == 200;
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return ok;
  }

  // One line of JSON per request received, in order.
  std::vector<std::string> requests() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(record_));
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) lines.push_back(line);
    return lines;
  }

 private:
  std::string record_;
  std::string scheme_ = "http";
  std::unique_ptr<Child> child_;
  int port_ = 0;
};

// tinyproxy on loopback, asking for basic authentication.
class Proxy {
 public:
  Proxy(const TempDir& dir, const std::string& user,
        const std::string& password)
      : port_(freePort()) {
    std::string conf = dir.file("tinyproxy.conf");
    writeFile(conf, "Port " + std::to_string(port_) +
                        "\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\n"
                        "Allow 127.0.0.1\nBasicAuth " +
                        user + " " + password + "\nLogLevel Critical\n");
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"tinyproxy", "-d", "-c", conf});
    // Ready once it accepts connections.
    for (int i = 0; i < 200 && !accepting(); ++i) usleep(20000);
  }
  int port() const { return port_; }
  bool accepting() const {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
  }

 private:
  int port_;
  std::unique_ptr<Child> child_;
};

}  // namespace vorlan::test

#endif
