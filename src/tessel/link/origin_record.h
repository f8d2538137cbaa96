// The record that carries a command's origin between processes, and its binding. A type of its
// own, numbered far above a program's record types: a peer without it refuses it as an unknown
// type, which harms nothing, and it is sent only to peers that said they read it. Worker thread
// only.
#pragma once

#include <cstdint>
#include <string_view>

#include "tessel/msg/msg_registry.h"

struct stMsg_Origin : stMsg {
  enum eKind : uint32_t {
    kHello = 1,     // the sender reads these records
    kOrigin = 2,    // the next command record runs for the origin in `text`
    kAnswer = 3,    // the next command record answers the command sent with `answerId`
    kAnswered = 4,  // the command sent with `answerId` has been answered in full
  };
  static constexpr int kType = cMsg::kFixedTypes + 1;
  static constexpr unsigned kTextCapacity = 8192;

  // A command that carries an origin goes on with the hop count of the one served plus one:
  // beyond this many a text sending itself round between processes is dropped.
  static constexpr uint32_t kMaxHops = 32;
  // The hop count goes behind the text's end (4 bytes), where a reader that does not know it
  // never looks; a record without them counts 0.
  static constexpr unsigned kHopBytes = sizeof(uint32_t);

  uint32_t kind = 0;
  uint32_t answerId = 0;
  uint32_t cmdHash = 0;  // kOrigin: CmdHash of the command record it goes with
  char text[kTextCapacity] = {};

  // Sets the fields, and `hops` behind the text when not 0; false when they do not fit.
  bool Set(eKind what, uint32_t answer, uint32_t hash, std::string_view body, uint32_t hops = 0);
  // The bytes to send: the fields, the text with its end and the hop count when not 0.
  unsigned long Size() const;
  // The text of a received record and its hop count (0 when it has none), or false when the
  // record is cut or its text has no end.
  static bool Read(const stBindMsg& msg, const stMsg_Origin*& record, std::string_view& body,
                   uint32_t& hops);

 private:
  unsigned m_nTail = 0;  // bytes behind the text's end that Set wrote (not sent itself)
};

static constexpr unsigned kOriginHeadBytes = sizeof(stMsg) + 3 * sizeof(uint32_t);

// What binds a command's origin to that command: a hash (FNV-1a) of its group and text.
inline uint32_t CmdHash(int group, std::string_view text) {
  uint32_t hash = 2166136261u;
  auto mix = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 16777619u;
  };
  for (int shift = 0; shift < 32; shift += 8) mix(static_cast<unsigned char>(group >> shift));
  for (char c : text) mix(static_cast<unsigned char>(c));
  return hash;
}

class cOriginBind : public cMsgBind {
 public:
  static cOriginBind& Instance();
  HandleChatExceptionEnum OnMsg(iBridge* bridge, stBindMsg* msg) override;

 private:
  cOriginBind() : cMsgBind("origin", 0, kOriginHeadBytes + stMsg_Origin::kTextCapacity) {}
};
