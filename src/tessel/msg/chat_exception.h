// Result codes of handling a received record or a command, and their fixed texts.
// Constant data: any thread may call.
#pragma once

#include <string>

enum HandleChatExceptionEnum {
  ChatException_OK = 0,
  ChatException_TypeOverflow = 1,
  ChatException_SizeOverflow = 2,
  ChatException_TypeNoHandle = 3,
  ChatException_SizeWrong = 4,
  ChatException_ParamWrong = 5,
  ChatException_InternalWrong = 6,
  ChatException_NotLogin = 7,
  ChatException_Logined = 8,
  ChatException_NotSel = 9,
  ChatException_Seled = 10,
  ChatException_NotPlay = 11,
  ChatException_Played = 12,
  ChatException_CmdWrong = 13,
  ChatException_ForbidMessage = 14,
  ChatException_NotFinish = 15,
  ChatException_NoPri = 16,
  ChatException_NoCmd = 17,
  ChatException_MapNoID = 18,
  ChatException_MapIDInvalid = 19,
  ChatException_NeedLogin = 20,
  ChatException_DistributeWrong = 21,
};

// Number of entries of the text table; the last entry is the empty text.
inline constexpr int kChatExceptionTextCount = 23;

// The text of a result code. Codes arrive from peers unchecked, so every int is accepted: a
// value outside the table gives the table's empty last entry.
const std::string& ChatExceptionText(int code);
