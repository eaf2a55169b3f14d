#include "clientserver/ClientCli.h"

#include <chrono>
#include <thread>

#include "clientserver/ClientWire.h"
#include "common/Format.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"

namespace px {

namespace {
using Result = TWireClient::Result;

// "5" or "0.5" seconds, up to an hour.
bool ParseSeconds(const std::string& v, int& ms) {
  try {
    size_t used = 0;
    double s = std::stod(v, &used);
    if (used != v.size() || !(s > 0) || s > 3600) return false;
    ms = static_cast<int>(s * 1000);
    return ms > 0;
  } catch (const std::exception&) {
    return false;
  }
}

std::string Seconds(int ms) {
  return ms % 1000 ? Format("%.1f s", ms / 1000.0) : IntToStr(ms / 1000) + " s";
}
}  // namespace

const char* TClientCli::Usage() {
  return "usage: pxclient [--host H] [--port P] [--timeout S] COMMAND ...\n"
         "  poll TAG [LASTLINE]            status of TAG, monitor lines, finished jobs\n"
         "  cmd TAG CODE [PARAMS]          send a controller command and wait for its reply\n"
         "  reply TAG ID                   fetch the reply of command ID once\n"
         "  login USER PASSWORD            mobile login\n"
         "  mobile C1|C2|C3 USER CTRL [PARAMS]\n"
         "                                 pulse open, install card, delete card\n"
         "  job CTRL UNIT USER CODE TAG TARGET12\n"
         "                                 queue a template job (2U, 2N, 8U, 8N)\n"
         "  raw HEX                        send bytes, show the reply as hex and text\n";
}

int TClientCli::Fail(const std::string& message) {
  err_ << "pxclient: " << message << "\n";
  return 1;
}

bool TClientCli::Connect() {
  if (socket_.Connected()) return true;
  std::string where = host_ + ":" + IntToStr(port_);
  switch (socket_.Connect(host_, port_, timeoutMs_)) {
    case Result::Ok:
      return true;
    case Result::Refused:
      Fail("connection to " + where + " refused (is the server running?)");
      return false;
    case Result::TimedOut:
      Fail("no connection to " + where + " within " + Seconds(timeoutMs_));
      return false;
    default:
      Fail("cannot connect to " + where + ": " + socket_.Error());
      return false;
  }
}

bool TClientCli::Exchange(const std::string& request, std::string& reply, bool expectAck) {
  if (!Connect()) return false;
  Result r = socket_.Exchange(request, reply, timeoutMs_);
  if (r == Result::TimedOut) {
    if (reply.empty()) Fail("no reply within " + Seconds(timeoutMs_));
    else Fail("incomplete reply within " + Seconds(timeoutMs_) + ": " + wire::Printable(reply));
    return false;
  }
  if (r != Result::Ok) {
    Fail(socket_.Error());
    return false;
  }
  if (reply == "XXRE") {
    Fail("the server was busy with another request (XXRE); try again");
    return false;
  }
  if (expectAck && !wire::ParseReply(reply).ok) {
    Fail("malformed reply: " + wire::Printable(reply));
    return false;
  }
  return true;
}

int TClientCli::Run(const std::vector<std::string>& args) {
  size_t i = 0;
  // The option's value, taken from the next argument.
  auto value = [&](std::string& v) {
    if (i + 1 >= args.size()) return false;
    v = args[++i];
    return !v.empty();
  };
  for (; i < args.size() && StartsWith(args[i], "--"); ++i) {
    const std::string opt = args[i];
    std::string v;
    long long n = 0;
    bool ok = false;
    if (opt == "--host") {
      ok = value(v);
      if (ok) host_ = v;
    } else if (opt == "--port") {
      ok = value(v) && TryStrToInt(v, n) && n > 0 && n < 65536;
      if (ok) port_ = static_cast<int>(n);
    } else if (opt == "--timeout") {
      ok = value(v) && ParseSeconds(v, timeoutMs_);
    } else if (opt == "--help") {
      out_ << Usage();
      return 0;
    }
    if (!ok) {
      err_ << "pxclient: bad option " << opt << (v.empty() ? "" : " " + v) << "\n" << Usage();
      return 2;
    }
  }
  if (i >= args.size()) {
    err_ << Usage();
    return 2;
  }
  std::string cmd = args[i];
  std::vector<std::string> a(args.begin() + static_cast<long>(i) + 1, args.end());
  auto need = [&](size_t lo, size_t hi) { return a.size() >= lo && a.size() <= hi; };
  int rc = -1;
  if (cmd == "poll" && need(1, 2)) rc = Poll(a);
  else if (cmd == "cmd" && need(2, 3)) rc = Command(a);
  else if (cmd == "reply" && need(2, 2)) rc = FetchReply(a);
  else if (cmd == "login" && need(2, 2)) rc = Login(a);
  else if (cmd == "mobile" && need(3, 4)) rc = Mobile(a);
  else if (cmd == "job" && need(6, 6)) rc = Job(a);
  else if (cmd == "raw" && need(1, 1)) rc = Raw(a);
  socket_.Close();
  if (rc >= 0) return rc;
  err_ << "pxclient: bad arguments for '" << cmd << "'\n" << Usage();
  return 2;
}

int TClientCli::Poll(const std::vector<std::string>& a) {
  std::string reply;
  if (!Exchange(wire::PollRequest(a[0], a.size() > 1 ? a[1] : ""), reply)) return 1;
  auto body = wire::ParsePollBody(wire::ParseReply(reply).body);
  out_ << "status: " << body.status << "\n";
  if (body.progress) {
    out_ << "progress " << body.jobCode << ": " << body.message << "\n";
  } else if (body.result) {
    out_ << "job " << body.jobCode << " " << Trim(body.tag) << ": " << (body.yesNo == "Y" ? "succeeded" : "failed")
         << "\n";
  } else {
    for (const auto& l : body.lines) out_ << "line: " << l << "\n";
    // What to pass as LASTLINE next time to be told only of news.
    if (!body.lines.empty()) out_ << "last: " << wire::LastLineOf(body.lines.back()) << "\n";
  }
  return 0;
}

int TClientCli::Command(const std::vector<std::string>& a) {
  std::string reply;
  if (!Exchange(wire::CommandRequest(a[0], a[1], a.size() > 2 ? a[2] : ""), reply)) return 1;
  std::string rest = CopyFrom(wire::ParseReply(reply).body, 13);
  if (a[1] == "VN") {
    out_ << "version: " << TrimRight(wire::ParseReply(reply).body) << "\n";
    return 0;
  }
  if (StartsWith(rest, "??")) return Fail("the server is executing another command; try again");
  if (!StartsWith(rest, "WF")) return Fail("command refused (" + rest + ")");
  std::string id = CopyFrom(rest, 3);
  out_ << "command ID: " << id << "\n";
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
  while (true) {
    if (!Exchange(wire::FetchReplyRequest(a[0], id), reply)) return 1;
    std::string r = CopyFrom(wire::ParseReply(reply).body, 13);
    if (r != "??") {
      out_ << "reply: " << r << "\n";
      return StartsWith(r, "OK") ? 0 : 1;
    }
    if (std::chrono::steady_clock::now() >= until)
      return Fail("no reply to command " + id + " within " + Seconds(timeoutMs_));
    if (sleep) sleep(200);
    else std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

int TClientCli::FetchReply(const std::vector<std::string>& a) {
  std::string reply;
  if (!Exchange(wire::FetchReplyRequest(a[0], a[1]), reply)) return 1;
  std::string r = CopyFrom(wire::ParseReply(reply).body, 13);
  if (r == "??") return Fail("no reply for " + a[1] + " (yet)");
  out_ << "reply: " << r << "\n";
  return 0;
}

int TClientCli::Login(const std::vector<std::string>& a) {
  std::string request, reply;
  if (!wire::LoginRequest(a[0], a[1], request)) return Fail("user ID up to 15 and password up to 10 characters");
  if (!Exchange(request, reply)) return 1;
  if (wire::ParseReply(reply).body == "OK") {
    out_ << "login accepted\n";
    return 0;
  }
  return Fail("login refused");
}

int TClientCli::Mobile(const std::vector<std::string>& a) {
  const std::string& kind = a[0];
  std::string code = kind == "C1" ? "PR" : kind == "C2" ? "AC" : kind == "C3" ? "DC" : "";
  if (code.empty()) return -1;
  std::string reply;
  if (!Exchange(wire::MobileRequest(kind, a[1], a[2], code, a.size() > 3 ? a[3] : ""), reply)) return 1;
  std::string rest = CopyFrom(wire::ParseReply(reply).body, 13);
  if (!StartsWith(rest, "OK")) return Fail("command refused (" + rest + ")");
  out_ << "command ID: " << CopyFrom(rest, 3) << "\n";
  return 0;
}

int TClientCli::Job(const std::vector<std::string>& a) {
  long long unit = 0;
  if (!TryStrToInt(a[1], unit) || unit < 0 || unit > 9999) return Fail("UNIT must be a number 0..9999");
  std::string user = a[2];
  long long n = 0;
  if (TryStrToInt(user, n) && n >= 0 && n <= 999999) user = PadLeft(IntToStr(n), 6, '0');
  std::string target = a[5];
  try {
    if (target.find('.') != std::string::npos) target = IPToKey(target);
  } catch (const std::exception&) {
    return Fail("TARGET12 must be 12 digits or a dotted address");
  }
  if (!Connect()) return 1;
  // Finished jobs are collected by address, so the key is our own address.
  std::string key;
  try {
    key = IPToKey(socket_.LocalAddress());
  } catch (const std::exception&) {
    return Fail("cannot tell the local address");
  }
  std::string reply;
  if (!Exchange(wire::JobRequest(a[0], static_cast<int>(unit), user, a[3], key, a[4], target), reply)) return 1;
  if (wire::ParseReply(reply).body != "000000_#OK") return Fail("job not acknowledged: " + wire::Printable(reply));
  out_ << "job queued for " << key << " (its result comes with a later poll from this address)\n";
  return 0;
}

int TClientCli::Raw(const std::vector<std::string>& a) {
  std::string bytes, reply;
  if (!wire::ParseHex(a[0], bytes) || bytes.empty()) return Fail("HEX must be pairs of hexadecimal digits");
  if (!Connect()) return 1;
  Result r = socket_.Exchange(bytes, reply, timeoutMs_);
  if (!reply.empty()) {
    out_ << "hex: " << wire::HexDump(reply) << "\n";
    out_ << "text: " << wire::Printable(reply) << "\n";
  }
  if (r == Result::TimedOut)
    return Fail(reply.empty() ? "no reply within " + Seconds(timeoutMs_) : "reply incomplete");
  if (r != Result::Ok) return Fail(socket_.Error());
  return 0;
}

}  // namespace px
