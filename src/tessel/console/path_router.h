// Routing of commands along paths of links: the relay steps of the SendPathCmd and
// FindPathOnRoute calls of command group 7, the answer of a route search, and commands sent to a
// destination along its stored route. The remote path table lives in remote_path.h, the call
// texts in route_text.h. Worker thread only (it reads the command output's serving state).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tessel/core/route_text.h"

class iSend;

class cPathRouter {
 public:
  // A SendPathCmd call run here after `hops` relays: runs it when this process is its
  // destination, else passes it on towards the destination, or drops it with a message.
  static void SendPathCmd(const stPathCall& call, int hops);
  // A FindPathOnRoute call with its names (the destination alone when started here).
  static void FindPathOnRoute(const std::vector<std::string>& names, int hops);
  // The answer of a route search: found 1 stores the route the answer came along.
  static void FindedPathOnRoute(const char* dest, int found);

  // The link towards the first hop of `route`: the link to the process it names next when this
  // process has one, else the default route. Null (with a message when `label` is not null)
  // when the next process is known but its link is down, or there is no usable default route.
  static iSend* FirstHopLink(const std::string& route, const char* label);

  // While one lives, the lines the router writes about a call it drops go to the served
  // command's output as well as to the console: an operator who typed the call over a link
  // learns that it did not leave. Opened only around calls that start here.
  class cTellDrops {
   public:
    cTellDrops();
    ~cTellDrops();
    cTellDrops(const cTellDrops&) = delete;
    cTellDrops& operator=(const cTellDrops&) = delete;
  };

 private:
  static size_t OwnPosition(const stPathCall& call);
  static bool PassToNamed(const stPathCall& call, size_t own, int hops);
  static void SendOn(const stPathCall& call, size_t own, iSend* link, const std::string& next,
                     const std::string& text);
  static void NotSent(const stPathCall& call, size_t own, const std::string& line);
  static void Dropped(const stPathCall& call, size_t own, const std::string& line);
  static void TellOrigin(const stPathCall& call, size_t own, const std::string& line, iSend* link);
  static void SendUp(const stPathCall& call, size_t own, int hops, bool local);
  static void RunAtDestination(const stPathCall& call, int hops);
  static void Reached(const std::vector<std::string>& names);
  static void NotFound(const std::vector<std::string>& names, size_t count, iSend* link);
  static bool HopsLeft(size_t names, int hops, const char* label);
  static bool BeginsAt(const std::string& route, iSend* link, const std::string& dest,
                       const char* label);
};

// Sends `text` to command group `group` of `dest` along the stored route, with `param` as the
// route's parameter; without a stored route starts a search instead (the text is not sent).
// Every drop is said on the console, and a record the link does not take is one.
void SendRemoteCmdParam(const char* dest, int group, const char* text, const char* param);
void SendRemoteCmd(const char* dest, int group, const char* text);
// Starts a search for a route to `dest`.
void FindPathOnRoute(const char* dest);

// "<id>_<disconnect>".
void FormatLinkIDDisconnect(std::string& out, unsigned int linkId, int disconnect);
