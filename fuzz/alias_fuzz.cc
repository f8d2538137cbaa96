// Alias files and console lines: the files are loaded, a replacement set, a line expanded
// (the clipboard marker included), and the table saved and loaded again unchanged.
#include <sstream>

#include "fuzz_kit.h"
#include "tessel/console/alias.h"
#include "tessel/console/clipboard.h"
#include "testkit/file_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testkit::cTempDir& home = fuzzkit::Home();
  static bool once = [] {
    SetClipboardReader([] { return stClipboard{true, true, "pasted %1%"}; });
    return true;
  }();
  (void)once;
  FuzzedDataProvider input(data, size);
  std::filesystem::remove_all(home / "alias");  // the table the last run saved
  home.write("alias/b.txt", input.ConsumeRandomLengthString(256));
  home.write("alias/a.txt", input.ConsumeRandomLengthString(512));
  const std::string from = input.ConsumeRandomLengthString(8);
  const std::string to = input.ConsumeRandomLengthString(16);
  std::string line = input.ConsumeRemainingBytesAsString();

  cAlias alias;  // loads alias/*.txt
  alias.SetReplace(from, to);
  alias.Alias(line);
  std::ostringstream before, after;
  alias.Display(before);
  std::filesystem::remove(home / "alias/b.txt");
  if (alias.Save() && alias.Load()) alias.Display(after);
  std::vector<std::string> was = testkit::Lines(before.str()), is = testkit::Lines(after.str());
  std::ranges::sort(was), std::ranges::sort(is);
  FUZZ_CHECK(is == was, before.str(), after.str());
  return 0;
}
