#pragma once
// A real broker (Debian's mosquitto) on a free loopback port, without
// persistence, that a test stops and starts again on the same port; and a
// real subscriber (mosquitto_sub) whose messages the test reads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace px::test {

class MqttBroker {
public:
  // Two users: "portex" (the server) and "watch" (the subscriber).
  explicit MqttBroker(std::string dir) : dir_(std::move(dir)), port_(FreeLoopbackPort()) {}
  ~MqttBroker() { Stop(); }
  int Port() const { return port_; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

  // `serverAllowed` false keeps the server's user out until Admit(): a test
  // then knows its subscriber is in before the server's backlog arrives.
  bool Start(bool serverAllowed = true) {
    WriteFile(dir_ + "/broker.conf", "listener " + std::to_string(port_) +
                                         " 127.0.0.1\npersistence false\nallow_anonymous false\npassword_file " +
                                         dir_ + "/broker.passwd\n" + (geteuid() == 0 ? "user root\n" : "") + tls_);
    if (!Users(serverAllowed)) return false;
    proc_ = std::make_unique<ChildProcess>();
    if (!proc_->Start({"/usr/sbin/mosquitto", "-c", dir_ + "/broker.conf"}, dir_ + "/broker.log")) return false;
    return WaitFor([&] { return Accepting(); }, std::chrono::seconds(10));
  }
  // TLS on the listener with a certificate for 127.0.0.1 made here, which
  // is also the CA a client must trust (the file returned).
  std::string EnableTls() {
    const std::string cert = dir_ + "/broker.crt", key = dir_ + "/broker.key";
    const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                            "-addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return "";
    tls_ = "cafile " + cert + "\ncertfile " + cert + "\nkeyfile " + key + "\n";
    return cert;
  }
  bool Admit() {
    if (!Users(true)) return false;
    proc_->Signal(SIGHUP);  // the broker reads its password file again
    return true;
  }
  void Stop() {
    if (!proc_) return;
    proc_->Signal(SIGTERM);
    proc_->Wait(std::chrono::seconds(10));
    proc_.reset();
  }

private:
  bool Accepting() const {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
  }
  bool Users(bool server) {
    const std::string file = dir_ + "/broker.passwd";
    std::string cmd = "/usr/bin/mosquitto_passwd -c -b " + file + " watch watch >/dev/null 2>&1";
    if (server) cmd += " && /usr/bin/mosquitto_passwd -b " + file + " portex portex >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
  }
  std::string dir_, tls_;
  int port_;
  std::unique_ptr<ChildProcess> proc_;
};

// mosquitto_sub on `filter` at QoS 1, reconnecting by itself; each message
// is a line "topic payload" (payloads here hold no newline).
class MqttWatcher {
public:
  MqttWatcher(std::string dir, int port) : dir_(std::move(dir)), port_(port) {}
  bool Start(const std::string& filter = "portex/#") {
    out_ = dir_ + "/watch" + std::to_string(++runs_) + ".txt";
    proc_ = std::make_unique<ChildProcess>();
    return proc_->Start({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port_), "-u", "watch",
                         "-P", "watch", "-q", "1", "-v", "-t", filter, "-t", "probe"},
                        out_);
  }
  // Subscribed once a probe it is sent comes back.
  bool WaitSubscribed() {
    return WaitFor(
        [&] {
          ++probes_;
          std::system(("/usr/bin/mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port_) +
                       " -u watch -P watch -q 1 -t probe -m " + std::to_string(probes_) + " >/dev/null 2>&1")
                          .c_str());
          return ReadFile(out_).find("probe ") != std::string::npos;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(100));
  }
  void Stop() { proc_.reset(); }
  // Every message so far with its topic, in order of arrival, over all runs.
  std::vector<std::pair<std::string, std::string>> Messages(const std::string& topicPart = "") const {
    std::vector<std::pair<std::string, std::string>> out;
    for (int r = 1; r <= runs_; ++r) {
      std::istringstream in(ReadFile(dir_ + "/watch" + std::to_string(r) + ".txt"));
      std::string line;
      while (std::getline(in, line)) {
        const size_t sp = line.find(' ');
        if (sp == std::string::npos || line.substr(0, sp).find(topicPart) == std::string::npos) continue;
        out.emplace_back(line.substr(0, sp), line.substr(sp + 1));
      }
    }
    return out;
  }

private:
  std::string dir_, out_;
  int port_;
  int runs_ = 0, probes_ = 0;
  std::unique_ptr<ChildProcess> proc_;
};

}  // namespace px::test
