// Helpers for the console tests: a command group with a name only, and former kit names.
#pragma once

#include <filesystem>
#include <string>

#include "testkit/record_cmd.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

// A command group with a name and no functions of its own.
class cNamedCmd : public cRecordCmd {
 public:
  explicit cNamedCmd(const char* name) : cRecordCmd(name) {}
};

// Former names of the kit's standard output capture and temporary working folder
// (testkit/stdout_capture.h, testkit/temp_dir.h), kept while suites move over.
using CoutCapture = testkit::cStdoutCapture;

class TempWorkDir : public testkit::cTempDir {
 public:
  TempWorkDir() : cTempDir(kWorkDir) {}
  const std::filesystem::path& Path() const { return path(); }
};
