#include <dirent.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "PtyHelper.h"
#include "serial/ComPort.h"
#include "serial/ComThread.h"

namespace px {
namespace {

using test::LoopThread;
using test::Pty;
using test::WaitFor;

int ThreadCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

struct termios Attr(int fd) {
  struct termios t {};
  ::tcgetattr(fd, &t);
  return t;
}

class ComPortTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(pty.path.empty());
    port = std::make_unique<TComPort>(lt.loop);
    port->DevicePath = [this](int) { return pty.path; };
  }
  void TearDown() override {
    lt.On([&] { port.reset(); });
  }
  void OpenOnLoop() {
    lt.On([&] { port->Open(); });
  }
  // Waits until every step posted to the loop so far has run.
  void DrainLoop() {
    lt.On([] {});
  }

  LoopThread lt;
  Pty pty;
  std::unique_ptr<TComPort> port;
};

TEST_F(ComPortTest, DefaultsAreThoseOfTheComponent) {
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(port->BaudRate(), br9600);
  EXPECT_EQ(port->Port(), 1);
  EXPECT_EQ(port->StopBits(), sbOneStopBit);
  EXPECT_EQ(port->DataBits(), dbEight);
  EXPECT_FALSE(port->DiscardNull());
  EXPECT_EQ(port->EventChar(), 0);
  EXPECT_EQ(port->Events(), kAllEvents);
  EXPECT_EQ(port->WriteBufSize(), 1024);
  EXPECT_EQ(port->ReadBufSize(), 1024);
  EXPECT_EQ(port->SyncMethod(), smSynchronize);
  EXPECT_EQ(port->Parity().Bits(), prNone);
  EXPECT_FALSE(port->Parity().Check() || port->Parity().Replace());
  EXPECT_EQ(port->Parity().ReplaceChar(), 0);
  auto& f = port->FlowControl();
  EXPECT_FALSE(f.OutCtsFlow() || f.OutDsrFlow() || f.XonXoffOut() || f.XonXoffIn());
  EXPECT_EQ(f.ControlDtr(), dtrDisable);
  EXPECT_EQ(f.ControlRts(), rtsDisable);
  auto& t = port->Timeouts();
  EXPECT_EQ(t.ReadInterval(), -1);
  EXPECT_EQ(t.ReadTotalMultiplier(), 0);
  EXPECT_EQ(t.ReadTotalConstant(), 0);
  EXPECT_EQ(t.WriteTotalMultiplier(), 100);
  EXPECT_EQ(t.WriteTotalConstant(), 1000);
  EXPECT_EQ(port->PendingCount(), 0);
  EXPECT_EQ(port->WaitForLastOp(), -2);
}

TEST_F(ComPortTest, SettingsReachTheDeviceOnlyWhenOpenAndChanged) {
  port->SetBaudRate(br38400);
  port->SetDataBits(dbSeven);
  port->SetStopBits(sbTwoStopBits);
  port->Parity().SetBits(prMark);
  port->FlowControl().SetOutCtsFlow(true);
  port->FlowControl().SetXonXoffIn(true);
  EXPECT_EQ(port->ApplyCount(), 0);  // closed: only stored
  OpenOnLoop();
  ASSERT_TRUE(port->Connected());
  const int afterOpen = port->ApplyCount();
  EXPECT_EQ(afterOpen, 3);  // queue sizes, line settings, timeouts
  auto t = Attr(pty.slave);
  EXPECT_EQ(cfgetospeed(&t), B38400);
  // A pty always reports 8 bits without parity enable; the other parity
  // bits and the stop bits stay as set.
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_iflag & IXOFF);
  EXPECT_FALSE(t.c_iflag & IXON);
  EXPECT_EQ(t.c_cc[VSTART], 17);
  EXPECT_EQ(t.c_cc[VSTOP], 19);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));

  lt.On([&] {
    port->SetBaudRate(br38400);
    port->Parity().SetBits(prMark);
    port->Timeouts().SetWriteTotalConstant(1000);
    port->SetReadBufSize(1024);
    port->SetPort(7);  // stored for the next Open only
    port->SetEvents(kAllEvents);
  });
  EXPECT_EQ(port->ApplyCount(), afterOpen);
  EXPECT_EQ(port->Port(), 7);

  lt.On([&] { port->SetBaudRate(br2400); });
  EXPECT_EQ(port->ApplyCount(), afterOpen + 1);
  t = Attr(pty.slave);
  EXPECT_EQ(cfgetospeed(&t), B2400);
  lt.On([&] {
    port->Parity().SetBits(prSpace);
    port->Timeouts().SetReadTotalConstant(5);
    port->SetWriteBufSize(2048);
  });
  EXPECT_EQ(port->ApplyCount(), afterOpen + 4);
  t = Attr(pty.slave);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(CMSPAR));
  // Assign copies every field and touches the device once, or not at all.
  TComPort other(lt.loop);
  other.Parity().SetBits(prOdd);
  other.Parity().SetCheck(true);
  lt.On([&] {
    port->Parity().Assign(other.Parity());
    port->Parity().Assign(other.Parity());
  });
  EXPECT_EQ(port->ApplyCount(), afterOpen + 5);
  EXPECT_EQ(port->Parity().Bits(), prOdd);
  EXPECT_TRUE(port->Parity().Check());
  EXPECT_TRUE(Attr(pty.slave).c_iflag & INPCK);

  EXPECT_NO_THROW(lt.On([&] { port->SetSyncMethod(smSynchronize); }));
  bool threw = false;
  lt.On([&] {
    try {
      port->SetSyncMethod(smNone);
    } catch (const EComPort& e) {
      threw = std::string(e.what()) == "Cannot set SyncMethod while connected";
    }
  });
  EXPECT_TRUE(threw);
  EXPECT_EQ(port->SyncMethod(), smSynchronize);
}

