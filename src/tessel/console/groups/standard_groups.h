// The 17 standard command groups with their levels, in the order the console adds them.
#pragma once

#include <vector>

class cCmd;

struct stStandardGroup {
  unsigned level;
  cCmd* cmd;
};

const std::vector<stStandardGroup>& StandardGroups();
