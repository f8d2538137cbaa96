// The host tests' child-process helper, built into this program too: faults that end the process
// are played in a child.
#include "tessel/host/child_process.cc"
