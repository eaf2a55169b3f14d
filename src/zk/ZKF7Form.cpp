#include "zk/ZKF7Form.h"

#include "platform/EventLoop.h"

namespace px {

TZKF7Form::TZKF7Form(Options o, ILog& log, std::shared_ptr<IZkHost> host, ZkemFactory factory)
    : log_(log),
      host_(std::move(host)),
      stopping_(o.stopping),
      worker_(o.loop, log),
      mod_(o.settings, log, *host_, worker_, o.clock ? o.clock : std::make_shared<SystemClock>()),
      cards_(mod_),
      transactions_(mod_),
      templates_(mod_, cards_),
      commands_(mod_, templates_),
      ring_(log, mod_.clock) {
  DbRows rows;
  host_->Select("select * from rdrmain where controller_type='KXF7' or controller_type='KXF18'", rows);
  mod_.table.Build(rows, factory, log_);
  log_.WriteLog(20, "**ZKF7 Created.");
  if (mod_.settings.Alg10) log_.WriteLog(20, "**ZKF7 - ALG 10 based.");
  // Connections are closed by the thread that used them.
  worker_.OnExit = [this] {
    for (int i = 1; i <= mod_.table.Count(); ++i) {
      ZkTerminal& t = mod_.table[i];
      bool connected;
      {
        std::lock_guard lk(mod_.table.Lock());
        connected = t.connected;
        t.connected = false;
      }
      if (connected && t.control) t.control->ZkDisconnect();
    }
  };
  if (o.loop) {
    timer_ = std::make_unique<TTimer>(*o.loop, 1000, false);
    timer_->OnTimer = [this] {
      timer_->SetEnabled(false);
      if (stopping_ && *stopping_) {
        log_.WriteLog(0, "ZK.Exit T1");
        return;
      }
      TickOneSecond();
      timer_->SetEnabled(true);
    };
    timer_->SetEnabled(true);
  }
}

TZKF7Form::~TZKF7Form() {
  timer_.reset();
  worker_.Shutdown();
}

void TZKF7Form::TickOneSecond() { mod_.table.TickRetryWaits(); }

}  // namespace px
