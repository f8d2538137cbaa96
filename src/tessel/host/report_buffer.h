// Formats text into a fixed buffer and writes it to a file descriptor with write(2), without
// allocating or locking, so it may be used inside a fatal-signal handler. One owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>

class cReportBuffer {
 public:
  static constexpr size_t kSize = 8192;
  // Above this fill count the buffer is written out before the next piece is added.
  static constexpr size_t kFlushAt = 0x1C00;

  // Output goes to fd; a second fd (or -1) receives a copy of the pieces marked with Echo, until
  // it does not take one. A descriptor that takes nothing for a second (a full pipe) counts as
  // refusing.
  explicit cReportBuffer(int fd, int echoFd = -1) : m_fd(fd), m_echoFd(echoFd) {}
  ~cReportBuffer() { Flush(); }
  cReportBuffer(const cReportBuffer&) = delete;
  cReportBuffer& operator=(const cReportBuffer&) = delete;

  // While echo is on, every piece is also written to the echo descriptor at once.
  void SetEcho(bool on) { m_echo = on; }

  cReportBuffer& Str(const char* s);
  cReportBuffer& Bytes(const char* p, size_t n);
  // Hexadecimal, lower case, padded with zeros to at least `width` digits.
  cReportBuffer& Hex(uint64_t v, int width = 8);
  // Decimal; a positive width pads on the left with `pad`, a negative width pads on the right.
  cReportBuffer& Dec(int64_t v, int width = 0, char pad = ' ');
  cReportBuffer& Char(char c) { return Bytes(&c, 1); }

  void Flush();
  // Writes [p, p+n) to `fd` as the buffer does, waiting a second at most for room; false when
  // not all of it was taken.
  static bool WriteWithin(int fd, const char* p, size_t n);
  size_t Fill() const { return m_fill; }
  // Whether a write of the output refused part of it (a full disk): the file is cut short.
  bool Failed() const { return m_failed; }

  // Converts seconds since the epoch plus a fixed offset into "M/D/YYYY hh:mm:ss".
  static void FormatTime(int64_t secs, int64_t gmtOffset, char* out, size_t outSize);
  // The same as "YYYY_MM_DD-hh.mm.ss", the form of the registry's time values.
  static void FormatFileTime(int64_t secs, int64_t gmtOffset, char* out, size_t outSize);

 private:
  void Append(const char* p, size_t n);

  int m_fd;
  int m_echoFd;
  bool m_echo = false;
  bool m_failed = false;
  size_t m_fill = 0;
  char m_buf[kSize];
};
