// Commands written by a caller's writer function and sent to a destination along its stored
// route, for texts built piecewise or too long for the shared command record. Worker thread only.
#pragma once

#include <ostream>
#include <string>

// Writes the rest of a routed call behind its names and empty parameter: the group, the
// command text (as a Lua string) and the closing parenthesis; false when it cannot.
typedef bool (*RemoteStreamWriter)(std::ostream& os, void* a, void* b);

// The stored route to `dest` cut in front of its parameter ("SendPathCmd('n1',...,'nK'"); ""
// when no route is stored or it is not of that shape.
std::string RemoteStreamHead(const char* dest);

// Sends what `writer` writes to `dest` in one command record; false without a route or link,
// when the writer fails, or when the text does not fit the record (nothing is sent then), or
// when the link did not take the record.
bool SendRemoteStream(const char* dest, RemoteStreamWriter writer, void* a, void* b);
// The same, sent as one record of the text's own size (at most the largest command record
// a peer reads).
bool SendRemoteStream2(const char* dest, RemoteStreamWriter writer, void* a, void* b);
