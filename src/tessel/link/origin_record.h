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

  uint32_t kind = 0;
  uint32_t answerId = 0;
  uint32_t cmdHash = 0;  // kOrigin: CmdHash of the command record it goes with
  char text[kTextCapacity] = {};

  // Sets the fields; false when the text does not fit.
  bool Set(eKind what, uint32_t answer, uint32_t hash, std::string_view body);
  // The bytes to send: the fields and the text with its end.
  unsigned long Size() const;
  // The text of a received record, or false when the record is cut or its text has no end.
  static bool Read(const stBindMsg& msg, const stMsg_Origin*& record, std::string_view& body);
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
  cOriginBind() : cMsgBind("origin", 0, sizeof(stMsg_Origin)) {}
};
