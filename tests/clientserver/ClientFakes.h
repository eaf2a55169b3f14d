#pragma once
// Fakes of the modules the client protocol hands work to.
#include <functional>
#include <string>
#include <vector>

#include "clientserver/ClientApi.h"
#include "engine/NullEngine.h"
#include "templateserver/TemplateServerApi.h"
#include "zk/ZkApi.h"

namespace px::test {

// A protocol that does nothing but answer; tests override the answer.
class StubProtocol : public IClientProtocol {
public:
  void PutReplyByID(const std::string&, const std::string&) override {}
  std::string LastCommandID() const override { return {}; }
  bool RunCommCommand(const std::string&, int, int, const std::string&, const std::string&, std::string&) override {
    return false;
  }
  int Queue_GetCommand(std::string&) override { return 1; }
  int Queue_ExecCommand(const std::string&) override { return 1; }
};

// Records commands; queues them under `nextId` unless `refuse` is set.
class ClientFakeEngine : public NullEngine {
public:
  struct Cmd {
    std::string name;
    int bus, unit;
    std::string params, ip;
  };
  std::vector<Cmd> commands;
  std::string nextId = "101500123";
  bool refuse = false;
  std::function<void()> onSend;  // runs inside SendCommand

  int SendCommand(const std::string& command, int bus, int unit, std::string& id, const std::string& params,
                  const std::string& ip) override {
    commands.push_back({command, bus, unit, params, ip});
    if (onSend) onSend();
    // Like the engine: an unknown (empty) name queues nothing.
    if (refuse || command.empty()) return 1;
    id = nextId;
    return 0;
  }
  int GetNextTransaction(std::string&, std::uint64_t&) override { return 1; }
  int GetDoorStatus(std::string&) override { return 1; }
  void QueueForRawWrite(const std::string&) override {}
};

class ClientFakeZk : public IZKModule {
public:
  std::vector<ZkCommand> queued;
  std::vector<std::string> calls;
  std::string nextId = "111111111";
  bool uploadResult = true;
  int machine = -1;
  std::string redirect = "?";

  bool SendQPut(const std::string& tag, const std::string& address, std::string& id, const std::string& type,
                const std::string& param, const std::string& user, const std::string& kind,
                const std::string& unit) override {
    id = nextId;
    queued.push_back({tag, address, id, type, param, user, kind, unit});
    return true;
  }
  bool SendQGet(ZkCommand&) override { return false; }
  bool Send(const ZkCommand&, int&) override { return true; }
  bool GetTransactions(int, const std::string&, const std::string&, bool&) override { return true; }
  void SetMachineNumber(int n) override { machine = n; }
  void SetRedirectId(const std::string& key) override { redirect = key; }
  bool UploadAll(const std::string& address, int port) override {
    calls.push_back("all " + address + " " + std::to_string(port));
    return uploadResult;
  }
  bool UploadOne(const std::string& address, int port, const std::string& user) override {
    calls.push_back("one " + address + " " + std::to_string(port) + " " + user);
    return uploadResult;
  }
};

class ClientFakeTemplates : public ITemplateServer {
public:
  std::vector<std::string> calls;
  bool result = true;
  std::function<void()> during;  // runs inside the download, as a long transfer would

  TemplateHandOff HandOffCardCommand(bool, const std::string&, const std::string&, int) override {
    return TemplateHandOff::Failed;
  }
  bool ServerDownloadATemplate(const std::string& mode, const std::string& controller, const std::string& key,
                               const std::string& user, const std::string& unit,
                               const std::string& address12) override {
    calls.push_back(mode + "|" + controller + "|" + key + "|" + user + "|" + unit + "|" + address12);
    if (during) during();
    return result;
  }
  bool AddDelTemplate(const std::string&, const std::string&, const std::string&) override { return true; }
};

}  // namespace px::test
