#pragma once
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/IniFile.h"

namespace px {

// Raw attendance text file settings.
struct RawSettings {
  std::string Folder;  // ends with "/"
  std::string DateFormat = "ddmmyyyy";
  std::string TimeFormat = "hhmm";
  std::string FilePrefix = "m";
  std::string FileExt = "txt";
  std::string FileDateFormat = "yyyymmdd";
  std::string InMark = "<";
  std::string OutMark = ">";
  std::vector<std::string> FieldList;
  std::vector<std::string> FormatList;
};

// Everything read once from "OstrPro.Ini" at service start.
struct ServiceSettings {
  std::string AppDir;  // ends with "/"

  int CommPort = 1;
  int BaudRate = 2400;
  std::string MasterF8;
  bool EvenUnitAsExit = false;
  bool ZKEnable = false;
  int IPPort = 4001;
  bool ChronexLink = false;
  bool RawEnable = false;
  bool RawReDir = false;
  bool Alg10 = false;
  int RetryWaitSec = 120;
  int Debug = 0;
  int QCheckInterval = 200;
  bool NoOTFRepro = false;
  bool SingleSocket = false;
  std::string DailyUpdateCtrlHHMM;
  bool KX6KSEnable = false;
  std::string KX6KSMaster;
  int KX6KSPort = 4001;           // template server devices' port (tests move it)
  int KX6KSReplyWaitSec = 100;    // silence allowed before a device's reply is given up
  int DeviceDownCount = 5;
  int ZKSleepSec = 2;
  bool MultiCommSupport = false;
  std::string CommPortList = "1234";
  int BusPort[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};  // buses 1..8
  int UpdateCtrlDTMin = 0;
  bool F18Ext = false;
  bool FingerOrCard = false;
  RawSettings Raw;

  // Additions of this system (not in the original configuration).
  std::string DbOstrPro = "sqlite:OstrPro.db";        // [Database] OstrPro
  std::string DbOstrTimeSQL = "sqlite:OstrTimeSQL.db";  // [Database] OstrTimeSQL
  std::string DbEncoding = "WIN1252";                   // [Database] Encoding
  std::string ARQLib;                                    // [Options] ARQLib
  int ClientPort = 9011;                                 // [Server] ClientPort
  int SingleSocketPort = 4001;                           // [Server] SingleSocketPort
  long long ZKCommKey = 0;                               // [ZKFP] CommKey (terminal communication password)
  int MaxClientsPerHost = 32;                            // [Server] MaxClientsPerHost
  std::string ServerAddress;                             // [Server] Address (published in ox_ini)

  // Reads every key in the order of the configuration table, applies the
  // clamps, logs the option messages and parses "CommPortList" (a failure
  // there is logged as "<SerExec>" and start-up goes on).
  void Load(const TIniFile& ini, ILog& log);
  // Fills BusPort from a "CommPortList" text; throws on a bad digit.
  static void ParseCommPortList(const std::string& text, int busPort[9]);
  // The connection string of an alias ("OstrPro" / "OstrTimeSQL").
  std::string AliasConnection(const std::string& alias) const;
};

// Splits a raw-format setting at commas (an item at every comma, the text
// after the last comma only when not empty).
std::vector<std::string> SplitRawItems(const std::string& text);
// Applies one raw-format setting: kind "N" the file name items (prefix,
// date format, extension; only when there are more than two), "F" the
// field list, "L" the format list.
void ApplyRawItems(RawSettings& raw, const std::string& kind, const std::string& text);

}  // namespace px
