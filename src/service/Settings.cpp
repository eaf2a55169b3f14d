#include "service/Settings.h"

#include "common/StrUtil.h"

namespace px {

namespace {
int ToInt(long long v) {
  if (v > 2147483647LL) return 2147483647;
  if (v < -2147483647LL) return -2147483647;
  return static_cast<int>(v);
}
}  // namespace

void ServiceSettings::ParseCommPortList(const std::string& s, int busPort[9]) {
  auto digits = [&](long long pos, long long len) { return static_cast<int>(StrToInt(Copy(s, pos, len))); };
  if (s.size() > 4) {
    for (int b = 1; b <= 4; ++b) busPort[b] = digits((b - 1) * 2 + 1, 2);
    if (s.size() > 8)
      for (int b = 5; b <= 8; ++b) busPort[b] = digits((b - 1) * 2 + 1, 2);
  } else {
    for (int b = 1; b <= 4; ++b) busPort[b] = digits(b, 1);
  }
}

void ServiceSettings::Load(const TIniFile& ini, ILog& log) {
  CommPort = ToInt(ini.ReadInteger("Comm Setting", "CommPort", 1));
  BaudRate = ToInt(ini.ReadInteger("Comm Setting", "BaudRate", 2400));
  MasterF8 = ini.ReadString("ZKFP", "MasterF8", "");
  EvenUnitAsExit = ini.ReadBool("ZKFP", "EvenUnitAsExit", false);
  ZKEnable = ini.ReadBool("ZKFP", "Enable", false);
  IPPort = ToInt(ini.ReadInteger("Comm Setting", "IPPort", 4001));
  ChronexLink = ini.ReadBool("Options", "Chronex_Link", false);
  RawEnable = ini.ReadBool("Raw Format", "Enable", false);
  RawReDir = ini.ReadBool("Raw Format", "RawReDir", false);
  Alg10 = ini.ReadBool("ZKFP", "Alg10", false);
  if (Alg10) log.WriteLog(999, "Algo 10 is set");
  RetryWaitSec = ToInt(ini.ReadInteger("ZKFP", "RetryWaitSec", 120));
  Debug = ToInt(ini.ReadInteger("Options", "Debug", 0));
  QCheckInterval = ToInt(ini.ReadInteger("Comm Setting", "QCheckInterval", 200));
  if (QCheckInterval < 20) QCheckInterval = 20;
  NoOTFRepro = ini.ReadBool("Options", "NoOTFRepro", false);
  if (NoOTFRepro) log.WriteLog(999, "No OTF TMS Reprocessing");
  SingleSocket = ini.ReadBool("Server", "SingleSocket", false);
  DailyUpdateCtrlHHMM = ini.ReadString("Options", "DailyUpdateCtrlHHMM", "");
  KX6KSEnable = ini.ReadBool("KX6KS", "Enable", false);
  KX6KSMaster = ini.ReadString("KX6KS", "Master", "");
  KX6KSPort = ToInt(ini.ReadInteger("KX6KS", "Port", 4001));
  KX6KSReplyWaitSec = ToInt(ini.ReadInteger("KX6KS", "ReplyWait", 100));
  if (KX6KSReplyWaitSec < 1) KX6KSReplyWaitSec = 1;
  DeviceDownCount = ToInt(ini.ReadInteger("Comm Setting", "DeviceDownCount", 5));
  ZKSleepSec = ToInt(ini.ReadInteger("ZKFP", "SleepSec", 2));
  MultiCommSupport = ini.ReadBool("Comm Setting", "MultiCommSupport", false);
  CommPortList = ini.ReadString("Comm Setting", "CommPortList", "1234");
  try {
    ParseCommPortList(CommPortList, BusPort);
    if (MultiCommSupport) {
      log.WriteLog(999, "MultiCommSupport=True, Bus1=COM" + IntToStr(BusPort[1]) + "  Bus2=COM" +
                            IntToStr(BusPort[2]) + "  Bus3=COM" + IntToStr(BusPort[3]) + "  Bus4=COM" +
                            IntToStr(BusPort[4]));
      if (CommPortList.size() > 8)
        log.WriteLog(999, "Bus5=COM" + IntToStr(BusPort[5]) + "  Bus6=COM" + IntToStr(BusPort[6]) +
                              "  Bus7=COM" + IntToStr(BusPort[7]) + "  Bus8=COM" + IntToStr(BusPort[8]));
    }
  } catch (const std::exception& e) {
    log.WriteLog(999, std::string("<SerExec>") + e.what());
  }
  UpdateCtrlDTMin = ToInt(ini.ReadInteger("Server", "UpdateCtrlDTMin", 0));
  F18Ext = ini.ReadBool("ZKFP", "F18Ext", false);
  if (F18Ext) log.WriteLog(999, "F18Ext is ON");
  FingerOrCard = ini.ReadBool("ZKFP", "FingerOrCard", false);
  if (FingerOrCard) log.WriteLog(999, "FingerOrCard = true");

  if (RawEnable) {
    Raw = RawSettings{};
    Raw.Folder = ini.ReadString("Raw Format", "Folder", AppDir);
    if (!EndsWith(Raw.Folder, "/")) Raw.Folder += "/";
    ApplyRawItems(Raw, "N", ini.ReadString("Raw Format", "Filename", ""));
    ApplyRawItems(Raw, "F", ini.ReadString("Raw Format", "Fields", ""));
    ApplyRawItems(Raw, "L", ini.ReadString("Raw Format", "Formats", ""));
  }

  DbOstrPro = ini.ReadString("Database", "OstrPro", "sqlite:OstrPro.db");
  DbOstrTimeSQL = ini.ReadString("Database", "OstrTimeSQL", "sqlite:OstrTimeSQL.db");
  DbEncoding = Trim(ini.ReadString("Database", "Encoding", "WIN1252"));
  ARQLib = ini.ReadString("Options", "ARQLib", "");
  ClientPort = ToInt(ini.ReadInteger("Server", "ClientPort", 9011));
  SingleSocketPort = ToInt(ini.ReadInteger("Server", "SingleSocketPort", 4001));
  ZKCommKey = ini.ReadInteger("ZKFP", "CommKey", 0);
  MaxClientsPerHost = ToInt(ini.ReadInteger("Server", "MaxClientsPerHost", 32));
  if (MaxClientsPerHost < 1) MaxClientsPerHost = 1;
  ServerAddress = Trim(ini.ReadString("Server", "Address", ""));
}

std::string ServiceSettings::AliasConnection(const std::string& alias) const {
  if (SameText(alias, "OstrPro")) return DbOstrPro;
  if (SameText(alias, "OstrTimeSQL")) return DbOstrTimeSQL;
  return {};
}

std::vector<std::string> SplitRawItems(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == ',') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

void ApplyRawItems(RawSettings& raw, const std::string& kind, const std::string& text) {
  auto items = SplitRawItems(text);
  if (kind == "F") {
    raw.FieldList.insert(raw.FieldList.end(), items.begin(), items.end());
  } else if (kind == "L") {
    raw.FormatList.insert(raw.FormatList.end(), items.begin(), items.end());
  } else if (kind == "N" && items.size() > 2) {
    raw.FilePrefix = items[0];
    raw.FileDateFormat = items[1];
    raw.FileExt = items[2];
  }
}

}  // namespace px
