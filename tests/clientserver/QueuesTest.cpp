// The done queue, the job queue and the reply store on their own.
#include <gtest/gtest.h>

#include "clientserver/DoneQueue.h"
#include "clientserver/JobQueue.h"
#include "clientserver/ReplyStore.h"
#include "common/DateTime.h"
#include "common/Format.h"
#include "common/StrUtil.h"
#include "support/TestSupport.h"

using namespace px;

namespace {

const std::string kA = "010000000001", kB = "010000000002";

std::string Result(const std::string& key, int n) { return key + Format("T%010d", n) + "Y2U"; }

TEST(DoneQueueTest, ResultAndProgressEntriesAreReadByKey) {
  test::CaptureLog log;
  TDoneQueue q(log);
  EXPECT_EQ(q.Queue_PutDone(kA + "_S_8UTotal 3 Templates Uploaded."), 1);
  EXPECT_EQ(q.Queue_PutDone(Result(kA, 7)), 2);
  std::string tag, yn, code;
  EXPECT_EQ(q.Queue_GetDone(kB, tag, yn, code), 1);
  ASSERT_EQ(q.Queue_GetDone(kA, tag, yn, code), 0);
  EXPECT_EQ(tag, "_S_");
  EXPECT_EQ(code, "8U");
  EXPECT_EQ(yn, "Total 3 Templates Uploaded.");
  ASSERT_EQ(q.Queue_GetDone(kA, tag, yn, code), 0);
  EXPECT_EQ(tag, "T0000000007");
  EXPECT_EQ(yn, "Y");
  EXPECT_EQ(code, "2U");
  EXPECT_EQ(q.Slot(1), "*");
  EXPECT_EQ(q.Queue_GetDone(kA, tag, yn, code), 1);
  // Fetched entries keep their slots while there is room.
  EXPECT_EQ(q.Queue_PutDone(Result(kA, 8)), 3);
  EXPECT_EQ(q.Queue_PutDone(""), 0);
  EXPECT_EQ(q.Queue_PutDone("*"), 0);
}

TEST(DoneQueueTest, FullQueueReclaimsFetchedSlotsAndKeepsTheOrderOfTheRest) {
  test::CaptureLog log;
  TDoneQueue q(log);
  for (int i = 1; i <= TDoneQueue::kSlots; ++i) ASSERT_EQ(q.Queue_PutDone(Result(i % 2 ? kA : kB, i)), i);
  // Three of A's entries are fetched (slots 1, 3, 5).
  std::string tag, yn, code;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(q.Queue_GetDone(kA, tag, yn, code), 0);
  EXPECT_EQ(tag, "T0000000005");
  EXPECT_EQ(q.Queue_PutDone(Result(kA, 1001)), 998);
  EXPECT_EQ(q.Queue_PutDone(Result(kA, 1002)), 999);
  EXPECT_EQ(q.Queue_PutDone(Result(kA, 1003)), 1000);
  EXPECT_EQ(q.Waiting(), TDoneQueue::kSlots);
  EXPECT_FALSE(log.HasSubstr("QDone Full"));
  // Both clients still get theirs oldest first, the new ones last.
  ASSERT_EQ(q.Queue_GetDone(kB, tag, yn, code), 0);
  EXPECT_EQ(tag, "T0000000002");
  ASSERT_EQ(q.Queue_GetDone(kA, tag, yn, code), 0);
  EXPECT_EQ(tag, "T0000000007");
  int last = 0;
  int count = 1;
  while (q.Queue_GetDone(kA, tag, yn, code) == 0) {
    int n = std::stoi(tag.substr(1));
    EXPECT_GT(n, last);
    last = n;
    ++count;
  }
  EXPECT_EQ(last, 1003);
  EXPECT_EQ(count, 500 - 3 + 3);
}

TEST(DoneQueueTest, KeyThatNeverPollsCannotFillTheQueueForGood) {
  test::CaptureLog log;
  auto clock = std::make_shared<ManualClock>(DateTime{2026, 3, 14, 12, 0, 0, 0});
  TDoneQueue q(log, clock);
  const std::string kC = "010000000003";
  // B's ten entries are the oldest; A never polls.
  for (int i = 1; i <= TDoneQueue::kSlots; ++i) ASSERT_EQ(q.Queue_PutDone(Result(i <= 10 ? kB : kA, i)), i);
  EXPECT_EQ(q.Queue_PutDone(Result(kC, 1)), TDoneQueue::kSlots);
  EXPECT_TRUE(log.Has("<QPutD> QDone Full ! Oldest of 990 entries for " + kA + " given up")) << log.Dump();
  std::string tag, yn, code;
  ASSERT_EQ(q.Queue_GetDone(kB, tag, yn, code), 0);
  EXPECT_EQ(tag, "T0000000001");
  ASSERT_EQ(q.Queue_GetDone(kC, tag, yn, code), 0);
  // Ten minutes after they were put, entries are given up.
  clock->Advance(std::chrono::minutes(9));
  EXPECT_GT(q.Queue_PutDone(Result(kB, 2000)), 0);
  clock->Advance(std::chrono::minutes(1));
  EXPECT_EQ(q.Queue_GetDone(kA, tag, yn, code), 1);
  ASSERT_EQ(q.Queue_GetDone(kB, tag, yn, code), 0);
  EXPECT_EQ(tag, "T0000002000");
  EXPECT_EQ(q.Waiting(), 0);
}

TEST(JobQueueTest, RingKeepsOrderWrapsAndRefusesWhenFull) {
  test::CaptureLog log;
  TJobQueue q(log);
  std::string line;
  EXPECT_EQ(q.Queue_GetCommand(line), 1);
  // Several turns round the ring.
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 700; ++i) ASSERT_EQ(q.Queue_PutCommand(IntToStr(round * 1000 + i)), 0);
    for (int i = 0; i < 700; ++i) {
      ASSERT_EQ(q.Queue_GetCommand(line), 0);
      ASSERT_EQ(line, IntToStr(round * 1000 + i));
    }
  }
  for (int i = 0; i < 999; ++i) ASSERT_EQ(q.Queue_PutCommand(IntToStr(i)), 0);
  EXPECT_EQ(q.Queue_PutCommand("new"), 1);
  EXPECT_EQ(log.Count("<QPut> Buffer Overflow !"), 1);
  ASSERT_EQ(q.Queue_GetCommand(line), 0);
  EXPECT_EQ(line, "0");
  EXPECT_EQ(q.Count(), 998u);
}

