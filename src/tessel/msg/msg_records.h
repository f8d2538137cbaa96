// The message records the system puts on its links: the four-byte header, the five built-in
// record types with their exact little-endian layouts, and the descriptor of a received record.
// Records are plain data; the type numbers are set up on the worker thread at registration.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

class iSend;

static_assert(std::endian::native == std::endian::little, "records are sent in host byte order");

// Header of every record. `id` above 0 addresses a sync object on the receiving side.
struct stMsg {
  std::uint16_t type = 0;
  std::uint16_t id = 0;
};
static_assert(sizeof(stMsg) == 4);

// Command record: a Lua call text to run in the command group `cmd` of the receiver.
class stMsg_Cmd : public stMsg {
 public:
  // Size of the text field; also the largest command record a receiver takes, in bytes.
  static constexpr unsigned kTextCapacity = 101376;
  // Longest text sent: its record (CmdWireSize) is then exactly the largest a receiver takes,
  // where one byte more would make a record every receiver refuses.
  static constexpr unsigned kMaxTextLength = kTextCapacity - 12;
  // Texts this long or longer are sent with a warning line.
  static constexpr unsigned kWarnLength = 16384;

  inline static int s_nType = 1004;

  stMsg_Cmd();

  // Stores `cmd` and copies `text`. A text longer than kMaxTextLength is refused: the record
  // then holds an empty text and the result is false.
  bool SetCmd(int cmd, const char* text);
  // Bytes to send for the record in its present state: 12 + the text length rounded up to 4.
  unsigned long GetSize() const;

  std::int32_t cmd = 0;
  char text[kTextCapacity];

 private:
  // The wire size may run up to four bytes past the text capacity; these bytes keep every sent
  // byte inside the record and are always zero.
  char m_tail[4];
};

// A received command record as far as its bytes go: the group number and the text are read only
// inside the bytes received, whatever the record claims. Every check of a peer's command record
// goes through it. Any thread.
class cCmdRecordView {
 public:
  static constexpr std::size_t kGroupOffset = sizeof(stMsg);
  static constexpr std::size_t kTextOffset = kGroupOffset + sizeof(stMsg_Cmd::cmd);

  cCmdRecordView(const void* record, std::size_t size)
      : m_bytes(static_cast<const char*>(record)), m_size(record != nullptr ? size : 0) {}

  // The bytes hold the group number.
  bool HasGroup() const { return m_size >= kTextOffset; }
  // The bytes hold the group number and at least one byte of text.
  bool HasText() const { return m_size > kTextOffset; }
  // The text's terminating NUL lies inside the bytes.
  bool TextEndsInside() const {
    return HasText() && std::memchr(m_bytes + kTextOffset, 0, m_size - kTextOffset) != nullptr;
  }
  // The group number; 0 when the bytes do not hold it.
  int Group() const {
    std::int32_t group = 0;
    if (HasGroup()) std::memcpy(&group, m_bytes + kGroupOffset, sizeof(group));
    return group;
  }
  // The text up to its NUL or the end of the bytes, whichever comes first.
  std::string_view Text() const {
    if (!HasText()) return {};
    const char* text = m_bytes + kTextOffset;
    return {text, strnlen(text, m_size - kTextOffset)};
  }

 private:
  const char* m_bytes;
  std::size_t m_size;
};
static_assert(sizeof(stMsg_Cmd) == cCmdRecordView::kTextOffset + stMsg_Cmd::kTextCapacity + 4);

// Outcome of an operation: `error` 0 is success.
struct stMsg_Error : stMsg {
  inline static int s_nType = 1001;
  stMsg_Error() { type = static_cast<std::uint16_t>(s_nType); }
  std::int32_t msg = 0;
  std::int32_t error = 0;
};
static_assert(sizeof(stMsg_Error) == 12);

// Notice that the receiver refused a record: its type and the refusing result code.
struct stMsg_Exception : stMsg {
  inline static int s_nType = 1002;
  stMsg_Exception() { type = static_cast<std::uint16_t>(s_nType); }
  std::int32_t msg = 0;
  std::int32_t code = 0;
};
static_assert(sizeof(stMsg_Exception) == 12);

// Text output for the receiver's log and console.
class stMsg_Out : public stMsg {
 public:
  static constexpr unsigned kTextCapacity = 10240;
  inline static int s_nType = 1003;

  stMsg_Out();
  // Copies at most kTextCapacity - 1 characters, always terminated; returns the wire size,
  // (copied length + 9) rounded down to 4.
  unsigned long SetText(const char* text);

  char text[kTextCapacity];

 private:
  // As for commands: the wire size of the longest text reaches four bytes past the text.
  char m_tail[4];
};
static_assert(sizeof(stMsg_Out) == 4 + stMsg_Out::kTextCapacity + 4);

// Window message record; accepted and ignored by the receiver.
struct stMsg_Windows : stMsg {
  inline static int s_nType = 1005;
  stMsg_Windows() { type = static_cast<std::uint16_t>(s_nType); }
  std::uint32_t m_dwMsg = 0;
  std::uint32_t m_wParam = 0;
  std::uint32_t m_lParam = 0;
};
static_assert(sizeof(stMsg_Windows) == 16);

// A received record as it travels through the system.
struct stBindMsg {
  enum Kind { kNetNotice = 1, kPeerRecord = 2 };
  std::uint32_t size = 0;
  iSend* send = nullptr;
  stMsg* msg = nullptr;
  std::int32_t kind = 0;
  // Handed in by a replay of recorded traffic, not sent by the link's present peer.
  bool replayed = false;
};
static_assert(sizeof(stBindMsg) == 4 + 4 + 2 * sizeof(void*) + 4 + 4);

// A command record received from a link as the command binding decodes it: its group and its
// text, whose end lies inside the bytes received.
struct stCmdRecord {
  stBindMsg* msg;
  stMsg_Cmd* record;
  int group;
  std::string_view text;
};

// Builders: each fills one static record (shared by all callers, valid until the next call of
// the same builder, worker thread only) and writes the number of bytes to send into `size`.
stMsg* Msg_GetCmd(int cmd, const char* text, unsigned long& size);
stMsg* Msg_GetCmd(int cmd, const std::string& text, unsigned long& size);
stMsg* Msg_GetOut(const char* text, unsigned long& size);
stMsg* Msg_GetError(int msg, int error, unsigned long& size);
stMsg* Msg_GetException(int msg, int code, unsigned long& size);

// The static record behind Msg_GetCmd (the registry refreshes its type number).
stMsg_Cmd& Msg_GetCmdRecord();

// Wire size of a command record whose text has `length` characters.
inline unsigned long CmdWireSize(std::size_t length) {
  return (length + 15) & ~std::size_t{3};
}
// Wire size of an output record whose text has `length` characters.
inline unsigned long OutWireSize(std::size_t length) {
  return (length + 9) & ~std::size_t{3};
}
