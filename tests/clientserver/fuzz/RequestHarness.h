#pragma once
// One client protocol over a throwaway SQLite database, seeded with every
// kind of target a request can name, for feeding arbitrary requests to.
// Used by the libFuzzer target and by the regression test over its corpus.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "../ClientEnv.h"
#include "clientserver/ClientWire.h"
#include "common/TextCodec.h"

namespace px::test {

class RequestHarness {
public:
  RequestHarness() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pxfuzz.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    env_ = std::make_unique<ClientEnv>(log_, dir_ + "/", "sqlite:" + dir_ + "/OstrPro.db");
    // Audit rows are written often; durability does not matter here.
    env_->Exec("PRAGMA synchronous=OFF");
    env_->AddCtrl("DOOR1", "18", "KX4100");
    env_->AddCtrl("IPDOOR", "3", "KX6000", "192168001020");
    env_->AddCtrl("F7", "5", "KXF7", "010000000005");
    env_->AddCtrl("BADPOINT", "-7", "KX4100");
    env_->AddPoint("outputs", "OUT1", "IPDOOR");
    env_->AddPoint("inputs", "IN1", "DOOR1");
    env_->Exec("insert into sysopr (userID, Password) values ('alice','" + EncodeText("pw") + "')");
    env_->LoadRegistry();
    // The ZK master path too.
    env_->settings.ZKEnable = true;
    env_->settings.MasterF8 = "F7";
    env_->registry->SetCtrlStatus("DOOR1", "123456");
    env_->monitor.AppendOneLine("DOOR1", "14/03", "0", "01", "Access granted", "Ann", "001234", "S1", "15:09");
    env_->proto->PutReplyByID("101500123", "OKPR");
  }
  ~RequestHarness() {
    env_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Answers one request and runs whatever job it queued; false when the
  // reply breaks the reply rules.
  bool Feed(const std::string& request, const std::string& remote = "127.0.0.1") {
    std::string reply = env_->Ask(request, remote);
    std::string line;
    while (env_->proto->Queue_GetCommand(line) == 0) env_->proto->Queue_ExecCommand(line);
    std::string tag, yn, code;
    env_->proto->Queue_GetDone("127000000001", tag, yn, code);
    // Also through the wire transform, as the server sees it.
    if (ScrambleClientText(ScrambleClientText(request)) != request) return false;
    if (reply.empty()) return true;
    if (env_->proto->Busy()) return false;
    return reply.size() >= 2 && reply.front() == kACK && reply.back() == kCR;
  }
  ClientEnv& Env() { return *env_; }

private:
  NullLog log_;
  std::string dir_;
  std::unique_ptr<ClientEnv> env_;
};

}  // namespace px::test
