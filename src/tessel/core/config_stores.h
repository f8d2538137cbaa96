// The process's named value stores and their native accessors: the config store (global
// parameters), the game store and the launch-parameter store. Each store guards itself, so any
// thread may read them; the config command group exposes them to Lua.
#pragma once

#include <string>

#include "tessel/core/string_value.h"

cStringValue& GetConfigStore();
cStringValue& GetGameStore();
cStringValue& GetExeParamStore();

// Creates the "config" and "game" folders in the working folder and loads both stores from
// their files (a file that cannot be read leaves that table as it was).
void LoadValueStores();

int GetConfigValue(const char* key, int def);
bool SetConfigValue(const char* key, int value);
std::string GetConfigString(const char* key, const char* def);
bool SetConfigString(const char* key, const char* value);

int GetGameValue(const char* key, int def);
bool SetGameValue(const char* key, int value);
std::string GetGameString(const char* key, const char* def);
bool SetGameString(const char* key, const char* value);

// Launch parameters: the string of `key`, or `def`.
std::string GetExeParam(const char* key, const char* def);
// A launch parameter's value as it may be shown: the links' password masked, and a command text
// (initcmd) that carries a password (Login, SetConnect) with that password masked.
std::string ShownExeParam(const std::string& key, const std::string& value);
// A launch parameter without keeping `def` under a missing key; with `maskSecret` only as shown
// (ShownExeParam).
std::string GetExeParamPeek(const char* key, const char* def, bool maskSecret);
// The launch parameter "map" (empty when none).
std::string GetMapServerName();

// Reads launch parameters from `text`: whitespace-separated words in threes (key, separator,
// value; the separator, normally "=", is not checked) into the launch-parameter store. Echoes
// the text and every pair (key order) to standard output, and keeps the text. The value of a
// "password" parameter is stored as given but shown (and kept in the text) only as a mask.
void AddExeParamStream(const char* text);
// The last text given to AddExeParamStream, its password masked.
std::string GetExeParamText();
