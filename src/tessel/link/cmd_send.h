// Sends command texts as command records: to one link, or to every link of a server, with the
// sent-command trace. Worker thread only, except the Apart forms (called elsewhere, the others
// assert, or send as the Apart forms where asserts are compiled out).
#pragma once

#include <string>

class iSend;
class iServer;

// The send result; 0 when there is no link or the text is too long to send.
int SendCmd(iSend* link, int level, const char* text);
int SendCmd(iSend* link, int level, const std::string& text);
int SendServerCmd(iServer* server, int level, const char* text);
int SendServerCmd(iServer* server, int level, const std::string& text);
// The same for a thread that is not the worker (the end sequence while the worker still runs):
// the record is built apart from the one the worker's sends share. No trace.
int SendCmdApart(iSend* link, int level, const char* text);
int SendServerCmdApart(iServer* server, int level, const char* text);
