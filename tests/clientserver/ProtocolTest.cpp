// The request protocol against a real database, with fake engine, ZK
// module and template server.
#include <gtest/gtest.h>

#include "ClientEnv.h"
#include "clientserver/ClientWire.h"
#include "common/StrUtil.h"
#include "common/TextCodec.h"
#include "support/DbTestEnv.h"

using namespace px;
using test::ClientEnv;

namespace {

const std::string A(1, kACK), R(1, kCR);
const std::string kLocalKey = "127000000001";

class ProtocolTest : public test::DbTest {
protected:
  test::CaptureLog log;
  std::unique_ptr<ClientEnv> env;

  void SetUp() override {
    DbTest::SetUp();
    if (IsPostgres()) Db().CreateSchema("OstrPro");
    env = std::make_unique<ClientEnv>(log, Db().Dir().Path() + "/", Db().ConnectionString());
    ASSERT_TRUE(env->db->Database1.Connected()) << log.Dump();
    ASSERT_TRUE(env->AddCtrl("DOOR1", "18", "KX4100"));                 // bus 2 unit 2
    ASSERT_TRUE(env->AddCtrl("IPDOOR", "3", "KX6000", "192168001020"));
    ASSERT_TRUE(env->AddCtrl("F7", "5", "KXF7", "010000000005"));
    ASSERT_TRUE(env->AddPoint(kOutputPointTable, "OUT1", "IPDOOR"));
    ASSERT_TRUE(env->AddPoint(kInputPointTable, "IN1", "DOOR1"));
    ASSERT_TRUE(env->LoadRegistry()) << log.Dump();
    env->registry->SetCtrlStatus("DOOR1", "123456");
  }
  void TearDown() override {
    env.reset();
    DbTest::TearDown();
  }
  std::string Ask(const std::string& req, const std::string& remote = "127.0.0.1") { return env->Ask(req, remote); }
  std::string Poll(const std::string& tag) { return Ask(wire::PollRequest(tag, env->monitor.GetLastRec())); }
  void Line(const std::string& device, const std::string& card) {
    env->monitor.AppendOneLine(device, "14/03", "0", "01", "Access granted", "Ann", card, "S1", "15:09");
  }
};

TEST_P(ProtocolTest, PollGivesStatusThenMonitorLinesWhenTheClientIsBehind) {
  EXPECT_EQ(Poll("DOOR1"), A + "123456" + R);
  EXPECT_EQ(Poll("NOSUCH"), A + "000000" + R);
  Line("DOOR1", "001234");
  Line("IPDOOR", "004321");
  std::string all = env->monitor.ExtractAllOnline();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(Ask(wire::PollRequest("DOOR1", "stale")), A + "123456" + all + R);
  // Up to date again, trailing blanks aside.
  EXPECT_EQ(Ask(wire::PollRequest("DOOR1", env->monitor.GetLastRec() + "   ")), A + "123456" + R);
  // A client can rebuild the compared text from the list it was sent.
  auto body = wire::ParsePollBody(wire::ParseReply(A + "123456" + all + R).body);
  ASSERT_EQ(body.lines.size(), 2u);
  EXPECT_EQ(wire::LastLineOf(body.lines.back()), TrimRight(env->monitor.GetLastRec()));
}

TEST_P(ProtocolTest, DoneEntriesReachTheirClientOnePerPollInSlotOrder) {
  ASSERT_EQ(env->proto->Queue_PutDone(kLocalKey + "_S_8U0001. 000001 Ann"), 1);
  ASSERT_EQ(env->proto->Queue_PutDone("010000000005TAG00000009Y2U"), 2);
  ASSERT_EQ(env->proto->Queue_PutDone(kLocalKey + "TAG00000001Y8U"), 3);
  EXPECT_EQ(Poll("DOOR1"), A + "123456_&8U0001. 000001 Ann" + R);
  EXPECT_EQ(Poll("DOOR1"), A + "123456_*TAG00000001Y8U" + kLocalKey + R);
  EXPECT_TRUE(log.Has("Q.Cmd Done: Status=Y From:127.0.0.1"));
  EXPECT_EQ(Poll("DOOR1"), A + "123456" + R);
  EXPECT_EQ(Ask(wire::PollRequest("X", env->monitor.GetLastRec()), "10.0.0.5"),
            A + "000000_*TAG00000009Y2U010000000005" + R);
  // A client that is behind gets the lines first; its notice waits.
  env->proto->Queue_PutDone(kLocalKey + "TAG00000002N2N");
  Line("DOOR1", "001234");
  EXPECT_EQ(Ask(wire::PollRequest("DOOR1", "old")), A + "123456" + env->monitor.ExtractAllOnline() + R);
  EXPECT_EQ(Poll("DOOR1"), A + "123456_*TAG00000002N2N" + kLocalKey + R);
}

TEST_P(ProtocolTest, CommandsReachTheEngineForControllersOutputsAndInputs) {
  auto& cmds = env->engine.commands;
  EXPECT_EQ(Ask(wire::CommandRequest("DOOR1", "PR", "05")), A + "DOOR1       WF101500123" + R);
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].name, "PULSE");
  EXPECT_EQ(cmds[0].bus, 2);
  EXPECT_EQ(cmds[0].unit, 2);
  EXPECT_EQ(cmds[0].params, "05");
  EXPECT_EQ(cmds[0].ip, "");
  EXPECT_EQ(env->proto->LastCommandID(), "101500123");

  // An IP controller by its dotted address; an output through the device it is attached to.
  env->engine.nextId = "101500200";
  EXPECT_EQ(Ask(wire::CommandRequest("OUT1", "ON", "1")), A + "OUT1        WF101500200" + R);
  EXPECT_EQ(cmds.back().name, "ONOUT");
  EXPECT_EQ(cmds.back().unit, 3);
  EXPECT_EQ(cmds.back().ip, "192.168.1.20");
  EXPECT_EQ(Ask(wire::CommandRequest("IN1", "AR", "")), A + "IN1         WF101500200" + R);
  EXPECT_EQ(cmds.back().name, "ARMSN");
  EXPECT_EQ(cmds.back().bus, 2);
  // A code naming an input is not looked up as a controller, and the reverse.
  size_t before = cmds.size();
  EXPECT_EQ(Ask(wire::CommandRequest("DOOR1", "AR", "")), A + "DOOR1       XX" + R);
  EXPECT_EQ(Ask(wire::CommandRequest("IN1", "PR", "")), A + "IN1         XX" + R);
  EXPECT_EQ(cmds.size(), before);

  // Refused by the engine, or a code it does not know.
  env->engine.refuse = true;
  EXPECT_EQ(Ask(wire::CommandRequest("DOOR1", "SC", "")), A + "DOOR1       XX" + R);
  env->engine.refuse = false;
  EXPECT_EQ(Ask(wire::CommandRequest("DOOR1", "ZZ", "")), A + "DOOR1       XX" + R);
  EXPECT_EQ(cmds.back().name, "");
}

