#include "tessel/core/console_bound.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/terminal_text.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/worker_thread.h"

void cConsoleBound::Install() {
  std::streambuf* target = std::cout.rdbuf();
  if (dynamic_cast<cConsoleBound*>(target) != nullptr) return;
  // Never deleted (std::cout is flushed after every static is gone), and kept in reach: a
  // capture of the output put in front of one and taken away again gets a bound of its own.
  static std::vector<std::unique_ptr<cConsoleBound>>* s_bounds =
      new std::vector<std::unique_ptr<cConsoleBound>>;
  s_bounds->push_back(std::make_unique<cConsoleBound>(target));
  std::cout.rdbuf(s_bounds->back().get());
}

bool cConsoleBound::Bounded() {
  return OnWorkerThread() && cCmdRightsScope::Narrowed();
}

void cConsoleBound::NewSecond() {
  const uint32_t now = platform::TimeGetTime();
  if (platform::ElapsedMs(m_windowMs, now) < 1000) return;
  m_windowMs = now;
  m_printed = 0;
  m_bytes = 0;
}

bool cConsoleBound::TakeLine() {
  NewSecond();
  if (m_printed >= kLinesPerSecond || m_bytes >= kBytesPerSecond) return ++m_leftOut, false;
  ++m_printed;
  SayCount();
  return true;
}

void cConsoleBound::SayCount() {
  if (m_leftOut == 0) return;
  std::string said =
      std::to_string(std::exchange(m_leftOut, 0)) + " console lines of narrowed accounts left out";
  if (!m_lastNotice.empty())
    said += ", the last notice among them: " + std::exchange(m_lastNotice, {});
  said += "\n";
  Write(said.data(), static_cast<std::streamsize>(said.size()));
}

void cConsoleBound::Notice(const std::string& line) {
  auto* bound = dynamic_cast<cConsoleBound*>(std::cout.rdbuf());
  if (bound == nullptr || !Bounded()) {
    std::cout << line << std::endl;
    return;
  }
  bound->ShowNotice(platform::TerminalText(line));
  std::cout.flush();
}

// A notice is a line of its own: an unfinished line of the account before it ends first.
void cConsoleBound::ShowNotice(const std::string& line) {
  EndLeftOutLine();
  if (!m_atLineStart && m_lineShown) Write("\n", 1);
  m_atLineStart = true;
  NewSecond();
  if (m_printed >= kLinesPerSecond + kNoticesPerSecond) {
    ++m_leftOut;
    m_lastNotice = line.substr(0, 1024);
    return;
  }
  ++m_printed;
  SayCount();
  Write(line.data(), static_cast<std::streamsize>(line.size()));
  Write("\n", 1);
}

void cConsoleBound::SayLeftOut() {
  auto* bound = dynamic_cast<cConsoleBound*>(std::cout.rdbuf());
  if (bound == nullptr) return;
  bound->EndLeftOutLine();
  if (!bound->m_atLineStart ||
      platform::ElapsedMs(bound->m_windowMs, platform::TimeGetTime()) < 1000)
    return;
  bound->SayCount();
}

void cConsoleBound::EndLeftOutLine() {
  if (!m_atLineStart && !m_lineShown && m_lineScope != cCmdRightsScope::OuterSerial())
    m_atLineStart = true;
}

void cConsoleBound::EndShownLine() {
  if (m_atLineStart || !m_lineShown || m_lineScope == cCmdRightsScope::OuterSerial()) return;
  Write("\n", 1);
  m_atLineStart = true;
}

void cConsoleBound::Write(const char* text, std::streamsize count) {
  if (m_target != nullptr) m_target->sputn(text, count);
}

// A piece of a shown line, within the bytes left this second; a line cut short still ends.
void cConsoleBound::Show(const char* text, std::streamsize count, bool lineEnds) {
  const std::streamsize room = std::max<std::streamsize>(kBytesPerSecond - m_bytes, 0);
  const std::streamsize shown = std::min(count, room);
  Write(text, shown);
  m_bytes += shown;
  if (shown < count) m_cut = true;
  if (lineEnds && m_cut && (shown == 0 || text[shown - 1] != '\n')) Write("\n", 1);
}

std::streamsize cConsoleBound::xsputn(const char* given, std::streamsize size) {
  if (!Bounded()) {
    if (OnWorkerThread()) EndShownLine();
    Write(given, size);
    return size;
  }
  // What the command chose to print (names, texts of its arguments) reaches no terminal as
  // controls.
  const std::string clean =
      platform::TerminalText(std::string_view(given, static_cast<size_t>(size)));
  const char* text = clean.data();
  const auto count = static_cast<std::streamsize>(clean.size());
  EndLeftOutLine();
  EndShownLine();
  for (std::streamsize at = 0; at < count;) {
    std::streamsize end = at;
    while (end < count && text[end] != '\n') ++end;
    const bool lineEnds = end < count;
    if (lineEnds) ++end;
    if (m_atLineStart) {
      m_lineShown = TakeLine();
      m_cut = false;
      m_lineScope = cCmdRightsScope::OuterSerial();
    }
    if (m_lineShown) Show(text + at, end - at, lineEnds);
    m_atLineStart = lineEnds;
    at = end;
  }
  return size;
}

cConsoleBound::int_type cConsoleBound::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char one = traits_type::to_char_type(c);
  xsputn(&one, 1);
  return c;
}

// A flush that fails (standard output a file on a full disk) loses what it could not write, not
// every later line: reported to std::cout, it would leave the stream failed for good, and the
// console silent after the disk had room again.
int cConsoleBound::sync() {
  if (m_target != nullptr) m_target->pubsync();
  return 0;
}