TEST_F(ComPortTest, RatesWithoutTermiosConstantsOpen) {
  port->SetBaudRate(br14400);
  EXPECT_NO_THROW(OpenOnLoop());
  EXPECT_TRUE(port->Connected());
  lt.On([&] { port->SetBaudRate(br56000); });
  EXPECT_TRUE(port->Connected());
}

TEST_F(ComPortTest, OpenFailuresNameThePortAndKeepSettingFailuresOpen) {
  for (int com : {3, 12}) {
    port->SetPort(com);
    port->DevicePath = [](int) { return std::string("/nonexistent/tty"); };
    try {
      port->Open();
      FAIL() << "opened";
    } catch (const EComPort& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to open com port: COM" + std::to_string(com));
    }
    EXPECT_FALSE(port->Connected());
  }
  // Not a tty: the line settings fail with the OS code, the device stays
  // open until the next Close.
  port->DevicePath = [](int) { return std::string("/dev/null"); };
  int closes = 0;
  port->OnClose = [&](TComPort&) { ++closes; };
  lt.On([&] {
    try {
      port->Open();
      ADD_FAILURE() << "opened /dev/null";
    } catch (const EComPort& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to set com state: " + std::to_string(ENOTTY));
    }
    EXPECT_TRUE(port->Connected());
    port->Close();
  });
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(closes, 1);
}

TEST_F(ComPortTest, OpenAndCloseEventsOnlyForRealTransitions) {
  int opens = 0, closes = 0;
  port->OnOpen = [&](TComPort&) { ++opens; };
  port->OnClose = [&](TComPort&) { ++closes; };
  lt.On([&] { port->Close(); });
  EXPECT_EQ(closes, 0);
  OpenOnLoop();
  OpenOnLoop();  // closes first
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(closes, 1);
  lt.On([&] {
    port->Close();
    port->Close();
  });
  EXPECT_EQ(closes, 2);
}

TEST_F(ComPortTest, ReceivedBytesArriveOnTheLoopWithTheirCount) {
  std::mutex m;
  std::vector<std::string> got;
  std::vector<int> inQue;
  bool onLoop = true;
  port->SetEventChar('\r');
  port->OnRxChar = [&](TComPort& p, int n) {
    std::string s;
    const int r = p.ReadStr(s, n);
    std::lock_guard<std::mutex> g(m);
    onLoop = onLoop && lt.loop.InLoopThread();
    inQue.push_back(n);
    got.push_back(s.substr(0, static_cast<size_t>(std::max(r, 0))));
  };
  std::atomic<int> flags{0}, full80{0};
  port->OnRxFlag = [&](TComPort&) { ++flags; };
  port->OnRx80Full = [&](TComPort&) { ++full80; };
  port->SetReadBufSize(5);  // 80% full at four bytes
  OpenOnLoop();
  pty.Send("ABC");
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(m);
    return !got.empty();
  }));
  pty.Send(std::string("\xFF\x00z\r", 4));
  ASSERT_TRUE(WaitFor([&] { return flags.load() == 1; }));
  std::lock_guard<std::mutex> g(m);
  EXPECT_TRUE(onLoop);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "ABC");
  EXPECT_EQ(inQue[0], 3);
  // Data bytes FF and NUL pass unchanged through the line marks.
  EXPECT_EQ(got[1], std::string("\xFF\x00z\r", 4));
  EXPECT_EQ(inQue[1], 4);
  EXPECT_EQ(full80.load(), 1);
}

