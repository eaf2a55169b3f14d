#include <gtest/gtest.h>

#include "engine/EngineConfig.h"
#include "engine/EngineLines.h"
#include "platform/IniFile.h"
#include "engine/Protocol.h"

namespace px {
namespace {

const std::string kCr = "\r";
std::string Addr(int unit) { return std::string(1, UnitAddress(unit)); }

TEST(Checksum, SumsBytesOfUntrimmedTextAndIsEmptyForBlankText) {
  EXPECT_EQ(CalcCheckSum("abc"), "26");
  EXPECT_EQ(CalcCheckSum("05"), "65");
  EXPECT_EQ(CalcCheckSum(" 05"), "85");  // blanks count once there is text
  EXPECT_EQ(CalcCheckSum("   "), "");
  EXPECT_EQ(CalcCheckSum(""), "");
  EXPECT_EQ(CalcCheckSum("\xFF\x02"), "01");  // zero-padded
  EXPECT_EQ(ByteSumHex("   "), "60");
}

TEST(CommandTable, NamesMapToCodesAndCodesToDescriptions) {
  EXPECT_EQ(CmdCodeOf("PULSE"), "PR");
  EXPECT_EQ(CmdCodeOf("VERSI"), "VN");
  EXPECT_EQ(CmdCodeOf("DELCD"), "DC");
  // The two rows whose description differs from the accepted name.
  EXPECT_EQ(CmdCodeOf("ARMSN"), "AR");
  EXPECT_EQ(GetCmdDesc("AR"), "ARMZN");
  EXPECT_EQ(CmdCodeOf("HDAY2"), "SH");
  EXPECT_EQ(GetCmdDesc("SH"), "HDAYS");
  EXPECT_EQ(CmdCodeOf("ARMZN"), "");
  EXPECT_EQ(CmdCodeOf("pulse"), "");  // names are compared exactly
  EXPECT_EQ(GetCmdDesc("QA"), "***");
  EXPECT_EQ(GetCmdDesc(""), "***");
  EXPECT_EQ(GetCmdDesc("RC"), "UCARD");
}

TEST(Frames, CommandFrameCarriesParamsAndChecksumUnlessBlank) {
  EXPECT_EQ(BuildCommandFrame(3, "PR", "05"), "\xD2PR0565" + kCr);
  EXPECT_EQ(BuildCommandFrame(3, "PR", "   "), "\xD2PR" + kCr);
  EXPECT_EQ(BuildCommandFrame(16, "VN", ""), "\xDFVN" + kCr);
  EXPECT_EQ(BuildPollFrame(1, "QA"), "\xD0QA" + kCr);
  EXPECT_EQ(UnitOfAddress('\xD0'), 1);
  EXPECT_EQ(UnitOfAddress('\xDF'), 16);
  EXPECT_FALSE(IsBusAddress('\xCF'));
  EXPECT_FALSE(IsBusAddress('\xE0'));
}

TEST(Frames, CommandIdIsTimeOfDayWithMilliseconds) {
  DateTime t{2026, 3, 4, 9, 8, 7, 65};
  EXPECT_EQ(MakeCommandId(t), "090807065");
}

TEST(Frames, SetClockParametersAreRebuiltAtSendTime) {
  DateTime sunday{2026, 3, 1, 14, 5, 9, 0};  // 1 March 2026 is a Sunday
  std::string queued = BuildCommandFrame(5, "SC", "whatever was queued");
  std::string params = "0103260140509";
  EXPECT_EQ(PrepareFrameForSend(queued, sunday), Addr(5) + "SC" + params + CalcCheckSum(params) + kCr);
  DateTime saturday{2026, 3, 7, 23, 59, 58, 0};
  EXPECT_EQ(PrepareFrameForSend(BuildCommandFrame(1, "SC", ""), saturday).substr(3, 13), "0703266235958");
  // Other frames go out as queued.
  std::string pulse = BuildCommandFrame(5, "PR", "05");
  EXPECT_EQ(PrepareFrameForSend(pulse, sunday), pulse);
}

TEST(Frames, ExtractFrameTakesFirstCompleteFrameFromItsLastStart) {
  EXPECT_EQ(ExtractFrame("\xD2QA00" + kCr, true), "\xD2QA00" + kCr);
  EXPECT_EQ(ExtractFrame("junk\xD2Q\xD3QA00" + kCr + "tail", true), "\xD3QA00" + kCr);
  EXPECT_EQ(ExtractFrame("\r\r\xD1VN" + kCr + "\xD2QA" + kCr, true), "\xD1VN" + kCr);
  EXPECT_EQ(ExtractFrame("no frame\r", true), "");
  EXPECT_EQ(ExtractFrame("\xD4QA", true), "\xD4QA");
  EXPECT_EQ(ExtractFrame("\xE5QA\r", true), "");
  EXPECT_EQ(ExtractFrame("\xE5QA\r", false), "\xE5QA\r");
}

TEST(Models, KnownModelList) {
  for (const char* m : {"KX4100", "KX470", "KX4130", "KX6000", "KX460", "KX4135", "KX5800", "KX5800-2"})
    EXPECT_TRUE(IsKnownModel(m)) << m;
  EXPECT_FALSE(IsKnownModel("KX6000S"));
  EXPECT_TRUE(IsKnownModel("KX6000S", true));
  EXPECT_FALSE(IsKnownModel("KX58"));
  EXPECT_FALSE(IsKnownModel(""));
}

TEST(DoorStatus, RendersRawOrDecodedBytes) {
  EXPECT_EQ(DoorStatusText("4A", "0102", false), "4A0102");
  // A = 0x6B: a = 0x0B, bit 0x40 set, bit 0x20 set; x = 0x03 -> b = 1+2+4.
  EXPECT_EQ(DoorStatusText("6B", "0003", true), "0B0107");
  EXPECT_EQ(DoorStatusText("1F", "0002", true), "1F0004");
  // Not reported yet: reads as zero.
  EXPECT_EQ(DoorStatusText("", "", true), "000000");
  EXPECT_EQ(DoorStatusText("6", "00", true), "000000");
  // Lower-case digits are outside the alphabet.
  EXPECT_EQ(DoorStatusText("ab", "0001", true), "000002");
}

TEST(EngineLines, SerialLayouts) {
  std::string id = "101112123";
  std::string reply = "\xD3PR0565" + kCr;
  EXPECT_EQ(SerialReplyOk(reply), "OKPR056");
  EXPECT_EQ(SerialReplyLine(1, 3, id, "OKPR056"), "M0103101112123OKPR056");
  EXPECT_EQ(SerialReplyLine(2, 12, id, "XX"), "M0212101112123XX");
  EXPECT_EQ(SerialCardProgressLine(1, 4, id, 7), "C0104101112123    7");
  EXPECT_EQ(SerialTransLine(2, 3, "010212300012349"), "T0203010212300012349");
  EXPECT_EQ(SerialUpDownLine(2, 3, true), "S03UP02");
  EXPECT_EQ(SerialUpDownLine(8, 16, false), "S16DN08");
  EXPECT_EQ(SerialRawLine(2, 3, "010212300012349"), " 19010212300012349");
  EXPECT_EQ(SerialRawLine(8, 16, "R"), "128R");
  EXPECT_EQ(SerialReplyOk(""), "OK");  // short input is not a crash
}

TEST(EngineLines, IpLayouts) {
  std::string id = "101112123";
  std::string frame = "\xD3PRdata12" + kCr;
  EXPECT_EQ(IpReplyText(frame), "Rdata");
  EXPECT_EQ(IpReplyLine(3, id, "10.0.0.5", "Rdata"), "I03101112123OK       10.0.0.5Rdata");
  EXPECT_EQ(IpFailLine(3, id, "10.0.0.5"), "I03101112123XX10.0.0.5");
  EXPECT_EQ(IpCardProgressLine(3, id, 12), "C03BB101112123   12");
  EXPECT_EQ(IpCardEndLine(3, id, "10.0.0.5"), "I03101112123OK       10.0.0.5");
  EXPECT_EQ(IpTransLine(3, "010212300012349", "10.0.0.5"), "  3010212300012349 10.0.0.5");
  EXPECT_EQ(IpUpDownLine(3, false, "10.0.0.5"), "S03DN10.0.0.5");
  EXPECT_EQ(IpReplyText("\xD3"), "");
}

TEST(EngineConfigPorts, ComNumbersMapToDevicePaths) {
  EXPECT_EQ(DefaultComDevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(DefaultComDevicePath(12), "/dev/ttyS11");
  auto path = ComDevicePathFromIni(TIniFile::FromText("[Ports]\nCOM2=/dev/ttyUSB0\ncom3 = /dev/serial/by-id/x\n"));
  EXPECT_EQ(path(2), "/dev/ttyUSB0");
  EXPECT_EQ(path(3), "/dev/serial/by-id/x");
  EXPECT_EQ(path(1), "/dev/ttyS0");
  EXPECT_EQ(path(97), "/dev/ttyS96");
}

}  // namespace
}  // namespace px
