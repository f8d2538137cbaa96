// Where the host reads its configuration values ("run", "tracesendcmd", "tracerecievecmd",
// "path_script", "zip_script") and launch parameters ("initcmd"): the configuration store and
// the launch-parameter store, which the configuration group owns and hands over when it is
// made. Until then every value reads as its default. Any thread.
#pragma once

#include <string>

class cStringValue;

class cHostConfig {
 public:
  // The stores stay owned by the caller and must live until the process ends (or until they
  // are replaced); null unsets one.
  static void SetStores(cStringValue* config, cStringValue* exeParams);

  static int Value(const char* key, int def);
  static std::string String(const char* key, const char* def);
  static std::string ExeParam(const char* key, const char* def);
};
