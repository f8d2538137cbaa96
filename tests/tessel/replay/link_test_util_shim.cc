// The link tests' helpers (temporary home, raw peer, listening endpoint), built into this
// program as well.
#include "tessel/link/link_test_util.cc"
