#include "clientserver/ClientProtocol.h"

#include <vector>

#include "clientserver/BusyMark.h"
#include "clientserver/ClientWire.h"
#include "common/Format.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"
#include "common/TextCodec.h"
#include "monitor/TransOnlineForm.h"
#include "platform/Sql.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"

namespace px {

namespace {

const std::string kAck(1, kACK);
const std::string kEnd(1, kCR);

// The client's address as a 12-digit key; "" for an address that is not
// IPv4 (such a client simply has no finished jobs to collect).
std::string ClientKey(const std::string& remote) {
  try {
    return IPToKey(remote);
  } catch (const std::exception&) {
    return {};
  }
}

// Parameters go into the controller frame unchanged: a CR there would end
// the frame early and a byte 0xD0-0xDF starts a frame for another unit, so
// a client could talk to units it has no business with.
bool HoldsFrameBytes(const std::string& params) {
  for (unsigned char c : params)
    if (c == kCR || (c >= 0xD0 && c <= 0xDF)) return true;
  return false;
}

}  // namespace

bool TClientProtocol::RefuseParams(const std::string& ctrl, const std::string& code, const std::string& params,
                                   const std::string& remote) {
  if (!HoldsFrameBytes(params)) return false;
  log_.WriteLog(999, "Client command refused: " + code + " for " + ctrl + " from " + remote +
                         " has a CR or unit address byte in its parameters [" + params + "]");
  return true;
}

TClientProtocol::TClientProtocol(ServiceContext& ctx, ILog& log)
    : ctx_(ctx),
      log_(log),
      replies_(ctx.clock, &log),
      done_(log, ctx.clock),
      jobs_(log),
      router_(ctx, log),
      templateJobs_(ctx, log, done_),
      audit_(ctx.db, ctx.clock, log),
      query_(ctx.db ? &ctx.db->Database1 : nullptr) {}

std::string TClientProtocol::ReplyToClientQuery(const std::string& s, const std::string& remote) {
  if (busy_) {
    log_.WriteLog(10, "Reentrant");
    return "XXRE";
  }
  TBusyMark busy(busy_);
  std::string reply;
  try {
    char cls = CharAt(s, 1);
    bool hasCR = s.find(kCR, 1) != std::string::npos;
    if (cls == kSOH && CharAt(s, 2) == kCR) {
      Poll(s, remote, reply);
    } else if (cls == kETX && hasCR) {
      Mobile(s, remote, reply);
    } else if (cls == kEOT && hasCR) {
      jobs_.Queue_PutCommand(s);
      // Acknowledged also when the queue was full (that is logged): clients
      // take this answer as the receipt of the request.
      reply = kAck + "000000_#OK" + kEnd;
    } else if (cls == kSTX && hasCR) {
      Workstation(s, remote, reply);
    } else {
      log_.WriteLog(10, "Client request not recognised: " + IntToStr(static_cast<long long>(s.size())) +
                            " bytes from " + remote);
    }
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<ReplyClient>") + e.what());
  }
  return reply;
}

void TClientProtocol::Poll(const std::string& s, const std::string& remote, std::string& reply) {
  std::string tag = Trim(Copy(s, 3, 12));
  std::string st;
  if (!ctx_.registry || !ctx_.registry->GetCtrlStatus(tag, st) || st.size() != 6) st = "000000";
  std::string body = st;
  if (ctx_.monitor && TrimRight(ctx_.monitor->GetLastRec()) != TrimRight(CopyFrom(s, 15))) {
    body += ctx_.monitor->ExtractAllOnline();
  } else {
    std::string key = ClientKey(remote), tagOut, yesNo, code;
    if (done_.Queue_GetDone(key, tagOut, yesNo, code) == 0) {
      if (tagOut == "_S_") {
        body += "_&" + code + yesNo;
      } else {
        log_.WriteLog(10, "Q.Cmd Done: Status=" + yesNo + " From:" + remote);
        body += "_*" + tagOut + yesNo + code + key;
      }
    }
  }
  reply = kAck + body + kEnd;
}

void TClientProtocol::Mobile(const std::string& s, const std::string& remote, std::string& reply) {
  std::string code = Copy(s, 4, 2);
  if (code == "AW") {
    MobileLogin(s, reply);
    return;
  }
  if (code != "C1" && code != "C2" && code != "C3") return;
  std::string user = Trim(Copy(s, 6, 15));
  std::string ctrlField = Copy(s, 21, 12);
  std::string ctrl = Trim(ctrlField);
  std::string cmd = Copy(s, 33, 2);
  std::string params = CopyFrom(s, 35);
  // A CR closing the request is not part of the parameters.
  if (!params.empty() && params.back() == kCR) params.pop_back();
  if (RefuseParams(ctrl, cmd, params, remote)) {
    reply = kAck + ctrlField + "XX" + kEnd;
    return;
  }
  std::string detail;
  if (code == "C1") detail = user + ": Pulse Open " + ctrl;
  else if (code == "C2") detail = user + ": Install Card " + Copy(params, 1, 6) + " to " + ctrl;
  else detail = user + ": Delete Card " + params + " to " + ctrl;
  audit_.WriteToAuditTrail("Mobile Command", detail);
  std::string id;
  bool ok = router_.TH_ExecClientCommand(ctrl, cmd, params, id);
  reply = kAck + ctrlField + (ok ? "OK" + id : std::string("XX")) + kEnd;
}

void TClientProtocol::MobileLogin(const std::string& s, std::string& reply) {
  std::string plain = DecodeText(Copy(s, 6, 95));
  std::string user = Trim(Copy(plain, 6, 15));
  std::string password = Trim(Copy(plain, 21, 15));
  bool accepted = false;
  if (UpperCase(user) != "VANT" && ctx_.db) {
    if (ctx_.db->RunSQL(query_, "select * from sysopr where userID=" + SqlQuote(user), true))
      accepted = UpperCase(DecodeText(query_.FieldOr("Password"))) == UpperCase(password);
    query_.Close();
  }
  if (accepted) {
    audit_.WriteToAuditTrail("Mobile Login", "User: " + user);
    reply = kAck + "OK" + kEnd;
  } else {
    reply = kAck + "XX" + kEnd;
  }
}

void TClientProtocol::Workstation(std::string s, const std::string& remote, std::string& reply) {
  std::string code = Copy(s, 4, 2);
  if (code == "SX" || code == "SY") {
    // A resynchronisation prefix: the request proper starts at the next STX.
    size_t next = s.find(kSTX, 4);
    if (next != std::string::npos) {
      s.erase(0, next);
      code = Copy(s, 4, 2);
    }
  }
  if (code == "RR") {
    log_.WriteLog(20, "Check active ctrl ...");
    if (ctx_.registry) ctx_.registry->SetActiveCtrl();
    return;
  }
  if (code == "SZ") {
    FetchReply(s, reply);
    return;
  }
  if (code == "SX" || code == "SY") return;

  std::string ctrlField = Copy(s, 6, 12);
  std::string ctrl = Trim(ctrlField);
  std::string cmd = Copy(s, 18, 2);
  // From position 20 up to the request's last character, which is not part of them.
  std::string params = s.size() > 20 ? s.substr(19, s.size() - 20) : std::string();
  size_t stx = params.find(kSTX);
  if (stx != std::string::npos) params.resize(stx);

  if (cmd == "VN") {
    std::string version = ctx_.registry ? ctx_.registry->GetCtrlSpare(ctrl) : std::string();
    reply = kAck + Format("%-15s", version.c_str()) + kEnd;
    return;
  }
  if (cmd.size() < 2 || RefuseParams(ctrl, cmd, params, remote)) {
    reply = kAck + ctrlField + "XX" + kEnd;
    return;
  }
  std::string id;
  if (router_.TH_ExecClientCommand(ctrl, cmd, params, id))
    reply = kAck + ctrlField + "WF" + id + kEnd;
  else
    reply = kAck + ctrlField + (router_.Refused() ? "??" : "XX") + kEnd;
}

bool TClientProtocol::RunCommandFor(const std::string& operatorName, const std::string& ctrl,
                                    const std::string& code, const std::string& params, std::string& id) {
  if (RefuseParams(ctrl, code, params, operatorName)) return false;
  audit_.WriteToAuditTrail("Api Command", operatorName + ": " + code + " " + params + " to " + ctrl);
  return router_.TH_ExecClientCommand(ctrl, code, params, id);
}

void TClientProtocol::FetchReply(const std::string& s, std::string& reply) {
  std::string ctrlField = Copy(s, 6, 12);
  std::string r;
  if (!TakeReply(Copy(s, 18, 9), r)) {
    reply = kAck + ctrlField + "??" + kEnd;
    return;
  }
  reply = kAck + ctrlField + r + kEnd;
}

bool TClientProtocol::TakeReply(const std::string& id, std::string& r) {
  if (!replies_.GetReplyByID(id, r)) return false;
  if (!router_.LastCardUploadID().empty() && id == router_.LastCardUploadID()) {
    if (StartsWith(r, "OK")) {
      r = "OK";
      std::vector<std::string> lines;
      if (router_.CardUploadFile().ReadLines(lines)) {
        for (const auto& l : lines) r += l + ";";
      } else {
        log_.WriteLog(999, "<Th.Execxx> failed to locate " + router_.CardUploadFile().FullName());
      }
    }
    router_.ClearLastCardUploadID();
  }
  return true;
}

}  // namespace px