TEST_P(ProtocolTest, ParametersEndBeforeTheLastCharacterAndBeforeAnySTX) {
  Ask(wire::CommandRequest("DOOR1", "AC", std::string("123456") + kSTX + "00SZjunk"));
  EXPECT_EQ(env->engine.commands.back().params, "123456");
  // A request too short for a code is answered "XX" without reaching anyone.
  EXPECT_EQ(Ask(std::string(1, kSTX) + R + "0CMDOOR1       P"), A + "DOOR1       XX" + R);
  EXPECT_EQ(env->engine.commands.size(), 1u);
}

TEST_P(ProtocolTest, SynchronisationPrefixIsSkippedAndAloneGetsNoReply) {
  std::string cmd = wire::CommandRequest("DOOR1", "PR", "");
  EXPECT_EQ(Ask(std::string(1, kSTX) + "00SX" + "\xff\x01junk" + cmd), A + "DOOR1       WF101500123" + R);
  EXPECT_EQ(Ask(std::string(1, kSTX) + "00SYzzzz" + R), "");
  EXPECT_EQ(Ask(std::string(1, kSTX) + "00SX" + std::string(1, kSTX) + "00SY" + R), "");
  EXPECT_EQ(env->engine.commands.size(), 1u);
}

TEST_P(ProtocolTest, ReplyIsFetchedOnceAndIsUnknownBeforeAndAfter) {
  std::string fetch = wire::FetchReplyRequest("DOOR1", "101500123");
  EXPECT_EQ(Ask(fetch), A + "DOOR1       ??" + R);
  env->proto->PutReplyByID("101500123", "OKPR");
  EXPECT_EQ(Ask(fetch), A + "DOOR1       OKPR" + R);
  EXPECT_EQ(Ask(fetch), A + "DOOR1       ??" + R);
  // A short fetch never matches a free pair (its CR stands where the ID would).
  EXPECT_EQ(Ask(std::string(1, kSTX) + "00SZ" + R), A + R + "??" + R);
}

