// Card installs and deletions for fingerprint controllers pass through the
// template server first; express mode only listens after its version polls.
#include "IPFixture.h"
#include "common/Format.h"

namespace px::test {
namespace {

class FakeTemplates : public ITemplateServer {
public:
  TemplateHandOff HandOffCardCommand(bool add, const std::string& user, const std::string& address12,
                                     int unit) override {
    calls.push_back(std::string(add ? "A " : "D ") + user + " " + address12 + " " + std::to_string(unit));
    return result;
  }
  bool ServerDownloadATemplate(const std::string&, const std::string&, const std::string&, const std::string&,
                               const std::string&, const std::string&) override {
    return false;
  }
  bool AddDelTemplate(const std::string&, const std::string&, const std::string&) override { return false; }
  std::vector<std::string> calls;
  TemplateHandOff result = TemplateHandOff::Done;
};

class TemplateTest : public IPFixture {
protected:
  TemplateTest() {
    cfg.kx6ksEnable = true;
    templates = &fake;
  }
  FakeTemplates fake;
};

TEST_F(TemplateTest, InstallGoesToTheTemplateServerThenToTheController) {
  auto& a = AddSim("a", "127.0.0.1", {2});
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX6000S", "127.0.0.1", 2));
    ASSERT_TRUE(WaitFor([&] { return a.Bank().Unit(2).Received("QA") >= 1; }));
    std::string id;
    ASSERT_EQ(form->SendCommand("INSCD", 1, 2, id, "0001230101", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return HasLine("I02" + id + "OK      127.0.0.1C"); }));
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"A 000123 127000000001 2"}));
    EXPECT_TRUE(log.Has("Template Add/Del: A 000123 - OK"));
    EXPECT_EQ(a.Bank().Unit(2).LastParams("AC"), "0001230101");
    // A deletion only removes.
    fake.calls.clear();
    clock->Advance(std::chrono::milliseconds(5));
    ASSERT_EQ(form->SendCommand("DELCD", 1, 2, id, "000777", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return HasLine("I02" + id + "OK      127.0.0.1C"); }));
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"D 000777 127000000001 2"}));
  });
}

TEST_F(TemplateTest, FailedHandOffAnswersXXAndSendsNothing) {
  auto& a = AddSim("a", "127.0.0.1", {2});
  fake.result = TemplateHandOff::Failed;
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX6000S", "127.0.0.1", 2));
    std::string id;
    ASSERT_EQ(form->SendCommand("DELCD", 1, 2, id, "000555", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return HasLine("I02" + id + "XX127.0.0.1"); }));
    EXPECT_TRUE(log.Has("Template Add/Del: D 000555 - XX"));
    ASSERT_TRUE(WaitFor([&] { return a.Bank().Unit(2).Received("QA") >= 1; }));
    EXPECT_EQ(a.Bank().Unit(2).Received("DC"), 0);
    // A frame without a user number never reaches the template server.
    fake.calls.clear();
    clock->Advance(std::chrono::milliseconds(5));
    ASSERT_EQ(form->SendCommand("DELCD", 1, 2, id, "12a4", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return HasLine("I02" + id + "XX127.0.0.1"); }));
    EXPECT_TRUE(fake.calls.empty());
  });
}

TEST_F(TemplateTest, ExpressModeListensAfterThreeVersionPolls) {
  dir.Write("OstrPro.Ini", "[KX5800]\nExpressMode=1\n");
  auto& a = AddSim("a", "127.0.0.1", {1});
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->Settings().expressMode);
    ASSERT_TRUE(form->SpawnIPCtrl(true, true, a.Port(), "KX5800A", "127.0.0.1", 1));
    // Answered version polls count as good polls in express mode.
    ASSERT_TRUE(WaitFor([&] { return HasLine("S01UP127.0.0.1"); }));
    ASSERT_TRUE(WaitFor([&] { return log.Has("1: Sq=1 U1 Ctrl# 1 is KX5800A"); }));
    loop.Sleep(250);
    EXPECT_EQ(a.Bank().Unit(1).TotalReceived(), 3);
    EXPECT_EQ(a.Bank().Unit(1).Received("VN"), 3);
  });
}

TEST_F(TemplateTest, ExpressModeKeepsEveryRecordTheControllersPush) {
  dir.Write("OstrPro.Ini", "[KX5800]\nExpressMode=1\n");
  auto& a = AddSim("a", "127.0.0.1", {1, 2});
  a.SetPush(3);
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX5800A", "127.0.0.1", 1));
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX5800A", "127.0.0.1", 2));
    ASSERT_TRUE(WaitFor([&] { return a.Bank().Unit(1).Received("VN") == 3 && a.Bank().Unit(2).Received("VN") == 3; }));
    for (int i = 0; i < 40; ++i) {
      a.Bank().Unit(1 + i % 2).QueueRecord(Format("0103140%1d00%04d0", i % 10, i));
      loop.Sleep(7);
    }
    ASSERT_TRUE(WaitFor([&] { return CountLinesStarting("  ") >= 40; }));
    loop.Sleep(100);
    // Each record once, under the controller that sent it.
    EXPECT_EQ(CountLinesStarting("  1"), 20);
    EXPECT_EQ(CountLinesStarting("  2"), 20);
  });
}

}  // namespace
}  // namespace px::test