TEST_F(ComPortTest, DeliveryFollowsTheFixedEventOrder) {
  std::vector<std::string> seen;
  auto rec = [&](const char* n) { return [&seen, n](TComPort&) { seen.push_back(n); }; };
  port->OnRxChar = [&](TComPort&, int) { seen.push_back("rx"); };
  port->OnTxEmpty = rec("tx");
  port->OnBreak = rec("break");
  port->OnRing = rec("ring");
  port->OnCTS = rec("cts");
  port->OnDSR = rec("dsr");
  port->OnRxFlag = rec("flag");
  port->OnRLSD = rec("rlsd");
  port->OnError = rec("error");
  port->OnRx80Full = rec("80full");
  std::atomic<bool> stop{false};
  TComThread::DeliverMask(*port, kAllEvents, stop);
  EXPECT_EQ(seen, (std::vector<std::string>{"rx", "tx", "break", "ring", "cts", "dsr", "flag", "rlsd",
                                            "error", "80full"}));
  seen.clear();
  port->OnTxEmpty = [&](TComPort&) {
    seen.push_back("tx");
    stop = true;  // as when a handler closes the port
  };
  TComThread::DeliverMask(*port, (1u << evTxEmpty) | (1u << evBreak), stop);
  EXPECT_EQ(seen, (std::vector<std::string>{"tx"}));
}

TEST_F(ComPortTest, NoEventsMeansNoThreadAndNoHandler) {
  std::atomic<int> calls{0};
  port->OnRxChar = [&](TComPort&, int) { ++calls; };
  port->SetEvents(0);
  const int before = ThreadCount();
  OpenOnLoop();
  EXPECT_EQ(ThreadCount(), before);
  pty.Send("hello");
  std::string s;
  int r = 0;
  ASSERT_TRUE(WaitFor([&] {
    lt.On([&] { r = port->ReadStr(s, 5); });
    return r == 5;
  }));
  EXPECT_EQ(s, "hello");
  DrainLoop();
  EXPECT_EQ(calls.load(), 0);
  lt.On([&] { port->Close(); });
  port->SetEvents(kAllEvents);
  OpenOnLoop();
  EXPECT_EQ(ThreadCount(), before + 1);
}

TEST_F(ComPortTest, WritesReachTheLineAndReportTransmitEmpty) {
  std::atomic<int> empties{0};
  port->OnTxEmpty = [&](TComPort&) { ++empties; };
  OpenOnLoop();
  int r = 0;
  lt.On([&] { r = port->WriteStr("\x02" "frame\r"); });
  EXPECT_EQ(r, 7);
  EXPECT_EQ(pty.Receive(7), "\x02" "frame\r");
  EXPECT_TRUE(WaitFor([&] { return empties.load() >= 1; }));
  EXPECT_EQ(port->PendingCount(), 0);
}

TEST_F(ComPortTest, UnfinishedWritesStayPendingInOrder) {
  OpenOnLoop();
  // Nobody reads the other end, so the line fills up.
  const std::string big(1 << 20, 'a');
  const std::string tail = "TAIL";
  int r1 = 0, r2 = 0;
  lt.On([&] {
    r1 = port->WriteStr(big, false);
    r2 = port->WriteStr(tail, false);
  });
  EXPECT_EQ(r1, -1);
  EXPECT_EQ(r2, -1);  // must not overtake the first
  EXPECT_EQ(port->PendingCount(), 2);
  // Reading the other end lets the event thread finish both, in order.
  const std::string all = pty.Receive(big.size() + tail.size(), 2000);
  ASSERT_EQ(all.size(), big.size() + tail.size());
  EXPECT_EQ(all.substr(big.size()), tail);
  EXPECT_EQ(all.find_first_not_of('a'), big.size());
  int w1 = 0, w2 = 0;
  lt.On([&] {
    w2 = port->WaitForLastOp();
    w1 = port->WaitForLastOp();
  });
  EXPECT_EQ(w2, 4);
  EXPECT_EQ(w1, static_cast<int>(big.size()));
  EXPECT_EQ(port->WaitForLastOp(), -2);
}

TEST_F(ComPortTest, WriteTimeoutEndsWithWhatWasWritten) {
  port->Timeouts().SetWriteTotalMultiplier(0);
  port->Timeouts().SetWriteTotalConstant(30);
  OpenOnLoop();
  const std::string big(1 << 20, 'b');
  int waited = 0, pendingThenWaited = 0, pend = 0;
  lt.On([&] {
    waited = port->WriteStr(big, true);
    pend = port->WriteStr(big, false);
    pendingThenWaited = port->WaitForLastOp();
  });
  EXPECT_GT(waited, 0);
  EXPECT_LT(waited, static_cast<int>(big.size()));
  EXPECT_EQ(pend, -1);
  EXPECT_GE(pendingThenWaited, 0);
  EXPECT_LT(pendingThenWaited, static_cast<int>(big.size()));
  // A pending write is dropped by Close.
  lt.On([&] {
    EXPECT_EQ(port->WriteStr(big, false), -1);
    EXPECT_EQ(port->PendingCount(), 1);
    port->Close();
  });
  EXPECT_EQ(port->PendingCount(), 0);
}

