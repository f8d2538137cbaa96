#include "tessel/msg/chat_exception.h"

namespace {

const std::string kTexts[kChatExceptionTextCount] = {
    "ChatException_OK OK",
    "ChatException_TypeOverflow 消息类型越界 ",
    "ChatException_SizeOverflow 消息大小越界 ",
    "ChatException_TypeNoHandle 消息没有对应的函数解析 ",
    "ChatException_SizeWrong 消息大小错误 ",
    "ChatException_ParamWrong 消息参数错误 ",
    "ChatException_InternalWrong 内部错误 ",
    "ChatException_NotLogin 尚未登陆 ",
    "ChatException_Logined 已经登陆了 ",
    "ChatException_NotSel 尚未选择角色 ",
    "ChatException_Seled 已经选择了角色 ",
    "ChatException_NotPlay 尚未进入游戏 ",
    "ChatException_Played 已经在游戏中了 ",
    "ChatException_CmdWrong 命令越界 ",
    "ChatException_ForbidMessage 当前无法接受任何消息",
    "ChatException_NotFinish 函数尚未完成 ",
    "ChatException_NoPri 没有足够的权限",
    "ChatException_NoCmd 没有指令类型的解析",
    "ChatException_MapNoID 地图服务器的消息没有id",
    "ChatException_MapIDInvalid 地图服务器的消息id无效",
    "ChatException_NeedLogin 再次check login",
    "ChatException_DistributeWrong Distribute没有找到玩家或者地图服务器",
    "",
};

}  // namespace

const std::string& ChatExceptionText(int code) {
  // Compare as unsigned so that negative codes land outside the table too.
  const unsigned index = static_cast<unsigned>(code);
  if (index >= static_cast<unsigned>(kChatExceptionTextCount)) {
    return kTexts[kChatExceptionTextCount - 1];
  }
  return kTexts[index];
}
