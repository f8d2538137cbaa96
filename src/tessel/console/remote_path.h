// The remote path table: per destination name, the template of the route that leads there
// (see route_text.h), and the listener told when a route has been found. Process-wide; any
// thread may call (one lock guards the table and the listener).
#pragma once

#include <map>
#include <mutex>
#include <ostream>
#include <string>

// Told the destination's name when a route to it has been found.
class iRemotePathListener {
 public:
  virtual void OnFindRemotePath(const char* dest) = 0;
  virtual ~iRemotePathListener() = default;
};

class cRemotePath {
 public:
  static cRemotePath& Instance();

  // Stores the route to `dest` (made a template as RouteForStore says); a route without any
  // quote, a name longer than 255 bytes, or a new destination while 1024 are stored is refused
  // with a message on standard output and false. A route `claimed` by a peer (the way back to a
  // search's origin) is refused then; one this process found makes room by forgetting the oldest
  // claimed one, so searches under made-up origins cannot block its own routes for good.
  bool SetPath(const std::string& dest, const std::string& route, bool claimed = false);
  // The template of the route to `dest`, "" when none is stored.
  std::string GetPath(const std::string& dest) const;
  bool HasPath(const std::string& dest) const;
  void RemovePath(const std::string& dest);
  // Writes every entry, one line each: the destination, a blank and the template.
  void Trace(std::ostream& os) const;

  // The listener (not owned; null for none) and the call that tells it.
  void SetListener(iRemotePathListener* listener);
  void TellFound(const std::string& dest);

 private:
  mutable std::mutex m_lock;
  struct stEntry {
    std::string route;
    bool claimed = false;
    unsigned long long order = 0;  // when it was stored, counted
  };
  bool MakeRoom();
  std::map<std::string, stEntry> m_mapPath;
  unsigned long long m_stored = 0;
  iRemotePathListener* m_pListener = nullptr;
};

// The stored template for `dest`, "" when none.
std::string GetRemotePach(const char* dest);
// Whether a route to `dest` is stored.
bool IsFindRomotePath(const char* dest);
