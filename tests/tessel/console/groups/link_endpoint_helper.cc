// The link tests' endpoint and peer helpers, built into this program too: group commands are
// also run as they arrive over a real link.
#include "tessel/link/link_test_util.cc"
