// Makes `link` lead to `inside`, then keeps trading it (in one step each time) with a link beside
// it that leads to `outside`, while a test runs commands through it. Main thread.
#pragma once

#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace testkit {

class cLinkSwapper {
 public:
  cLinkSwapper(const std::filesystem::path& link, const std::filesystem::path& inside,
               const std::filesystem::path& outside)
      : cLinkSwapper((std::filesystem::create_symlink(inside, link),
                      std::filesystem::create_symlink(outside, link.string() + ".other"), link),
                     link.string() + ".other") {}
  // Keeps trading the two entries `a` and `b` that are there (a folder and a link beside it).
  cLinkSwapper(const std::filesystem::path& a, const std::filesystem::path& b)
      : m_thread([this, a, b] {
          for (int i = 0; i < 50000000 && !m_stop; ++i)
            ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
        }) {}
  ~cLinkSwapper() {
    m_stop = true;
    m_thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace testkit
