// The script manager: script names, lazy loading, archive scripts and retired states.
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <vector>

#include "baselib/script_report.h"
#include "baselib/zip_store.h"
#include "tessel/contracts/baselib.h"

namespace fs = std::filesystem;

struct cScriptManager::Impl {
  std::map<std::string, std::unique_ptr<KLuaScript>> loaded;
  std::map<std::string, std::string> files;    // name -> file found by CreateScript
  std::map<std::string, std::string> archive;  // name -> code from the archive
  std::string zip;
  // Scripts dropped while one of them may still be running; destroyed when idle.
  std::vector<std::unique_ptr<KLuaScript>> retired;
  // Scripts whose code runs as they load: one that runs itself then (or another that does) would
  // load it again, and again, past the worker's stack.
  std::set<std::string> loading;
  int running = 0;

  // Closes the dropped states that run no function (checked on their main thread).
  void Collect() {
    if (running != 0) return;
    std::erase_if(retired, [](const std::unique_ptr<KLuaScript>& s) {
      lua_Debug ar;
      return lua_getstack(s->GetLua(), 0, &ar) == 0;
    });
  }
};

cScriptManager& cScriptManager::Instance() {
  static cScriptManager instance;
  return instance;
}

cScriptManager::cScriptManager() : m_pImpl(std::make_unique<Impl>()) {}

cScriptManager::~cScriptManager() = default;

std::string cScriptManager::NormalName(const std::string& name) {
  std::string path = name;
  std::replace(path.begin(), path.end(), '\\', '/');
  std::string out;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    const std::size_t end = std::min(path.find('/', pos), path.size());
    const std::string part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return "";
    if (!out.empty()) out += '/';
    out += part;
  }
  const std::string ext = ".lua";
  if (out.size() > ext.size() && out.compare(out.size() - ext.size(), ext.size(), ext) == 0) {
    out.resize(out.size() - ext.size());
  }
  return out;
}

int cScriptManager::CreateScript(const char* path) {
  m_pImpl->files.clear();
  m_strPath = path != nullptr ? path : "";
  std::replace(m_strPath.begin(), m_strPath.end(), '\\', '/');
  if (m_strPath.empty()) return 0;
  std::error_code ec;
  if (!fs::is_directory(m_strPath, ec)) {
    baselib::ReportScriptError("cScriptManager::CreateScript", m_strPath, "not a folder");
    return 0;
  }
  auto it = fs::recursive_directory_iterator(m_strPath,
                                             fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->path().extension() != ".lua") continue;
    const std::string rel = fs::relative(it->path(), m_strPath, ec).generic_string();
    const std::string name = NormalName(rel);
    if (!name.empty()) m_pImpl->files[name] = it->path().string();
  }
  return static_cast<int>(m_pImpl->files.size());
}

bool cScriptManager::SetZip(const char* zip) {
  const std::string path = zip != nullptr ? zip : "";
  std::map<std::string, std::string> archive;
  std::map<std::string, std::string> entries;
  std::string error;
  // An archive that cannot be read changes nothing: the one in use stays.
  if (!path.empty() && !baselib::ZipRead(path, entries, &error)) {
    baselib::ReportScriptError("cScriptManager::SetZip", path, error.c_str());
    return false;
  }
  for (auto& [entry, code] : entries) {
    const std::string name = NormalName(entry);
    if (name.empty() || entry.size() <= 4 || entry.compare(entry.size() - 4, 4, ".lua") != 0)
      continue;
    // Two entries of one script ("a.lua" and "./a.lua"): which would run is no one's choice.
    if (!archive.emplace(name, std::move(code)).second) {
      baselib::ReportScriptError("cScriptManager::SetZip", path,
                                 ("two entries of script " + name).c_str());
      return false;
    }
  }
  m_pImpl->zip = path;
  m_pImpl->archive = std::move(archive);
  return true;
}

std::string cScriptManager::FindFile(const std::string& name) const {
  const std::string normal = NormalName(name);
  if (normal.empty()) return "";
  auto it = m_pImpl->files.find(normal);
  if (it != m_pImpl->files.end()) return it->second;
  const fs::path root = m_strPath.empty() ? fs::path(".") : fs::path(m_strPath);
  std::error_code ec;
  const fs::path candidates[] = {root / (normal + ".lua"), root / normal};
  for (const fs::path& candidate : candidates) {
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
  }
  // A pipe, a device or a folder in the script's place is named to the loader, which refuses
  // it with a line that says so: passed over, the operator would not learn why nothing ran.
  for (const fs::path& candidate : candidates) {
    if (fs::exists(candidate, ec)) return candidate.string();
  }
  return "";
}

KLuaScript* cScriptManager::GetScript(const char* name) {
  if (name == nullptr) return nullptr;
  const std::string normal = NormalName(name);
  if (normal.empty()) return nullptr;
  auto it = m_pImpl->loaded.find(normal);
  if (it != m_pImpl->loaded.end()) return it->second.get();

  const std::string file = FindFile(normal);
  auto code = m_pImpl->archive.find(normal);
  if (file.empty() && code == m_pImpl->archive.end()) return nullptr;

  if (m_pImpl->loading.count(normal) != 0) {
    baselib::ReportScriptError("cScriptManager::GetScript", normal,
                               "loads already: asked for by code it runs as it loads");
    return nullptr;
  }
  auto script = std::make_unique<KLuaScript>(normal);
  if (script->GetLua() == nullptr) return nullptr;
  if (m_pBind != nullptr) m_pBind(script->GetLua());
  m_pImpl->loading.insert(normal);
  EnterScript();
  const int rc = file.empty() ? script->DoBuffer(code->second, normal) : script->DoFile(file);
  LeaveScript();
  m_pImpl->loading.erase(normal);
  if (rc != 0) return nullptr;
  KLuaScript* raw = script.get();
  m_pImpl->loaded[normal] = std::move(script);
  return raw;
}

bool cScriptManager::ClearAScript(const char* name) {
  if (name == nullptr) return false;
  auto it = m_pImpl->loaded.find(NormalName(name));
  if (it == m_pImpl->loaded.end()) return false;
  m_pImpl->retired.push_back(std::move(it->second));
  m_pImpl->loaded.erase(it);
  m_pImpl->Collect();
  return true;
}

int cScriptManager::ReloadAll() {
  for (auto& [name, script] : m_pImpl->loaded) m_pImpl->retired.push_back(std::move(script));
  m_pImpl->loaded.clear();
  const std::string zip = m_pImpl->zip;
  const std::string path = m_strPath;
  int found = CreateScript(path.c_str());
  SetZip(zip.c_str());
  for (const auto& entry : m_pImpl->archive) {
    if (m_pImpl->files.count(entry.first) == 0) ++found;
  }
  m_pImpl->Collect();
  return found;
}

void cScriptManager::Clear() {
  m_pImpl->loaded.clear();
  m_pImpl->retired.clear();
  m_pImpl->files.clear();
  m_pImpl->archive.clear();
  m_pImpl->zip.clear();
  m_strPath.clear();
  m_pBind = nullptr;
}

std::size_t cScriptManager::GetLoadedCount() const {
  return m_pImpl->loaded.size();
}

void cScriptManager::EnterScript() {
  ++m_pImpl->running;
}

void cScriptManager::LeaveScript() {
  --m_pImpl->running;
  m_pImpl->Collect();
}
