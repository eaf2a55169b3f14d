// pxclient against a running client server with the real protocol.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "ClientEnv.h"
#include "clientserver/ClientCli.h"
#include "ClientFakes.h"
#include "clientserver/ClientServer.h"
#include "clientserver/ClientWire.h"
#include "common/TextCodec.h"
#include "platform/EventLoop.h"
#include "support/TestSupport.h"

using namespace px;

namespace {

// Answers everything with a fixed text, however wrong.
class FixedProtocol : public test::StubProtocol {
public:
  std::string reply;
  std::string ReplyToClientQuery(const std::string&, const std::string&) override { return reply; }
};

class CliTest : public ::testing::Test {
protected:
  test::TempDir dir;
  test::CaptureLog log;
  std::unique_ptr<test::ClientEnv> env;
  EventLoop loop;
  std::thread loopThread;
  std::unique_ptr<TClientServer> server;
  FixedProtocol fixed;
  int port = 0;
  std::ostringstream out, err;

  void SetUp() override {
    env = std::make_unique<test::ClientEnv>(log, dir.Path() + "/", "sqlite:" + dir.File("OstrPro.db"));
    env->AddCtrl("DOOR1", "1", "KX4100");
    env->Exec("insert into sysopr (userID, Password) values ('alice','" + EncodeText("pw") + "')");
    env->LoadRegistry();
    loopThread = std::thread([this] { loop.Run(); });
    Serve(*env->proto);
  }
  void TearDown() override {
    loop.Synchronize([this] { server.reset(); });
    loop.Stop();
    loopThread.join();
  }
  void Serve(IClientProtocol& p) {
    loop.Synchronize([&] {
      server = std::make_unique<TClientServer>(loop.Context(), log, p);
      server->Open(port);
      port = server->Port();
    });
  }
  int Run(std::vector<std::string> args, const std::function<void(int)>& sleep = {}) {
    out.str("");
    err.str("");
    TClientCli cli(out, err);
    cli.sleep = sleep;
    args.insert(args.begin(), {"--port", std::to_string(port), "--timeout", "0.3"});
    return cli.Run(args);
  }
};

TEST_F(CliTest, CommandWaitsForItsReply) {
  int sleeps = 0;
  auto arrive = [&](int) {
    if (++sleeps == 2) loop.Synchronize([&] { env->proto->PutReplyByID("101500123", "OKPR"); });
  };
  EXPECT_EQ(Run({"cmd", "DOOR1", "PR", "05"}, arrive), 0) << err.str();
  EXPECT_EQ(out.str(), "command ID: 101500123\nreply: OKPR\n");
  EXPECT_EQ(sleeps, 2);
  loop.Synchronize([&] { EXPECT_EQ(env->engine.commands.back().params, "05"); });
  // Refused, and no reply in time.
  EXPECT_EQ(Run({"cmd", "NOSUCH", "PR"}), 1);
  EXPECT_NE(err.str().find("command refused (XX)"), std::string::npos);
  EXPECT_EQ(Run({"cmd", "DOOR1", "PR"}, [](int) {}), 1);
  EXPECT_NE(err.str().find("no reply to command 101500123 within 0.3 s"), std::string::npos) << err.str();
  EXPECT_EQ(Run({"reply", "DOOR1", "101500123"}), 1);
  loop.Synchronize([&] { env->proto->PutReplyByID("101500123", "XX"); });
  EXPECT_EQ(Run({"reply", "DOOR1", "101500123"}), 0);
  EXPECT_EQ(out.str(), "reply: XX\n");
}

TEST_F(CliTest, PollLoginMobileAndJob) {
  loop.Synchronize([&] {
    env->registry->SetCtrlStatus("DOOR1", "000102");
    env->monitor.AppendOneLine("DOOR1", "14/03", "0", "01", "Access granted", "Ann", "001234", "S1", "15:09");
  });
  EXPECT_EQ(Run({"poll", "DOOR1"}), 0) << err.str();
  std::string text = out.str();
  EXPECT_EQ(text.rfind("status: 000102\nline: ", 0), 0u) << text;
  EXPECT_NE(text.find("Access granted"), std::string::npos) << text;
  size_t last = text.find("last: ");
  ASSERT_NE(last, std::string::npos);
  std::string lastLine = text.substr(last + 6, text.size() - last - 7);
  EXPECT_EQ(Run({"poll", "DOOR1", lastLine}), 0);
  EXPECT_EQ(out.str(), "status: 000102\n");

  EXPECT_EQ(Run({"login", "alice", "PW"}), 0);
  EXPECT_EQ(out.str(), "login accepted\n");
  EXPECT_EQ(Run({"login", "alice", "nope"}), 1);
  EXPECT_NE(err.str().find("login refused"), std::string::npos);

  EXPECT_EQ(Run({"mobile", "C1", "bob", "DOOR1"}), 0) << err.str();
  EXPECT_EQ(out.str(), "command ID: 101500123\n");
  loop.Synchronize([&] { EXPECT_EQ(env->engine.commands.back().name, "PULSE"); });

  EXPECT_EQ(Run({"job", "KX6KS1", "2", "42", "2N", "REQ1", "192.168.1.50"}), 0) << err.str();
  std::string line;
  loop.Synchronize([&] { ASSERT_EQ(env->proto->Queue_GetCommand(line), 0); });
  EXPECT_EQ(line, wire::JobRequest("KX6KS1", 2, "000042", "2N", "127000000001", "REQ1", "192168001050"));
  loop.Synchronize([&] { env->proto->Queue_ExecCommand(line); });
  EXPECT_EQ(Run({"poll", "DOOR1", lastLine}), 0);
  EXPECT_EQ(out.str(), "status: 000102\njob 2N REQ1: succeeded\n");
}

TEST_F(CliTest, RawBytesAndFailuresAreReported) {
  EXPECT_EQ(Run({"raw", "01 0d 44 4f 4f 52 31"}), 0) << err.str();
  EXPECT_EQ(out.str(), "hex: 06 30 30 30 30 30 30 0d\ntext: <06>000000<0D>\n");
  // A request that gets no reply.
  EXPECT_EQ(Run({"raw", "020d30525230"}), 1);
  EXPECT_NE(err.str().find("no reply within 0.3 s"), std::string::npos) << err.str();
  EXPECT_EQ(Run({"raw", "0x"}), 1);
  EXPECT_EQ(Run({"frobnicate"}), 2);
  EXPECT_EQ(Run({"poll"}), 2);

  fixed.reply = "garbage\r";
  loop.Synchronize([&] { server.reset(); });
  Serve(fixed);
  EXPECT_EQ(Run({"poll", "DOOR1"}), 1);
  EXPECT_NE(err.str().find("malformed reply: garbage<0D>"), std::string::npos) << err.str();

  loop.Synchronize([&] { server.reset(); });
  EXPECT_EQ(Run({"poll", "DOOR1"}), 1);
  EXPECT_NE(err.str().find("connection to 127.0.0.1:" + std::to_string(port) + " refused"), std::string::npos)
      << err.str();
}

}  // namespace
