#include "tessel/host/report_buffer.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "tessel/util/civil_date.h"

namespace {

// How long a write waits for its descriptor to take bytes: standard output may be a pipe that
// nobody reads, full, and a report must never wait on it for ever.
constexpr int kRoomWaitMs = 1000;

// Writes all of [p, p+n) unless the descriptor refuses or takes nothing for kRoomWaitMs; at most
// PIPE_BUF bytes at a time, which a pipe with room takes without waiting. A crash report keeps
// writing what it can after a refusal. False when something was refused.
bool WriteAll(int fd, const char* p, size_t n) {
  while (fd >= 0 && n > 0) {
    pollfd room{fd, POLLOUT, 0};
    if (::poll(&room, 1, kRoomWaitMs) != 1 || (room.revents & POLLOUT) == 0) return false;
    ssize_t w = ::write(fd, p, n < PIPE_BUF ? n : PIPE_BUF);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

void cReportBuffer::Append(const char* p, size_t n) {
  // A copy the echo's descriptor did not take ends the copies: one wait for it at most.
  if (m_echo && !WriteAll(m_echoFd, p, n)) m_echoFd = -1;
  if (m_fill > kFlushAt) Flush();
  while (n > 0) {
    size_t room = kSize - m_fill;
    if (room == 0) {
      Flush();
      room = kSize;
    }
    size_t take = n < room ? n : room;
    std::memcpy(m_buf + m_fill, p, take);
    m_fill += take;
    p += take;
    n -= take;
  }
}

bool cReportBuffer::WriteWithin(int fd, const char* p, size_t n) {
  return WriteAll(fd, p, n);
}

void cReportBuffer::Flush() {
  if (!WriteAll(m_fd, m_buf, m_fill)) m_failed = true;
  m_fill = 0;
}

cReportBuffer& cReportBuffer::Str(const char* s) {
  if (s == nullptr) s = "(null)";
  Append(s, std::strlen(s));
  return *this;
}

cReportBuffer& cReportBuffer::Bytes(const char* p, size_t n) {
  Append(p, n);
  return *this;
}

cReportBuffer& cReportBuffer::Hex(uint64_t v, int width) {
  char tmp[32];
  int n = 0;
  do {
    tmp[n++] = "0123456789abcdef"[v & 0xF];
    v >>= 4;
  } while (v != 0);
  while (n < width && n < 16) tmp[n++] = '0';
  char out[32];
  for (int i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
  Append(out, static_cast<size_t>(n));
  return *this;
}

cReportBuffer& cReportBuffer::Dec(int64_t v, int width, char pad) {
  char tmp[32];
  int n = 0;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  do {
    tmp[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) tmp[n++] = '-';
  char out[64];
  int len = 0;
  const int target = width < 0 ? -width : width;
  if (width > 0)
    for (int i = n; i < target; ++i) out[len++] = pad;
  for (int i = 0; i < n; ++i) out[len++] = tmp[n - 1 - i];
  if (width < 0)
    for (int i = n; i < target; ++i) out[len++] = ' ';
  Append(out, static_cast<size_t>(len));
  return *this;
}

namespace {

// Fields of a local time, built by hand: snprintf is not safe inside a signal handler.
class cTimeText {
 public:
  cTimeText(int64_t secs, int64_t gmtOffset) {
    const int64_t local = secs + gmtOffset;
    const int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    rest = local - days * 86400;
    CivilFromDays(days, year, month, day);
  }
  void Put(int64_t v, int width) {
    char d[24];
    int k = 0;
    do {
      d[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0 && k < 20);
    while (k < width) d[k++] = '0';
    while (k > 0 && n < sizeof text - 1) text[n++] = d[--k];
  }
  void Sep(char c) {
    if (n < sizeof text - 1) text[n++] = c;
  }
  void CopyTo(char* out, size_t outSize) const {
    const size_t copy = n < outSize - 1 ? n : outSize - 1;
    std::memcpy(out, text, copy);
    out[copy] = '\0';
  }

  int64_t year, rest;
  unsigned month, day;

 private:
  char text[64];
  size_t n = 0;
};

}  // namespace

void cReportBuffer::FormatTime(int64_t secs, int64_t gmtOffset, char* out, size_t outSize) {
  cTimeText t(secs, gmtOffset);
  t.Put(t.month, 1), t.Sep('/'), t.Put(t.day, 1), t.Sep('/'), t.Put(t.year, 1), t.Sep(' ');
  t.Put(t.rest / 3600, 2), t.Sep(':'), t.Put(t.rest / 60 % 60, 2), t.Sep(':');
  t.Put(t.rest % 60, 2);
  t.CopyTo(out, outSize);
}

void cReportBuffer::FormatFileTime(int64_t secs, int64_t gmtOffset, char* out, size_t outSize) {
  cTimeText t(secs, gmtOffset);
  t.Put(t.year, 4), t.Sep('_'), t.Put(t.month, 2), t.Sep('_'), t.Put(t.day, 2), t.Sep('-');
  t.Put(t.rest / 3600, 2), t.Sep('.'), t.Put(t.rest / 60 % 60, 2), t.Sep('.');
  t.Put(t.rest % 60, 2);
  t.CopyTo(out, outSize);
}