TEST_P(ProtocolTest, CardUploadReplyCarriesTheUploadFile) {
  const auto& dir = Db().Dir();
  dir.Write("User.TMP", "old upload\r\n");
  env->engine.nextId = "090000001";
  EXPECT_EQ(Ask(wire::CommandRequest("DOOR1", "RC", "")), A + "DOOR1       WF090000001" + R);
  EXPECT_EQ(env->engine.commands.back().name, "UCARD");
  EXPECT_FALSE(dir.Exists("User.TMP"));
  EXPECT_EQ(env->proto->Router().LastCardUploadID(), "090000001");
  dir.Write("user.tmp", "00123400000000000000\r\n00567800000000000000\r\n");
  env->proto->PutReplyByID("090000001", "OKRC   2");
  EXPECT_EQ(Ask(wire::FetchReplyRequest("DOOR1", "090000001")),
            A + "DOOR1       OK00123400000000000000;00567800000000000000;" + R);
  EXPECT_EQ(env->proto->Router().LastCardUploadID(), "");

  // The file missing: logged, and the reply is "OK" alone.
  env->engine.nextId = "090000002";
  Ask(wire::CommandRequest("DOOR1", "RC", ""));
  EXPECT_FALSE(dir.Exists("user.tmp"));
  env->proto->PutReplyByID("090000002", "OKRC   9");
  EXPECT_EQ(Ask(wire::FetchReplyRequest("DOOR1", "090000002")), A + "DOOR1       OK" + R);
  EXPECT_TRUE(log.Has("<Th.Execxx> failed to locate " + dir.Path() + "/user.tmp"));
}

TEST_P(ProtocolTest, VersionAndActiveRefresh) {
  EXPECT_EQ(Ask(wire::CommandRequest("DOOR1", "VN", "")), A + std::string(15, ' ') + R);
  EXPECT_TRUE(env->engine.commands.empty());
  EXPECT_EQ(Ask(wire::RefreshActiveRequest()), "");
  EXPECT_TRUE(log.Has("Check active ctrl ..."));
  EXPECT_TRUE(log.Has("SRCtrl: B=2 U=2 Active=true")) << log.Dump();
}

TEST_P(ProtocolTest, MobileLoginChecksTheEncodedPassword) {
  ASSERT_TRUE(env->Exec("insert into sysopr (userID, Password) values ('alice'," + SqlQuote(EncodeText("Secret")) + ")"));
  ASSERT_TRUE(env->Exec("insert into sysopr (userID, Password) values ('o''neil'," + SqlQuote(EncodeText("pw")) + ")"));
  // Stored so that a look-up would accept it: the refusal proves there was none.
  ASSERT_TRUE(env->Exec("insert into sysopr (userID, Password) values ('vAnT'," + SqlQuote(EncodeText("x")) + ")"));
  std::string req;
  ASSERT_TRUE(wire::LoginRequest("alice", "SECRET", req));
  EXPECT_EQ(Ask(req), A + "OK" + R);
  EXPECT_EQ(env->Scalar("select a_date || '|' || a_time || '|' || action || '|' || detail || '|' || source "
                        "from Audit_Trail"),
            "20260314|150926|Mobile Login|User: alice|_PXS_");
  ASSERT_TRUE(wire::LoginRequest("alice", "wrong", req));
  EXPECT_EQ(Ask(req), A + "XX" + R);
  ASSERT_TRUE(wire::LoginRequest("nobody", "x", req));
  EXPECT_EQ(Ask(req), A + "XX" + R);
  ASSERT_TRUE(wire::LoginRequest("o'neil", "PW", req));
  EXPECT_EQ(Ask(req), A + "OK" + R);
  for (const char* vant : {"VANT", "vant", "vAnT"}) {
    ASSERT_TRUE(wire::LoginRequest(vant, "x", req));
    EXPECT_EQ(Ask(req), A + "XX" + R) << vant;
  }
  EXPECT_EQ(env->Scalar("select count(*) from Audit_Trail"), "2");
  EXPECT_FALSE(wire::LoginRequest("alice", "elevenchars", req));
}

