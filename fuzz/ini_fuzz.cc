// The value files on arbitrary bytes: the key-value file of accounts and logins, the registry
// store, the value stores (the configuration and game stores among them) and an account file at
// login. What was read, written back, reads back the same; a registry value set among those
// read reads back and keeps every other name.
#include <map>
#include <sstream>

#include "fuzz_kit.h"
#include "platform/registry.h"
#include "tessel/core/config_stores.h"
#include "tessel/link/account_help.h"
#include "tessel/link/ini_file.h"

namespace {

template <typename Table>
std::string Show(const Table& table) {
  std::ostringstream out;
  for (const auto& [k, v] : std::map(table.begin(), table.end())) out << k << " = " << v << "\n";
  return out.str();
}

void Files(const std::string& path, const std::string& bytes) {
  cIniFile file, again;
  std::string text;
  int number = 0;
  bool flag = false;
  if (file.Load(path.c_str())) {
    for (const auto& [key, value] : file.Entries())
      (void)(file.GetString(key, text) && file.GetInt(key, number) && file.GetBool(key, flag));
    file.SetPath(path + ".ini");
    FUZZ_CHECK(file.Save() && again.Load(file.GetPath().c_str()), bytes, "");
    FUZZ_CHECK(Show(again.Entries()) == Show(file.Entries()), bytes, Show(again.Entries()));
  }
  cStringValue store, copy;
  store.Load(path.c_str(), path.c_str());
  (void)(store.SaveValue((path + ".int").c_str()) && store.SaveString((path + ".str").c_str()));
  copy.Load((path + ".int").c_str(), (path + ".str").c_str());
  FUZZ_CHECK(Show(copy.GetValues()) == Show(store.GetValues()), bytes, Show(copy.GetValues()));
  FUZZ_CHECK(Show(copy.GetStrings()) == Show(store.GetStrings()), bytes, Show(copy.GetStrings()));
}

void Registry(const std::string& bytes, const std::string& name, const std::string& value) {
  platform::RegistryKey key;
  if (!key.Open("Software/fuzz")) fuzzkit::Fail("registry key", "", "");
  fuzzkit::Home().write("Software/fuzz.ini", bytes);
  const platform::RegistryValues before = key.GetAll();
  if (!key.Set(name, value)) return;  // a name the file could not give back
  FUZZ_CHECK(key.Get(name) == value, bytes, name);
  for (const auto& [n, v] : before) FUZZ_CHECK(n == name || key.Get(n), bytes, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testkit::cTempDir& home = fuzzkit::Home();
  FuzzedDataProvider input(data, size);
  const std::string name = input.ConsumeRandomLengthString(16);
  const std::string value = input.ConsumeRandomLengthString(16);
  const std::string bytes = input.ConsumeRemainingBytesAsString();
  Files(home.write("values", bytes), bytes);
  Registry(bytes, name, value);

  for (const char* file : {kConfigIntFile, kConfigStrFile, kGameIntFile, kGameStrFile})
    home.write(file, bytes);
  GetConfigStore().Clear();
  GetGameStore().Clear();
  LoadValueStores();
  SetConfigValue("check_login", 1);
  home.write(AccountFilePath("fuzz"), bytes);
  cAccountHelp account;
  cIniFile file;
  std::string stored;
  if (account.Login("fuzz", value.c_str(), false))
    FUZZ_CHECK(file.Load(AccountFilePath("fuzz").c_str()) && file.GetString("password", stored) &&
                   stored == value,
               bytes, value);
  return 0;
}
