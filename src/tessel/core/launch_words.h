// The launch words a program accepts: every key of the "key = value" launch parameters that the
// library or the program reads, with the form of its value and a line of usage text. Each unit
// that reads a key declares it beside that code (a namespace-scope cLaunchWords object); the
// declarations make one table, which a program checks its command line against before anything
// starts. Declarations run at static initialisation; the rest on any thread.
#pragma once

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// One key. `check` (null: any value) says whether a value has the key's form; `expected` names
// that form in the refusal ("0 or 1").
struct stLaunchWord {
  const char* key;
  const char* value;    // the value's placeholder in the usage text ("PORT")
  const char* meaning;  // one line of usage text
  bool (*check)(std::string_view value) = nullptr;
  const char* expected = nullptr;
};

class cLaunchWords {
 public:
  // Adds the words to the table.
  cLaunchWords(std::initializer_list<stLaunchWord> words);

  // Every word, sorted by key.
  static std::vector<stLaunchWord> All();
  static std::optional<stLaunchWord> Find(std::string_view key);

  // Checks command-line words: in threes KEY = VALUE, each key in the table, each value of its
  // key's form (a key given again replaces its value, as the launch parameters read it). False
  // with `error` naming the first word that is not.
  static bool Check(const std::vector<std::string>& words, std::string& error);
  // The table as usage lines: "  KEY = VALUE" and the meaning, one word a line.
  static void PrintTable(std::ostream& os);
};

// Common value forms.
bool IsLaunchFlag(std::string_view value);    // "0" or "1"
bool IsLaunchNumber(std::string_view value);  // a decimal number 0-65535
// A name that becomes part of file names: letters (of any script), digits, '_', '-', '.', at
// most 64 bytes.
bool IsLaunchName(std::string_view value);
inline constexpr const char* kLaunchFlagForm = "0 or 1";
inline constexpr const char* kLaunchNumberForm = "a number from 0 to 65535";
inline constexpr const char* kLaunchNameForm = "a name of letters, digits, '_', '-' or '.'";