TEST_P(ProtocolTest, MobileCommandsAreAuditedAndAnswered) {
  EXPECT_EQ(Ask(wire::MobileRequest("C1", "bob", "DOOR1", "PR", "")), A + "DOOR1       OK101500123" + R);
  EXPECT_EQ(Ask(wire::MobileRequest("C2", "bob", "DOOR1", "AC", "654321rest")), A + "DOOR1       OK101500123" + R);
  EXPECT_EQ(env->engine.commands.back().params, "654321rest");
  EXPECT_EQ(Ask(wire::MobileRequest("C3", "bob", "NOSUCH", "DC", "654321")), A + "NOSUCH      XX" + R);
  EXPECT_EQ(env->Scalar("select count(*) from Audit_Trail where action='Mobile Command'"), "3");
  EXPECT_EQ(env->Scalar("select detail from Audit_Trail where detail like '%Pulse%'"), "bob: Pulse Open DOOR1");
  EXPECT_EQ(env->Scalar("select detail from Audit_Trail where detail like '%Install%'"),
            "bob: Install Card 654321 to DOOR1");
  EXPECT_EQ(env->Scalar("select detail from Audit_Trail where detail like '%Delete%'"),
            "bob: Delete Card 654321 to NOSUCH");
  EXPECT_EQ(Ask(wire::MobileRequest("C9", "bob", "DOOR1", "PR", "") + R), "");
}

TEST_P(ProtocolTest, ParametersThatCouldFrameForAnotherUnitAreRefused) {
  // A CR ends a controller frame; 0xD0-0xDF address units 1 to 16.
  EXPECT_EQ(Ask(wire::CommandRequest("DOOR1", "AC", "1234\r" + std::string(1, '\xD3') + "PR")),
            A + "DOOR1       XX" + R);
  EXPECT_EQ(Ask(wire::CommandRequest("DOOR1", "PR", std::string(1, '\xD0'))), A + "DOOR1       XX" + R);
  EXPECT_EQ(Ask(wire::MobileRequest("C2", "bob", "DOOR1", "AC", "654321" + std::string(1, '\xDF'))),
            A + "DOOR1       XX" + R);
  EXPECT_TRUE(env->engine.commands.empty());
  EXPECT_EQ(log.CountSubstr("Client command refused: "), 3) << log.Dump();
  // The CR that closes a mobile request is not one of its parameters.
  EXPECT_EQ(Ask(wire::MobileRequest("C1", "bob", "DOOR1", "PR", "") + R), A + "DOOR1       OK101500123" + R);
  ASSERT_EQ(env->engine.commands.size(), 1u);
  EXPECT_EQ(env->engine.commands[0].params, "");
}

TEST_P(ProtocolTest, RepliesToTheServicesOwnCommandsAreNotAwaited) {
  env->engine.nextId = "101500001";
  Ask(wire::CommandRequest("DOOR1", "PR", "05"));
  env->engine.nextId = "101500002";
  std::string id;
  ASSERT_TRUE(env->proto->RunCommCommand("DATTM", 2, 2, "", "", id));
  // The reply stored is the client's, not that of the clock update.
  EXPECT_EQ(env->proto->LastCommandID(), "101500001");
}

