// The link tests' easy server and client fixture, built into this program too: the groups that
// look up the host's links are run against real ones.
#include "tessel/link/easy_link_fixture.cc"
