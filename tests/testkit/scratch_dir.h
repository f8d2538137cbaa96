// Former names of the kit's temporary folder and file reader (testkit/temp_dir.h,
// testkit/file_text.h), kept while suites move over.
#pragma once

#include <string>

#include "testkit/file_text.h"
#include "testkit/temp_dir.h"

namespace testing_support {

using scratch_dir = testkit::cTempDir;
inline std::string read_file(const std::string& name) {
  return testkit::ReadFile(name);
}

}  // namespace testing_support