TEST_P(ProtocolTest, FailingAuditRowIsLoggedAndTheRequestStillAnswered) {
  ASSERT_TRUE(env->Exec("drop table Audit_Trail"));
  EXPECT_EQ(Ask(wire::MobileRequest("C1", "bob", "DOOR1", "PR", "")), A + "DOOR1       OK101500123" + R);
  EXPECT_TRUE(log.HasSubstr("<PXS.AuditTrail>")) << log.Dump();
  EXPECT_EQ(env->engine.commands.size(), 1u);
}

TEST_P(ProtocolTest, ZkTerminalTakesOnlyItsFourCodes) {
  auto& q = env->zk.queued;
  EXPECT_EQ(Ask(wire::CommandRequest("F7", "SC", "")), A + "F7          WF111111111" + R);
  EXPECT_EQ(Ask(wire::CommandRequest("F7", "AT", "")), A + "F7          WF111111111" + R);
  EXPECT_EQ(Ask(wire::CommandRequest("F7", "AC", "123456xxxxxxxxxxxx03")), A + "F7          WF111111111" + R);
  EXPECT_EQ(Ask(wire::CommandRequest("F7", "DC", "123456")), A + "F7          WF111111111" + R);
  ASSERT_EQ(q.size(), 4u);
  EXPECT_EQ(q[0].kind, "DTM");
  EXPECT_EQ(q[0].tag, "F7");
  EXPECT_EQ(q[0].address, "010000000005");
  EXPECT_EQ(q[0].unit, "5");
  EXPECT_EQ(q[0].type, "KXF7");
  EXPECT_EQ(q[1].kind, "TMZ");
  EXPECT_EQ(q[2].kind, "INS");
  EXPECT_EQ(q[2].user, "123456");
  EXPECT_EQ(q[2].param, "03");
  EXPECT_EQ(q[3].kind, "DEL");
  EXPECT_EQ(q[3].user, "123456");
  for (const char* code : {"PR", "VP", "RC", "ON"})
    EXPECT_EQ(Ask(wire::CommandRequest("F7", code, "")), A + "F7          XX" + R) << code;
  EXPECT_EQ(q.size(), 4u);
  EXPECT_TRUE(env->engine.commands.empty());
  env->ctx.zk = nullptr;
  EXPECT_EQ(Ask(wire::CommandRequest("F7", "SC", "")), A + "F7          XX" + R);
}

TEST_P(ProtocolTest, TemplateJobIsAcknowledgedBeforeItRunsAndReportsBack) {
  std::string job = wire::JobRequest("KX6KS1", 3, "000042", "2N", kLocalKey, "REQ00000001", "192168001050");
  EXPECT_EQ(Ask(job), A + "000000_#OK" + R);
  EXPECT_TRUE(env->templates.calls.empty());
  std::string line;
  ASSERT_EQ(env->proto->Queue_GetCommand(line), 0);
  EXPECT_EQ(line, job);
  EXPECT_EQ(env->proto->Queue_GetCommand(line), 1);
  EXPECT_EQ(env->proto->Queue_ExecCommand(line), 0);
  ASSERT_EQ(env->templates.calls.size(), 1u);
  EXPECT_EQ(env->templates.calls[0], "O|KX6KS1|" + kLocalKey + "|000042|0003|192168001050");
  EXPECT_EQ(env->proto->DoneQueue().Slot(1), kLocalKey + "REQ00000001Y2N");

  // An unknown job code: nothing runs and the client never hears of it.
  EXPECT_EQ(env->proto->Queue_ExecCommand(wire::JobRequest("KX6KS1", 3, "000042", "9Z", kLocalKey, "T", "")), 1);
  EXPECT_EQ(env->proto->DoneQueue().Waiting(), 1);
  EXPECT_EQ(env->templates.calls.size(), 1u);
}

