// The space of the file system holding a folder, for disk(): asked on a thread of its own and
// waited for a bounded time, so that a mount that does not answer (a hung network share) holds
// neither the worker nor, once it hangs, further questions. Any thread.
#pragma once

#include <sys/statvfs.h>

#include <functional>
#include <string>

class cMaintainDisk {
 public:
  // Longest wait for the file system's answer.
  static constexpr int kWaitMs = 2000;
  // statvfs's signature; tests put a slow one in its place, an empty function restores statvfs.
  using Query = std::function<int(const char* path, struct statvfs* info)>;

  static void SetQuery(Query query);
  // The answer for `path`: true with `info` filled; false with `why` (the system's reason when
  // the file system refused the path, else why no answer came).
  static bool Ask(const std::string& path, struct statvfs& info, std::string& why);
};
