#include "tessel/console/remote_path.h"

#include <iostream>

#include "platform/console_color.h"
#include "platform/text_clean.h"
#include "tessel/core/route_text.h"

namespace {

// Peers name the destinations (a search's origin is stored as one): the table keeps at most this
// many, under names no longer than process names get, so that searches under ever new names
// cannot grow it without end.
constexpr size_t kMaxPaths = 1024;
constexpr size_t kMaxDestName = 255;

void Refused(const std::string& why, const std::string& dest) {
  platform::ColorSection red(platform::kColorLightRed);
  std::cout << "path to " << EscapeControls(dest.substr(0, 64)) << " not kept: " << why
            << std::endl;
}

}  // namespace

cRemotePath& cRemotePath::Instance() {
  static cRemotePath s_table;
  return s_table;
}

bool cRemotePath::SetPath(const std::string& dest, const std::string& route, bool claimed) {
  const std::optional<std::string> stored = RouteForStore(route);
  if (!stored) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "Unvalid path not find  %3% and '' " << EscapeControls(route) << std::endl;
    return false;
  }
  if (dest.size() > kMaxDestName) {
    Refused("name longer than " + std::to_string(kMaxDestName) + " bytes", dest);
    return false;
  }
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_mapPath.size() >= kMaxPaths && m_mapPath.count(dest) == 0 && (claimed || !MakeRoom())) {
    Refused("the table holds " + std::to_string(kMaxPaths) + " paths", dest);
    return false;
  }
  m_mapPath[dest] = stEntry{*stored, claimed, ++m_stored};
  return true;
}

// Forgets the claimed route stored first; false when there is none. Called under the lock.
bool cRemotePath::MakeRoom() {
  auto oldest = m_mapPath.end();
  for (auto it = m_mapPath.begin(); it != m_mapPath.end(); ++it)
    if (it->second.claimed &&
        (oldest == m_mapPath.end() || it->second.order < oldest->second.order))
      oldest = it;
  if (oldest == m_mapPath.end()) return false;
  m_mapPath.erase(oldest);
  return true;
}

std::string cRemotePath::GetPath(const std::string& dest) const {
  std::lock_guard<std::mutex> lock(m_lock);
  const auto found = m_mapPath.find(dest);
  return found != m_mapPath.end() ? found->second.route : std::string();
}

bool cRemotePath::HasPath(const std::string& dest) const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_mapPath.count(dest) != 0;
}

void cRemotePath::RemovePath(const std::string& dest) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_mapPath.erase(dest);
}

void cRemotePath::Trace(std::ostream& os) const {
  std::lock_guard<std::mutex> lock(m_lock);
  // A search's origin is stored under the name a peer gave: its controls are escaped.
  for (const auto& [dest, entry] : m_mapPath)
    os << EscapeControls(dest) << " " << EscapeControls(entry.route) << "\n";
}

void cRemotePath::SetListener(iRemotePathListener* listener) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_pListener = listener;
}

void cRemotePath::TellFound(const std::string& dest) {
  iRemotePathListener* listener = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    listener = m_pListener;
  }
  if (listener != nullptr) listener->OnFindRemotePath(dest.c_str());
}

std::string GetRemotePach(const char* dest) {
  return dest != nullptr ? cRemotePath::Instance().GetPath(dest) : std::string();
}

bool IsFindRomotePath(const char* dest) {
  return dest != nullptr && cRemotePath::Instance().HasPath(dest);
}
