#include "tessel/msg/msg_records.h"

#include <cstring>
#include <string>

#include "tessel/contracts/baselib.h"
#include "tessel/core/loggers.h"
#include "tessel/core/worker_thread.h"

namespace {

// Writes the size line of a command text to `log`; `shown` bytes of the text are included.
void LogCmdSize(const loglib::logger& log, int cmd, std::size_t len, const char* text,
                std::size_t shown) {
  if (!log(kTesselLogLevel)) return;
  std::string line =
      "stMsg_Cmd::SetCmd e " + std::to_string(cmd) + " size " + std::to_string(len) + " Chat ";
  line.append(text, shown);
  TesselLogWrite(log, line);
}

}  // namespace

stMsg_Cmd::stMsg_Cmd() : text{}, m_tail{} {
  type = static_cast<std::uint16_t>(s_nType);
}

bool stMsg_Cmd::SetCmd(int cmdNumber, const char* newText) {
  cmd = cmdNumber;
  if (newText == nullptr) newText = "";
  const std::size_t len = std::strlen(newText);
  if (len > kMaxTextLength) {
    LogCmdSize(tessel_fetalerror(), cmd, len, newText, len);
    // An empty text: the terminator and the padding bytes of the 12-byte wire size.
    std::memset(text, 0, 4);
    return false;
  }
  if (len >= kWarnLength) LogCmdSize(tessel_numerror(), cmd, len, newText, 64);
  std::memcpy(text, newText, len);
  // Zero the rest of what will be sent, so no byte of an earlier, longer text goes out.
  const std::size_t sentTextBytes = CmdWireSize(len) - cCmdRecordView::kTextOffset;
  std::memset(text + len, 0, sentTextBytes - len);
  return true;
}

unsigned long stMsg_Cmd::GetSize() const {
  return CmdWireSize(strnlen(text, kTextCapacity - 1));
}

stMsg_Out::stMsg_Out() : text{}, m_tail{} {
  type = static_cast<std::uint16_t>(s_nType);
}

unsigned long stMsg_Out::SetText(const char* newText) {
  if (newText == nullptr) newText = "";
  const std::size_t len = strnlen(newText, kTextCapacity - 1);
  std::memcpy(text, newText, len);
  const std::size_t sentTextBytes = OutWireSize(len) - 4;
  std::memset(text + len, 0, sentTextBytes - len);
  return OutWireSize(len);
}

stMsg_Cmd& Msg_GetCmdRecord() {
  static stMsg_Cmd record;
  return record;
}

stMsg* Msg_GetCmd(int cmd, const char* text, unsigned long& size) {
  TESSEL_ASSERT_WORKER();
  stMsg_Cmd& record = Msg_GetCmdRecord();
  size = record.SetCmd(cmd, text) ? record.GetSize() : 0;
  return &record;
}

stMsg* Msg_GetCmd(int cmd, const std::string& text, unsigned long& size) {
  return Msg_GetCmd(cmd, text.c_str(), size);
}

stMsg* Msg_GetOut(const char* text, unsigned long& size) {
  TESSEL_ASSERT_WORKER();
  static stMsg_Out record;
  size = record.SetText(text);
  return &record;
}

stMsg* Msg_GetError(int msg, int error, unsigned long& size) {
  TESSEL_ASSERT_WORKER();
  static stMsg_Error record;
  record.msg = msg;
  record.error = error;
  size = sizeof(record);
  return &record;
}

stMsg* Msg_GetException(int msg, int code, unsigned long& size) {
  TESSEL_ASSERT_WORKER();
  static stMsg_Exception record;
  record.msg = msg;
  record.code = code;
  size = sizeof(record);
  return &record;
}