TEST_P(ProtocolTest, ZkMasterUploadChecksTheConfiguration) {
  auto run = [&](const char* code, const char* ctrl) {
    return env->proto->Queue_ExecCommand(wire::JobRequest(ctrl, 7, "000042", code, kLocalKey, "REQ", "010000000005"));
  };
  EXPECT_EQ(run("8U", "F7"), 1);
  EXPECT_TRUE(log.Has("<SvrUploadTemp> ZK not enabled."));
  env->settings.ZKEnable = true;
  env->settings.MasterF8 = "MASTER";
  EXPECT_EQ(run("8U", "F7"), 1);
  EXPECT_TRUE(log.Has("Server.UploadTemp - F7 is not Master Unit (MASTER)"));
  EXPECT_TRUE(env->zk.calls.empty());
  EXPECT_EQ(run("8U", "MASTER"), 0);
  EXPECT_TRUE(log.Has("Server.Download Temp to PC - MASTER Mode=A 000042"));
  EXPECT_EQ(env->zk.machine, 7);
  EXPECT_EQ(env->zk.redirect, kLocalKey);
  env->zk.uploadResult = false;
  EXPECT_EQ(run("8N", "MASTER"), 1);
  EXPECT_EQ(env->zk.redirect, "");
  EXPECT_TRUE(log.Has("Upload Failed."));
  ASSERT_EQ(env->zk.calls.size(), 2u);
  EXPECT_EQ(env->zk.calls[0], "all 010000000005 4370");
  EXPECT_EQ(env->zk.calls[1], "one 010000000005 4370 000042");
  // Every job that ran left its result for the client, failures as "N".
  EXPECT_EQ(env->proto->DoneQueue().Slot(1), kLocalKey + "REQ        N8U");
  EXPECT_EQ(env->proto->DoneQueue().Slot(3), kLocalKey + "REQ        Y8U");
  EXPECT_EQ(env->proto->DoneQueue().Slot(4), kLocalKey + "REQ        N8N");
}

TEST_P(ProtocolTest, FullJobQueueRefusesTheNewJobAndKeepsTheOld) {
  for (int i = 1; i <= 999; ++i)
    ASSERT_EQ(env->proto->Queue_PutCommand(wire::JobRequest("C", i, "1", "2U", kLocalKey, "T", "")), 0) << i;
  EXPECT_EQ(Ask(wire::JobRequest("C", 9999, "1", "2U", kLocalKey, "NEW", "")), A + "000000_#OK" + R);
  EXPECT_TRUE(log.Has("<QPut> Buffer Overflow !"));
  EXPECT_EQ(env->proto->Queue_PutCommand("x\r"), 1);
  std::string line;
  ASSERT_EQ(env->proto->Queue_GetCommand(line), 0);
  EXPECT_EQ(line, wire::JobRequest("C", 1, "1", "2U", kLocalKey, "T", ""));
  EXPECT_EQ(env->proto->JobQueue().Count(), 998u);
}

TEST_P(ProtocolTest, ReentryIsRefused) {
  std::string inner;
  env->engine.onSend = [&] { inner = Ask(wire::PollRequest("DOOR1", "")); };
  EXPECT_EQ(Ask(wire::CommandRequest("DOOR1", "PR", "")), A + "DOOR1       WF101500123" + R);
  EXPECT_EQ(inner, "XXRE");
  EXPECT_TRUE(log.Has("Reentrant"));
  // A command while another executes.
  bool nested = true;
  std::string id;
  env->engine.onSend = [&] { nested = env->proto->TH_ExecClientCommand("DOOR1", "PR", "", id); };
  EXPECT_TRUE(env->proto->TH_ExecClientCommand("DOOR1", "PR", "", id));
  EXPECT_FALSE(nested);
  EXPECT_TRUE(log.Has("ExecClient.Reentrant"));
  EXPECT_FALSE(env->proto->Busy());
}

TEST_P(ProtocolTest, UnrecognisedRequestsGetNoReply) {
  EXPECT_EQ(Ask("hello\r"), "");
  EXPECT_EQ(Ask(std::string(1, kSOH) + "xDOOR1"), "");
  EXPECT_EQ(Ask(std::string(1, kSTX) + "00PRnocr"), "");
  EXPECT_EQ(Ask(""), "");
  EXPECT_TRUE(log.HasSubstr("Client request not recognised"));
}

PX_INSTANTIATE_DB_TESTS(ProtocolTest);

}  // namespace
