#include "tessel/msg/msg_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testkit/logger_lines.h"
#include "tessel/msg/chat_exception.h"

namespace {

std::string Text(std::size_t length, char fill = 'a') {
  return std::string(length, fill);
}

using testing_support::logger_lines;

logger_lines& NumErrorLines() {
  static logger_lines lines("tessel_numerror");
  return lines;
}
logger_lines& FatalErrorLines() {
  static logger_lines lines("tessel.fetalerror");
  return lines;
}

// Whether `line` holds `expected` (modifiers of other tests may add a time or a line end).
bool Holds(const std::string& line, const std::string& expected) {
  return line.find(expected) != std::string::npos;
}

TEST(MsgRecords, RecordsLayOutTheirFieldsAsLittleEndianBytes) {
  stMsg_Error error;
  error.type = 0x1234;
  error.id = 0x0506;
  error.msg = 7;
  error.error = -2;
  unsigned char bytes[12];
  std::memcpy(bytes, &error, sizeof(bytes));
  const unsigned char expected[12] = {0x34, 0x12, 0x06, 0x05, 7, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof(bytes)));

  unsigned long size = 0;
  auto* cmd = reinterpret_cast<const unsigned char*>(Msg_GetCmd(0x01020304, "Ver()", size));
  EXPECT_EQ(0x04, cmd[4]);
  EXPECT_EQ(0x01, cmd[7]);
  EXPECT_EQ(0, std::memcmp(cmd + 8, "Ver()", 6));

  auto* out = reinterpret_cast<const unsigned char*>(Msg_GetOut("hi", size));
  EXPECT_EQ(0, std::memcmp(out + 4, "hi", 3));

  auto* exception = static_cast<stMsg_Exception*>(Msg_GetException(1004, 17, size));
  EXPECT_EQ(12u, size);
  EXPECT_EQ(stMsg_Exception::s_nType, exception->type);
}

TEST(MsgRecords, CommandBuilderReportsTwelvePlusTheTextRoundedUpToFourAndSendsNoStaleByte) {
  unsigned long size = 99;
  auto* record = static_cast<stMsg_Cmd*>(Msg_GetCmd(1, "", size));
  EXPECT_EQ(12u, size);
  const std::pair<std::size_t, unsigned long> cases[] = {{1, 16}, {3, 16}, {4, 16}, {5, 20}};
  for (const auto& [length, wire] : cases) {
    Msg_GetCmd(4, Text(length), size);
    EXPECT_EQ(wire, size) << "text length " << length;
    EXPECT_EQ(wire, record->GetSize());
  }
  Msg_GetCmd(1, "abcdefghijk", size);
  Msg_GetCmd(1, "x", size);
  ASSERT_EQ(16u, size);
  for (unsigned long i = 1; i < size - 8; ++i) EXPECT_EQ(0, record->text[i]) << i;
}

TEST(MsgRecords, CommandTextsUpToTheLimitAreAcceptedAndLongerOnesRefused) {
  NumErrorLines().take();
  FatalErrorLines().take();
  unsigned long size = 0;
  auto* record = static_cast<stMsg_Cmd*>(Msg_GetCmd(3, Text(16383), size));
  EXPECT_EQ(CmdWireSize(16383), size);
  EXPECT_TRUE(NumErrorLines().take().empty());

  Msg_GetCmd(3, Text(16384, 'b') + "tail", size);
  EXPECT_EQ(CmdWireSize(16388), size);
  auto warnings = NumErrorLines().take();
  ASSERT_EQ(1u, warnings.size());
  EXPECT_TRUE(Holds(warnings[0], "stMsg_Cmd::SetCmd e 3 size 16388 Chat " + Text(64, 'b')));
  EXPECT_FALSE(Holds(warnings[0], Text(65, 'b')));

  Msg_GetCmd(3, Text(101375, 'z'), size);
  EXPECT_EQ(CmdWireSize(101375), size);
  EXPECT_EQ(101375u, std::strlen(record->text));
  EXPECT_LE(size, sizeof(stMsg_Cmd));
  EXPECT_TRUE(FatalErrorLines().take().empty());

  Msg_GetCmd(3, Text(101376), size);
  EXPECT_EQ(0u, size);
  auto refusals = FatalErrorLines().take();
  ASSERT_EQ(1u, refusals.size());
  EXPECT_TRUE(Holds(refusals[0], "stMsg_Cmd::SetCmd e 3 size 101376 Chat " + Text(101376)));
  EXPECT_STREQ("", record->text);
  EXPECT_EQ(12u, record->GetSize());
  stMsg_Cmd local;
  EXPECT_FALSE(local.SetCmd(5, Text(200000).c_str()));
  EXPECT_TRUE(local.SetCmd(5, nullptr));
}

TEST(MsgRecords, OutputBuilderCutsLongTextsAndReportsItsWireSize) {
  unsigned long size = 0;
  auto* record = static_cast<stMsg_Out*>(Msg_GetOut("abc", size));
  EXPECT_EQ(12u, size);
  Msg_GetOut("", size);
  EXPECT_EQ(8u, size);
  EXPECT_STREQ("", record->text);
  Msg_GetOut(Text(20000).c_str(), size);
  EXPECT_EQ(10239u, std::strlen(record->text));
  EXPECT_EQ(OutWireSize(10239), size);
  EXPECT_LE(size, sizeof(stMsg_Out));
}

TEST(ChatException, TextsComeFromTheTableAndAnyOtherIntGivesTheEmptyEntry) {
  EXPECT_EQ("ChatException_OK OK", ChatExceptionText(0));
  EXPECT_EQ("ChatException_DistributeWrong Distribute没有找到玩家或者地图服务器",
            ChatExceptionText(21));
  for (int code : {22, 1000, -1, 0x7FFFFFFF, static_cast<int>(0x80000000)}) {
    EXPECT_EQ("", ChatExceptionText(code)) << code;
  }
}

}  // namespace
