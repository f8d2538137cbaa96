#include "tessel/msg/sync_obj.h"

#include <gtest/gtest.h>

#include "tessel/msg/test_doubles.h"

namespace {

using testing_msg::ClientLink;
using testing_msg::RecordingLink;

TEST(SyncObj, SentRecordsCarryTheObjectIdOnlyWhileTheyAreSent) {
  RecordingLink link;
  cSyncObj obj(&link, 42);
  stMsg_Windows record;
  EXPECT_EQ(1, obj.SendMessageA(&record, sizeof(record)));
  EXPECT_EQ(0, record.id);
  EXPECT_EQ(1, obj.SendCmd(4, "Ver()"));
  EXPECT_EQ(0, Msg_GetCmdRecord().id);
  ASSERT_EQ(2u, link.m_sent.size());
  EXPECT_EQ(42u, RecordingLink::SentId(link.m_sent[0]));
  EXPECT_EQ(42u, RecordingLink::SentId(link.m_sent[1]));
  EXPECT_EQ(20u, link.m_sent[1].size());
  EXPECT_EQ("Ver()", RecordingLink::SentText(link.m_sent[1]));
  // A text too long for a command record is not sent at all, nor anything without a link.
  EXPECT_EQ(0, obj.SendCmd(4, std::string(stMsg_Cmd::kTextCapacity, 'x').c_str()));
  EXPECT_EQ(2u, link.m_sent.size());
  EXPECT_EQ(0, cSyncObj(nullptr, 3).SendCmd(4, "Ver()"));
}

TEST(SyncObj, SelectedObjectsAndObserversReceiveTheirShare) {
  RecordingLink own, other;
  cSyncObj self(&own, 1), selected(&other, 2);
  self.AddSelected(&selected);
  self.AddSelected(&selected);
  stMsg_Windows record;
  EXPECT_EQ(1, self.SendSelectMessage(&record, sizeof(record)));
  EXPECT_EQ(2u, other.m_sent.size()) << "one record per entry";
  self.RemoveSelected(&selected);
  EXPECT_FALSE(self.IsSelected(&selected)) << "removal takes every entry";
  self.SendSelectMessage(&record, sizeof(record));
  EXPECT_EQ(2u, other.m_sent.size());
  EXPECT_TRUE(own.m_sent.empty());

  // Land messages go to the observers and to the object itself, and nowhere while it observes.
  RecordingLink watcher;
  cSyncObj observer(&watcher, 9);
  self.AddObserved(&observer);
  own.m_sendResult = 5;
  EXPECT_EQ(5, self.SendLandMessage(&record, sizeof(record)));
  self.SetObserving(1);
  EXPECT_EQ(1, self.SendLandMessage(&record, sizeof(record)));
  EXPECT_EQ(1u, watcher.m_sent.size());
  EXPECT_EQ(1u, own.m_sent.size());
}

TEST(SyncObj, InvalidMessagesArePassedOnOnlyOnServerLinks) {
  RecordingLink server;
  cSyncObj onServer(&server, 1);
  EXPECT_TRUE(onServer.OnInvalidMessage(1004, 77, true));
  EXPECT_FALSE(onServer.OnInvalidMessage(1004, 78, false));
  EXPECT_EQ((std::vector<std::vector<int>>{{1004, 77, 1}, {1004, 78, 0}}), server.m_invalid);
  ClientLink client;
  EXPECT_FALSE(cSyncObj(&client, 1).OnInvalidMessage(1, 2, true));
}

TEST(SyncObj, TheLinkIsReleasedOnceByClearLinkOrByTheLastCopy) {
  RecordingLink link;
  {
    cSyncObj obj(&link, 1);
    obj.ClearLink();
    EXPECT_EQ(0, obj.SendCmd(1, "x"));
  }
  EXPECT_EQ(1, link.m_released);

  RecordingLink shared;
  {
    cSyncObj first(&shared, 1);
    { cSyncObj copy(first); }
    EXPECT_EQ(0, shared.m_released);
  }
  EXPECT_EQ(1, shared.m_released);
}

}  // namespace
