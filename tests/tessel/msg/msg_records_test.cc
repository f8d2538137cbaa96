#include "tessel/msg/msg_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tessel/msg/chat_exception.h"

namespace {

TEST(MsgRecords, RecordsLayOutTheirFieldsAsLittleEndianBytes) {
  stMsg_Error error;
  error.type = 0x1234;
  error.id = 0x0506;
  error.msg = 7;
  error.error = -2;
  const unsigned char expected[12] = {0x34, 0x12, 0x06, 0x05, 7, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, std::memcmp(&error, expected, sizeof(expected)));
  unsigned long size = 0;
  auto* cmd = reinterpret_cast<const unsigned char*>(Msg_GetCmd(0x01020304, "Ver()", size));
  EXPECT_EQ(0, std::memcmp(cmd + 4, "\x04\x03\x02\x01Ver()", 10));
  auto* out = reinterpret_cast<const unsigned char*>(Msg_GetOut("abc", size));
  EXPECT_EQ(0, std::memcmp(out + 4, "abc", 4));
  EXPECT_EQ(12u, size);
}

// The wire size is 12 plus the text rounded up to four; the padding never carries bytes of an
// earlier, longer text; texts past the capacity are refused (commands) or cut (outputs).
TEST(MsgRecords, SizesRoundUpCarryNoStaleByteAndStopAtTheCapacity) {
  unsigned long size = 99;
  auto* record = static_cast<stMsg_Cmd*>(Msg_GetCmd(1, "", size));
  EXPECT_EQ(12u, size);
  for (const auto& [length, wire] :
       {std::pair<std::size_t, unsigned long>{1, 16}, {4, 16}, {5, 20}}) {
    Msg_GetCmd(4, std::string(length, 'a'), size);
    EXPECT_EQ(wire, size) << "text length " << length;
    EXPECT_EQ(wire, record->GetSize());
  }
  Msg_GetCmd(1, "abcdefghijk", size);
  Msg_GetCmd(1, "x", size);
  ASSERT_EQ(16u, size);
  for (unsigned long i = 1; i < size - 8; ++i) EXPECT_EQ(0, record->text[i]) << i;

  // The longest text makes a record of 101376 bytes, the most a receiver takes.
  Msg_GetCmd(3, std::string(101364, 'z'), size);
  EXPECT_EQ(101376u, size);
  EXPECT_EQ(101364u, std::strlen(record->text));
  Msg_GetCmd(3, std::string(101365, 'a'), size);
  EXPECT_EQ(0u, size);
  EXPECT_STREQ("", record->text);
  stMsg_Cmd local;
  EXPECT_FALSE(local.SetCmd(5, std::string(200000, 'a').c_str()));
  auto* out = static_cast<stMsg_Out*>(Msg_GetOut(std::string(20000, 'a').c_str(), size));
  EXPECT_EQ(10239u, std::strlen(out->text));
  EXPECT_EQ(OutWireSize(10239), size);
  EXPECT_LE(size, sizeof(stMsg_Out));
}

// Result codes come from peers: any int outside the table reads nothing outside it.
TEST(ChatException, TextsComeFromTheTableAndAnyOtherIntGivesTheEmptyEntry) {
  EXPECT_EQ("ChatException_OK OK", ChatExceptionText(0));
  EXPECT_NE("", ChatExceptionText(21));
  for (int code : {22, 1000, -1, 0x7FFFFFFF, static_cast<int>(0x80000000)})
    EXPECT_EQ("", ChatExceptionText(code)) << code;
}

}  // namespace
