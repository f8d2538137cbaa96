// The host tests' fixture (a host of its own in a temporary home), built into this program too:
// group commands are also run by a host with real servers and clients.
#include "tessel/host/host_fixture.cc"
