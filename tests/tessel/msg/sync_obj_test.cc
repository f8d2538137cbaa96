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
  ASSERT_EQ(1u, link.m_sent.size());
  EXPECT_EQ(42u, RecordingLink::SentId(link.m_sent[0]));
  EXPECT_EQ(sizeof(record), link.m_sent[0].size());
  EXPECT_EQ(0, record.id);
}

TEST(SyncObj, CommandsAreBuiltAndSentOnlyWithALink) {
  cSyncObj unlinked(nullptr, 3);
  EXPECT_EQ(0, unlinked.SendCmd(4, "Ver()"));

  RecordingLink link;
  cSyncObj obj(&link, 3);
  EXPECT_EQ(1, obj.SendCmd(4, "Ver()"));
  ASSERT_EQ(1u, link.m_sent.size());
  EXPECT_EQ(20u, link.m_sent[0].size());
  EXPECT_EQ(4, RecordingLink::SentCmd(link.m_sent[0]));
  EXPECT_EQ("Ver()", RecordingLink::SentText(link.m_sent[0]));
  EXPECT_EQ(3u, RecordingLink::SentId(link.m_sent[0]));
  EXPECT_EQ(0, Msg_GetCmdRecord().id);
  // A text too long for a command record is not sent at all.
  EXPECT_EQ(0, obj.SendCmd(4, std::string(stMsg_Cmd::kTextCapacity, 'x').c_str()));
  EXPECT_EQ(1u, link.m_sent.size());
}

TEST(SyncObj, SelectedObjectsReceiveOnePerEntryAndRemovalTakesEveryEntry) {
  RecordingLink own, other;
  cSyncObj self(&own, 1), selected(&other, 2);
  self.AddSelected(&selected);
  self.AddSelected(&selected);
  EXPECT_TRUE(self.IsSelected(&selected));
  stMsg_Windows record;
  EXPECT_EQ(1, self.SendSelectMessage(&record, sizeof(record)));
  EXPECT_EQ(2u, other.m_sent.size());
  EXPECT_TRUE(own.m_sent.empty());
  EXPECT_EQ(2u, RecordingLink::SentId(other.m_sent[0]));

  self.RemoveSelected(&selected);
  EXPECT_FALSE(self.IsSelected(&selected));
  self.SendSelectMessage(&record, sizeof(record));
  EXPECT_EQ(2u, other.m_sent.size());
}

TEST(SyncObj, LandMessagesGoToObserversThenSelfUnlessObserving) {
  RecordingLink own, watcher;
  cSyncObj self(&own, 1), observer(&watcher, 9);
  self.AddObserved(&observer);
  stMsg_Windows record;
  own.m_sendResult = 5;
  EXPECT_EQ(5, self.SendLandMessage(&record, sizeof(record)));
  EXPECT_EQ(1u, watcher.m_sent.size());
  EXPECT_EQ(1u, own.m_sent.size());

  self.SetObserving(1);
  EXPECT_EQ(1, self.SendLandMessage(&record, sizeof(record)));
  EXPECT_EQ(1u, watcher.m_sent.size());
  EXPECT_EQ(1u, own.m_sent.size());

  self.SetObserving(0);
  self.RemoveObserved(&observer);
  self.SendLandMessage(&record, sizeof(record));
  EXPECT_EQ(1u, watcher.m_sent.size());
  EXPECT_EQ(2u, own.m_sent.size());
}

TEST(SyncObj, InvalidMessagesArePassedOnOnlyOnServerLinks) {
  RecordingLink server;
  cSyncObj onServer(&server, 1);
  EXPECT_TRUE(onServer.OnInvalidMessage(1004, 77, true));
  EXPECT_FALSE(onServer.OnInvalidMessage(1004, 78, false));
  EXPECT_EQ((std::vector<std::vector<int>>{{1004, 77, 1}, {1004, 78, 0}}), server.m_invalid);

  ClientLink client;
  cSyncObj onClient(&client, 1);
  EXPECT_FALSE(onClient.OnInvalidMessage(1, 2, true));
}

TEST(SyncObj, TheLinkIsReleasedOnceByClearLinkOrByTheLastCopy) {
  RecordingLink link;
  {
    cSyncObj obj(&link, 1);
    obj.ClearLink();
    EXPECT_EQ(1, link.m_released);
    EXPECT_EQ(0, obj.SendCmd(1, "x"));
  }
  EXPECT_EQ(1, link.m_released);

  RecordingLink shared;
  {
    cSyncObj first(&shared, 1);
    {
      cSyncObj copy(first);
      EXPECT_EQ(&shared, copy.cSyncObj_GetSend());
    }
    EXPECT_EQ(0, shared.m_released);
  }
  EXPECT_EQ(1, shared.m_released);
}

}  // namespace
