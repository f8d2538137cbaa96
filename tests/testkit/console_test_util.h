// Helpers for the console tests: capturing standard output and a temporary working folder.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "tessel/core/cmd.h"
#include "testkit/scratch_dir.h"

// A command group with a name and no functions of its own.
class cNamedCmd : public cCmd {
 public:
  explicit cNamedCmd(const char* name) : m_name(name) {}
  void bind_cln(lua_State*) override {}
  const char* GetName() override { return m_name; }

 private:
  const char* m_name;
};

// Redirects std::cout into a string for the lifetime of the object; colour sequences are
// switched off so that the text does not depend on the terminal the tests run in.
class CoutCapture {
 public:
  CoutCapture() : m_former(std::cout.rdbuf(m_text.rdbuf())) { setenv("TESSEL_COLOR", "0", 1); }
  ~CoutCapture() { std::cout.rdbuf(m_former); }
  std::string Text() const { return m_text.str(); }

 private:
  std::ostringstream m_text;
  std::streambuf* m_former;
};

// Creates a fresh folder under /tmp and makes it the working directory; removes it afterwards.
class TempWorkDir {
 public:
  TempWorkDir() { m_dir.enter(); }
  const std::filesystem::path& Path() const { return m_dir.path(); }

 private:
  testing_support::scratch_dir m_dir;
};
