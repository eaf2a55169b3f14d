#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/IntakeJournal.h"
#include "support/TestSupport.h"

using namespace px;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {
TIntakeJournal::Options Opt(const std::string& dir) {
  TIntakeJournal::Options o;
  o.dir = dir;
  o.retryAfter = 20ms;
  return o;
}
std::vector<std::string> SegmentFiles(const std::string& dir) {
  std::vector<std::string> v;
  for (const auto& e : fs::directory_iterator(dir)) v.push_back(e.path().string());
  std::sort(v.begin(), v.end());
  return v;
}
}  // namespace

TEST(IntakeJournal, WhatWasSettledComesBackAfterARestartWithItsOwedMarks) {
  test::TempDir t;
  test::CaptureLog log;
  const std::string dir = t.File("journal");
  IIntakeJournal::Seq a = 0, b = 0;
  {
    TIntakeJournal j(Opt(dir), log);
    EXPECT_GT(j.SetOwed("B1", "B1U03", true), 0u);
    EXPECT_EQ(j.SetOwed("B1", "B1U03", true), 0u);  // already so
    j.SetOwed("B1", "B1U04", true);
    a = j.Append("B1", {"T0103aaa", "T0103b\tc"}, "B1U03", true);
    b = j.Append("IP2", {"  1rec 10.0.0.1"});
    EXPECT_EQ(b, a + 1);
    EXPECT_TRUE(j.WaitSettled("B1", 2s));
    EXPECT_TRUE(j.WaitSettled("IP2", 2s));
    EXPECT_EQ(j.Depth(), 3u);
    j.Consumed(a - 1);
    EXPECT_FALSE(j.Owed("B1U03"));
    EXPECT_TRUE(j.Owed("B1U04"));
  }  // as a crash would leave it: nothing is written at the end
  TIntakeJournal j(Opt(dir), log);
  auto rec = j.TakeRecovered();
  ASSERT_EQ(rec.size(), 3u);  // consumption is the databases' to record
  EXPECT_EQ(rec[0].seq, a - 1);
  EXPECT_EQ(rec[1].text, "T0103b\tc");
  EXPECT_EQ(rec[2].source, "IP2");
  EXPECT_FALSE(j.Owed("B1U03"));
  EXPECT_TRUE(j.Owed("B1U04"));
  // Numbers go on above what the earlier run used and what a database holds.
  j.EnsureAbove(b + 10);
  EXPECT_EQ(j.Append("B1", {"x"}), b + 11);
}

TEST(IntakeJournal, ATornLastEntryIsDroppedAndConsumedSegmentsAreDeleted) {
  test::TempDir t;
  test::CaptureLog log;
  const std::string dir = t.File("journal");
  auto opt = Opt(dir);
  opt.segmentBytes = 200;  // a segment per batch or two
  {
    TIntakeJournal j(opt, log);
    std::vector<IIntakeJournal::Seq> seqs;
    for (int i = 0; i < 20; ++i) {
      seqs.push_back(j.Append("B1", {"T0101record" + std::to_string(i)}));
      ASSERT_TRUE(j.WaitSettled("B1", 2s));
    }
    EXPECT_GT(j.Segments(), 3u);
    for (auto s : seqs) j.Consumed(s);
    j.Append("B1", {"T0101last"});
    ASSERT_TRUE(j.WaitSettled("B1", 2s));
    // Released within a second of the writer's rounds.
    for (int i = 0; i < 300 && j.Segments() > 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_LE(j.Segments(), 2u);
    EXPECT_EQ(j.Depth(), 1u);
  }
  // A power cut in the middle of the last entry.
  const std::string last = SegmentFiles(dir).back();
  const auto size = fs::file_size(last);
  fs::resize_file(last, size - 5);
  TIntakeJournal j(opt, log);
  auto rec = j.TakeRecovered();
  EXPECT_TRUE(rec.empty());
  EXPECT_TRUE(log.HasSubstr("incomplete last entry dropped"));
  // A torn entry's text is never taken for another one.
  TIntakeJournal::Entry e;
  std::string text = TIntakeJournal::Encode({'L', 7, 8, 1, "B2", "B2U01", true, {"a", "b"}, ""});
  EXPECT_TRUE(TIntakeJournal::Decode(text.substr(0, text.size() - 1), e));
  EXPECT_EQ(e.lines, (std::vector<std::string>{"a", "b"}));
  text[3] ^= 1;
  EXPECT_FALSE(TIntakeJournal::Decode(text.substr(0, text.size() - 1), e));
}

TEST(IntakeJournal, AnUnwritableFolderHoldsTheIntakeUntilItCanBeWrittenAgain) {
  test::TempDir t;
  test::CaptureLog log;
  const std::string dir = t.File("journal");
  t.Write("journal", "a file where the folder should be");
  TIntakeJournal j(Opt(dir), log);
  EXPECT_FALSE(j.Accepting());
  EXPECT_EQ(j.Append("B1", {"T0101x"}), 0u);
  EXPECT_EQ(j.SetOwed("B1", "B1U01", true), 0u);
  EXPECT_TRUE(log.HasSubstr("cannot be written: controllers and terminals are asked for no records"));
  fs::remove(dir);
  fs::create_directory(dir);
  for (int i = 0; i < 300 && !j.Accepting(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(j.Accepting());
  EXPECT_TRUE(log.HasSubstr("written again"));
}

TEST(IntakeJournal, WithdrawTakesBackOnlyWhatIsNotOnDiskAndAFullJournalRefusesRecords) {
  test::TempDir t;
  test::CaptureLog log;
  auto opt = Opt(t.File("journal"));
  opt.maxBytes = 600;
  TIntakeJournal j(opt, log);
  auto s = j.Append("ZK192168001020", {"Ztag\t0101080000000001 1.2.3.4"});
  ASSERT_TRUE(j.WaitSettled("ZK192168001020", 2s));
  EXPECT_FALSE(j.Withdraw(s, s));  // on disk: it will be read back
  // Lines the service stored settle their source even while unwritten.
  std::vector<IIntakeJournal::Seq> seqs{s};
  while (j.Accepting()) {
    auto n = j.Append("B1", {std::string(100, 'r')});
    if (n) seqs.push_back(n);
    j.WaitSettled("B1", 2s);
  }
  EXPECT_EQ(j.Append("B1", {"r"}), 0u);
  EXPECT_TRUE(log.HasSubstr("is full"));
  // Stored, the segment is replaced and deleted, and records flow again.
  for (auto q : seqs) j.Consumed(q);
  for (int i = 0; i < 300 && !j.Accepting(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(j.Accepting());
  EXPECT_TRUE(log.HasSubstr("written again"));
}
