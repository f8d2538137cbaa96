// The compiled chunks of the texts a command group ran last, so that a text run again is not
// compiled again: commands repeat (the same status query, the same answer record), and
// compiling is most of what a short command costs. Worker thread only (the group's own).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

struct lua_State;

class cChunkCache {
 public:
  // Texts longer than this are compiled each time (a long text is rarely run twice).
  static constexpr size_t kMostTextBytes = 1024;
  // Chunks kept; when full, all are let go and the cache fills anew.
  static constexpr size_t kMostChunks = 256;

  cChunkCache() = default;
  cChunkCache(const cChunkCache&) = delete;
  cChunkCache& operator=(const cChunkCache&) = delete;

  // Pushes the chunk of `text` as a fresh load would give it: its environment is the state's
  // globals again, whatever an earlier run set. Compiles and keeps it when it is not kept yet;
  // a link's chunks (`link`) apart, compiled without tail calls (LoadLuaSourceNoTailCalls).
  // False, with nothing pushed, when the text is not kept (too long, not compiled, or no room
  // in the state): the caller loads it itself, and so reports any syntax error.
  bool Push(lua_State* L, std::string_view text, const char* chunkName, bool link = false);
  // After the run of the chunk Push gave: its environment becomes an empty table of the
  // state's, so a kept chunk holds no link's environment once the run is over, and a link that
  // kept the chunk itself (setfenv hands back the function it changed) and calls it later runs
  // it in nothing of the group's: not in the globals, where it would set what the console and
  // every other link call.
  void Rest(lua_State* L);
  // Lets go of every chunk (the state stays).
  void Clear(lua_State* L);
  // Forgets the chunks without touching the state (it is being closed).
  void Forget() {
    for (auto& chunks : m_chunks) chunks.clear();
    m_lastRef = kNone;
    m_restRef = kNone;
  }
  size_t Count() const { return m_chunks[0].size() + m_chunks[1].size(); }

 private:
  struct stHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  // Text to its chunk's reference in the state's registry: the console's, the links'.
  std::unordered_map<std::string, int, stHash, std::equal_to<>> m_chunks[2];
  static constexpr int kNone = -2;  // LUA_NOREF
  int m_lastRef = kNone;            // the chunk Push gave last
  int m_restRef = kNone;            // the environment of kept chunks between their runs
};
