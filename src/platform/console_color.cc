#include "platform/console_color.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

namespace platform {

namespace {

std::mutex& color_mutex() {
  static std::mutex m;
  return m;
}

// Guarded by color_mutex(). A console starts grey on black.
int g_attribute = 0x07;

// The attribute's colour bits are blue 1, green 2, red 4; ANSI numbers red 1, green 2, blue 4.
int AnsiColorIndex(int nibble) {
  return ((nibble & 1) << 2) | (nibble & 2) | ((nibble & 4) >> 2);
}

}  // namespace

bool ColorEnabled() {
  const char* setting = std::getenv("TESSEL_COLOR");
  if (setting && std::strcmp(setting, "0") == 0) return false;
  if (setting && std::strcmp(setting, "1") == 0) return true;
  return ::isatty(STDOUT_FILENO) == 1;
}

// A black background (0) keeps the terminal's own background, so text stays readable on light
// terminals as well.
std::string AnsiSequence(int attribute) {
  int fg = attribute & 0x0F;
  int bg = (attribute >> 4) & 0x0F;
  std::string s = "\x1b[0;" + std::to_string((fg & 8 ? 90 : 30) + AnsiColorIndex(fg));
  s += ";" + std::to_string(bg == 0 ? 49 : (bg & 8 ? 100 : 40) + AnsiColorIndex(bg)) + "m";
  return s;
}

namespace {

// Caller holds color_mutex().
void ShowAttribute(int attribute) {
  std::cout.flush();
  g_attribute = attribute & 0xFF;
  if (!ColorEnabled()) return;
  std::cout << AnsiSequence(g_attribute);
  std::cout.flush();
}

}  // namespace

void SetColor(int colour) {
  std::lock_guard lock(color_mutex());
  ShowAttribute((g_attribute & 0xF0) | (colour & 0x0F));
}

void SetAttribute(int attribute) {
  std::lock_guard lock(color_mutex());
  ShowAttribute(attribute);
}

int CurrentAttribute() {
  std::lock_guard lock(color_mutex());
  return g_attribute;
}

void ResetConsoleColor() {
  std::lock_guard lock(color_mutex());
  g_attribute = 0x07;
  if (!ColorEnabled()) return;
  std::cout << "\x1b[0m";
  std::cout.flush();
}

void ConsoleBeep() {
  if (::isatty(STDOUT_FILENO) != 1) return;
  std::cout << '\a';
  std::cout.flush();
}

}  // namespace platform
