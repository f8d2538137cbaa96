// The host tests' child-process runner, built into this program as well.
#include "tessel/host/child_process.cc"
