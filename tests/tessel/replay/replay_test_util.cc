#include "replay_test_util.h"

#include <chrono>
#include <thread>

namespace replaytest {

std::atomic<uint32_t> g_now{0};

uint32_t FakeClock() {
  return g_now.load();
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

namespace {

void Put(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::string ReplayBytes(uint32_t startClock, const std::vector<stFileRecord>& records) {
  std::string out;
  Put(out, 1);
  Put(out, startClock);
  Put(out, 0);
  for (const auto& r : records) {
    Put(out, r.clock);
    Put(out, r.kind);
    std::string name = r.name;
    name.resize(32, '\0');
    out += name;
    Put(out, r.linkId);
    Put(out, static_cast<uint32_t>(r.data.size()));
    out += r.data;
  }
  return out;
}

uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4 && at + i < bytes.size(); ++i)
    value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

iSend* cFixedFind::FindServerLink(const char* name, unsigned int id) {
  auto it = serverLinks.find({name, id});
  return it == serverLinks.end() ? nullptr : it->second;
}

iSend* cFixedFind::FindClientLink(const char* name) {
  auto it = clientLinks.find(name);
  return it == clientLinks.end() ? nullptr : it->second;
}

iCallbackNet* cFixedFind::FindCallback(const char* name) {
  auto it = callbacks.find(name);
  return it == callbacks.end() ? nullptr : it->second;
}

}  // namespace replaytest
