// The site side of the maintenance commands: starting server programs, copying downloaded
// server files into place, and fetching or sending update packages with the site's tools. The
// tools lie outside the system and are started through the shell, relative to the working
// folder:
//   ../myftp <ip> <port> <user> <password> get <remote file> <local file>
//   ../myftp <ip> <port> <user> <password> put <local file> <remote file>
//   ../zip x <zip file> <folder>          (unpack)
//   ../zip a <zip file> <folder>          (pack)
// and the site's own createupdate.exe (www root) and afterunzip2.bat (temp root, servers/).
// The FTP settings are the keys "ip", "port", "user" and "password" of "../ftpserver.ini".
// A missing tool, file or folder is reported on the stream and ends the command. Any thread: the
// commands run them as site jobs off the worker, one at a time.
#pragma once

#include <atomic>
#include <ostream>
#include <string>

// The line of stars that closes a long report.
inline constexpr const char* kMaintainStars = "**************************************************";

// The program of a server kind: <servers root>/<kind>/server<kind>_r.exe.
std::string ServerProgramPath(const std::string& kind);

// Starts server programs: "all" (the kinds listed one a line in serverconfig.ini of the servers
// root, or else "../servercofig.ini"), "maps" (the three map servers), or one kind.
void MaintainOpen(const std::string& kind, std::ostream& os);
// Copies <temp root>/servers/<kind> over <servers root>/<kind>, refused while that server runs;
// "all" copies the top files of <temp root>/servers and then every kind in the site's order.
void MaintainCopy(const std::string& kind, std::ostream& os);
// What the site's tools wrote (for the console) and the flag that ends a tool still running.
struct stSiteTools {
  const std::atomic<bool>* stop = nullptr;
  std::string console;
};

// Fetches and unpacks the update package of "client" or "server" and puts it in place.
void MaintainDownload(const std::string& kind, std::ostream& os, stSiteTools& tools);
// Packs the files of "client" (www root) or "server" (servers root) and sends them.
void MaintainUpload(const std::string& kind, std::ostream& os, stSiteTools& tools);
