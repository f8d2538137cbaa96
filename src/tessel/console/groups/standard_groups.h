// The 17 standard command groups with their levels, in the order the console adds them.
#pragma once

#include <vector>

class cCmd;
class cCmdArray;

struct stStandardGroup {
  unsigned level;
  cCmd* cmd;
};

const std::vector<stStandardGroup>& StandardGroups();

// Adds the 17 standard groups to `console` at their levels; the host does it before the
// console starts.
void AddStandardGroups(cCmdArray& console);
