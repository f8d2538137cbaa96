#include "tessel/msg/sync_obj.h"

#include <gtest/gtest.h>

#include "tessel/link/cmd_send.h"
#include "testkit/bridge_double.h"

namespace {

using testkit::cRecordingLink;

TEST(SyncObj, SentRecordsCarryTheObjectIdOnlyWhileTheyAreSentAndTheLinkIsReleasedOnce) {
  cRecordingLink link;
  cSyncObj obj(&link, 42);
  stMsg_Windows record;
  EXPECT_EQ(1, obj.SendMessageA(&record, sizeof(record)));
  EXPECT_EQ(0, record.id);
  EXPECT_EQ(1, obj.SendCmd(4, "Ver()"));
  EXPECT_EQ(0, Msg_GetCmdRecord().id);
  ASSERT_EQ(2u, link.m_sent.size());
  for (const std::string& sent : link.m_sent) EXPECT_EQ(42u, cRecordingLink::SentId(sent));
  EXPECT_EQ(20u, link.m_sent[1].size());
  EXPECT_EQ("Ver()", cRecordingLink::SentText(link.m_sent[1]));
  // A text too long for a command record is not sent at all, nor anything without a link; the
  // same holds for the plain SendCmd over a link.
  const std::string tooLong(stMsg_Cmd::kTextCapacity, 'x');
  EXPECT_EQ(0, obj.SendCmd(4, tooLong.c_str()));
  EXPECT_EQ(0, cSyncObj(nullptr, 3).SendCmd(4, "Ver()"));
  EXPECT_EQ(0, SendCmd(&link, 4, tooLong));
  EXPECT_EQ(0, SendCmd(nullptr, 4, "Ver()"));
  EXPECT_EQ(1, SendCmd(&link, 4, std::string("Ver()")));
  ASSERT_EQ(3u, link.m_sent.size());
  EXPECT_EQ("Ver()", cRecordingLink::SentText(link.m_sent[2]));
  // The link is released once, by ClearLink or by the last copy.
  cRecordingLink own, shared;
  {
    cSyncObj cleared(&own, 1), first(&shared, 1);
    EXPECT_TRUE(cleared.OnInvalidMessage(1004, 77, true)) << "passed on to the server link";
    EXPECT_EQ((std::vector<int>{1004, 77, 1}), own.m_invalid.at(0));
    cleared.ClearLink();
    EXPECT_EQ(0, cleared.SendCmd(1, "x"));
    { cSyncObj copy(first); }
    EXPECT_EQ(0, shared.m_released);
  }
  EXPECT_EQ(1, own.m_released);
  EXPECT_EQ(1, shared.m_released);
}

// Select messages go to the selected objects only; land messages to the observers and to the
// object itself, and nowhere while it observes.
TEST(SyncObj, SelectedObjectsAndObserversReceiveTheirShare) {
  cRecordingLink own, other, watcher;
  cSyncObj self(&own, 1), selected(&other, 2), observer(&watcher, 9);
  self.AddSelected(&selected);
  stMsg_Windows record;
  EXPECT_EQ(1, self.SendSelectMessage(&record, sizeof(record)));
  self.AddObserved(&observer);
  own.m_sendResult = 5;
  EXPECT_EQ(5, self.SendLandMessage(&record, sizeof(record)));
  self.SetObserving(1);
  EXPECT_EQ(1, self.SendLandMessage(&record, sizeof(record)));
  self.RemoveSelected(&selected);
  self.SendSelectMessage(&record, sizeof(record));
  for (cRecordingLink* link : {&other, &watcher, &own}) EXPECT_EQ(1u, link->m_sent.size());
}

}  // namespace
