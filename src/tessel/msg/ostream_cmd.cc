#include "tessel/msg/ostream_cmd.h"

#include "tessel/contracts/netlib.h"
#include "tessel/core/lua_text.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/sync_obj.h"

std::string ostreamCmd::s_strParam;

namespace {

int g_servingLevel = 0;

std::string& ReturnPath() {
  static std::string path;
  return path;
}

}  // namespace

ostreamCmd& get_gout() {
  static ostreamCmd out;
  return out;
}

std::string MakeOutputCmd(const std::string& output) {
  return "Output(" + LuaLongBracket(output) + ")";
}

int GetServingCmdLevel() {
  return g_servingLevel;
}
void SetServingCmdLevel(int level) {
  g_servingLevel = level;
}
const std::string& GetReturnPath() {
  return ReturnPath();
}
void SetReturnPath(const std::string& path) {
  ReturnPath() = path;
}
void ClearReturnPath() {
  ReturnPath().clear();
}

ostreamCmd::cServeScope::cServeScope(stBindMsg* msg, iBridge* bridge, int level) {
  SetServingCmdLevel(level);
  get_gout().SetCurMsg(msg, bridge);
}

ostreamCmd::cServeScope::~cServeScope() {
  get_gout().SendOutputBack();
}

std::ostream& ostreamCmd::Stream() {
  if (m_pCurMsg != nullptr) return m_os;
  return std::cout;
}

ostreamCmd& ostreamCmd::operator<<(const char* text) {
  if (text != nullptr) Stream() << text;
  return *this;
}

ostreamCmd& ostreamCmd::operator<<(std::ostream& (*manip)(std::ostream&)) {
  Stream() << manip;
  return *this;
}

std::string ostreamCmd::TakeCollected() {
  std::string text = m_os.str();
  m_os.str(std::string());
  m_os.clear();
  return text;
}

void ostreamCmd::SetCurMsg(stBindMsg* msg, iBridge* bridge) {
  m_pCurMsg = msg;
  m_pBridge = bridge;
}

void ostreamCmd::ClearCurMsg() {
  m_pBridge = nullptr;
  m_pCurMsg = nullptr;
  m_os.str(std::string());
  m_os.clear();
}

iSend* ostreamCmd::GetLink() const {
  return m_pCurMsg != nullptr ? m_pCurMsg->send : nullptr;
}

unsigned int ostreamCmd::GetLinkID() const {
  iSend* link = GetLink();
  return link != nullptr ? link->GetID() : 0;
}

iServerLink* ostreamCmd::GetServerLink() const {
  return dynamic_cast<iServerLink*>(GetLink());
}

const char* ostreamCmd::GetLinkIP() const {
  iServerLink* link = GetServerLink();
  return link != nullptr ? link->GetIP() : "";
}

int ostreamCmd::GetDisconnect() const {
  iServerLink* link = GetServerLink();
  if (link == nullptr) return 0;
  return link->IsConnect() != 0 ? 0 : 1;
}

const char* ostreamCmd::GetCmdBuffer() const {
  if (m_pCurMsg == nullptr || m_pCurMsg->msg == nullptr) return nullptr;
  return static_cast<const stMsg_Cmd*>(m_pCurMsg->msg)->text;
}

void ostreamCmd::DoCmd(int level, const char* text) {
  RunCmd(level, text);
}

HandleChatExceptionEnum ostreamCmd::RunCmd(int level, const char* text) {
  if (m_pBridge == nullptr) return ChatException_InternalWrong;
  return m_pBridge->RunCmdBridge(GetLink(), static_cast<unsigned>(level), text);
}

int ostreamCmd::SendBackCmd(int level, const char* text) {
  if (m_pBridge == nullptr) return 0;
  return m_pBridge->SendBackCmd(GetLink(), static_cast<unsigned>(level), text);
}

int ostreamCmd::SendBackMsg() {
  if (m_pCurMsg == nullptr || m_pCurMsg->send == nullptr) return 0;
  return m_pCurMsg->send->Send(m_pCurMsg->msg, m_pCurMsg->size);
}

void ostreamCmd::SendOutputBack() {
  const std::string output = m_os.str();
  if (!output.empty() && m_pBridge != nullptr) {
    m_pBridge->SendBackCmd(GetLink(), static_cast<unsigned>(GetServingCmdLevel()),
                           MakeOutputCmd(output).c_str());
  }
  ClearReturnPath();
  ClearCurMsg();
}

void ostreamCmd::FlushOutput(cSyncObj* sync) {
  const std::string output = m_os.str();
  if (!output.empty()) {
    unsigned long size = 0;
    stMsg* record = Msg_GetCmd(GetServingCmdLevel(), MakeOutputCmd(output), size);
    if (size != 0) sync->SendMessageA(record, size);
  }
  m_os.str(std::string());
  m_os.clear();
}