TEST_F(ComPortTest, ReadsHonourTheTimeouts) {
  port->SetEvents(0);
  OpenOnLoop();
  std::string s;
  int r = 0;
  lt.On([&] { r = port->ReadStr(s, 4); });
  EXPECT_EQ(r, 0);  // default timeouts: at once with what is there
  EXPECT_EQ(s.size(), 4u);
  lt.On([&] {
    port->Timeouts().SetReadInterval(0);
    port->Timeouts().SetReadTotalConstant(40);
  });
  pty.Send("xy");
  lt.On([&] { r = port->ReadStr(s, 4); });
  EXPECT_EQ(r, 2);  // total time-out passed with two of four bytes
  EXPECT_EQ(s.substr(0, 2), "xy");
  // A read left pending fills the string when it is waited for.
  lt.On([&] {
    port->Timeouts().SetReadTotalConstant(2000);
    r = port->ReadStr(s, 3, false);
  });
  EXPECT_EQ(r, -1);
  EXPECT_EQ(port->PendingCount(), 1);
  pty.Send("123");
  lt.On([&] { r = port->WaitForLastOp(); });
  EXPECT_EQ(r, 3);
  EXPECT_EQ(s, "123");
}

TEST_F(ComPortTest, LostDeviceIsReportedAndRecoveredByReopening) {
  std::atomic<int> errors{0};
  std::atomic<bool> errorOnLoop{false};
  port->OnError = [&](TComPort& p) {
    errorOnLoop = lt.loop.InLoopThread() && !p.Connected();
    ++errors;
  };
  OpenOnLoop();
  pty.CloseMaster();
  ASSERT_TRUE(WaitFor([&] { return errors.load() == 1; }));
  EXPECT_TRUE(errorOnLoop.load());
  EXPECT_FALSE(port->Connected());

  Pty second;
  std::atomic<int> rx{0};
  port->OnRxChar = [&](TComPort& p, int n) {
    std::string s;
    p.ReadStr(s, n);
    rx += n;
  };
  port->DevicePath = [&](int) { return second.path; };
  lt.On([&] {
    port->Close();
    port->Open();
  });
  EXPECT_TRUE(port->Connected());
  second.Send("ok");
  EXPECT_TRUE(WaitFor([&] { return rx.load() == 2; }));
  lt.On([&] { port.reset(); });  // before `second` goes
}

TEST_F(ComPortTest, CloseWhileADeliveryWaitsForTheLoopDoesNotDeadlock) {
  std::atomic<int> rx{0};
  port->OnRxChar = [&](TComPort&, int) { ++rx; };
  OpenOnLoop();
  bool waited = false;
  lt.On([&] {
    pty.Send("data");
    // The event thread is now blocked on this very thread.
    waited = WaitFor([&] { return port->EventDeliveryPending(); });
    port->Close();
  });
  EXPECT_TRUE(waited);
  EXPECT_FALSE(port->Connected());
  DrainLoop();  // the abandoned delivery runs as a no-op
  EXPECT_EQ(rx.load(), 0);
}

TEST_F(ComPortTest, HandlersMayCloseThePort) {
  for (TSyncMethod sm : {smSynchronize, smWindow, smNone}) {
    SCOPED_TRACE(sm);
    Pty line;
    port->DevicePath = [&](int) { return line.path; };
    port->SetSyncMethod(sm);
    std::atomic<int> rx{0}, closes{0};
    std::atomic<bool> onLoop{false};
    port->OnRxChar = [&](TComPort& p, int) {
      onLoop = lt.loop.InLoopThread();
      ++rx;
      p.Close();
    };
    port->OnClose = [&](TComPort&) { ++closes; };
    OpenOnLoop();
    line.Send("x");
    ASSERT_TRUE(WaitFor([&] { return closes.load() == 1; }));
    EXPECT_EQ(rx.load(), 1);
    EXPECT_EQ(onLoop.load(), sm != smNone);
    EXPECT_FALSE(port->Connected());
    DrainLoop();
    port->OnRxChar = nullptr;
    port->OnClose = nullptr;
  }
}

}  // namespace
}  // namespace px