TEST(ReplyStoreTest, OldestMakesRoomAndPairsAreFreedAfterTenMinutes) {
  auto clock = std::make_shared<ManualClock>(DateTime{2026, 3, 14, 12, 0, 0, 0});
  test::CaptureLog log;
  TReplyStore s(clock, &log);
  // Pair i is stored i seconds after the start.
  for (int i = 0; i < TReplyStore::kPairs; ++i) {
    s.PutReplyByID(Format("%09d", i), "OK" + IntToStr(i));
    clock->Advance(std::chrono::seconds(1));
  }
  s.PutReplyByID("999999999", "newest");
  EXPECT_TRUE(log.HasSubstr("Reply store full: the reply to 000000000 made room for 999999999"));
  std::string r;
  EXPECT_FALSE(s.GetReplyByID("000000000", r));
  ASSERT_TRUE(s.GetReplyByID("999999999", r));
  EXPECT_EQ(r, "newest");
  ASSERT_TRUE(s.GetReplyByID("000000042", r));
  EXPECT_EQ(r, "OK42");
  EXPECT_FALSE(s.GetReplyByID("000000042", r));
  EXPECT_FALSE(s.GetReplyByID("", r));
  s.PutReplyByID("", "never");
  EXPECT_EQ(s.Count(), TReplyStore::kPairs - 2);
  // Ten minutes after the start plus 50 s: pairs 1 to 50 are ten minutes old.
  clock->Set(DateTime{2026, 3, 14, 12, 10, 50, 0});
  EXPECT_FALSE(s.GetReplyByID("000000050", r));
  ASSERT_TRUE(s.GetReplyByID("000000051", r));
  EXPECT_EQ(s.Count(), 48);
}

}  // namespace
