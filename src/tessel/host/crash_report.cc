#include "tessel/host/crash_report.h"

#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "tessel/core/flight_ring.h"
#include "tessel/host/report_buffer.h"

extern char** environ;

namespace {

constexpr size_t kPath = 1024;
constexpr size_t kStackBytes = 0x3000;
constexpr const char* kReportName = "ERRORLOG.TXT";

// Values computed ahead by Prepare(), read by the report without locks.
struct Prepared {
  char exePath[kPath] = "Unknown";
  char exeFolder[kPath] = "";
  char exeFile[kPath] = "Unknown";  // file name without folder
  char exeBase[kPath] = "Unknown";  // file name without extension
  char user[128] = "Unknown";
  char osName[256] = "Linux";
  int cpus = 1;
  int probe[2] = {-1, -1};  // pipe used to test whether memory can be read
  // Descriptors held for the report: a process that faults out of descriptors still has these
  // to give back for the report, the dump and what they read.
  int spare[2] = {-1, -1};
};

Prepared g_prep;
std::once_flag g_prepOnce;
// The first report of the process: none yet, being written, written.
enum eReportState : int { kNoReport, kReporting, kReported };
std::atomic<int> g_report{kNoReport};
std::atomic<void (*)()> g_preReport{nullptr};
// How long a later fault waits for the first report before it takes its own course.
constexpr int kWaitForReportMs = 10000;

void CopyText(char* dst, size_t size, const char* src) {
  size_t n = std::strlen(src);
  if (n >= size) n = size - 1;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// Reads /etc/os-release's PRETTY_NAME, the release name shown in the report.
void ReadOsName() {
  int fd = ::open("/etc/os-release", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char text[4096];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return;
  text[n] = '\0';
  const char* key = std::strstr(text, "PRETTY_NAME=");
  if (key == nullptr) return;
  key += std::strlen("PRETTY_NAME=");
  if (*key == '"') ++key;
  size_t len = std::strcspn(key, "\"\n");
  if (len >= sizeof g_prep.osName) len = sizeof g_prep.osName - 1;
  std::memcpy(g_prep.osName, key, len);
  g_prep.osName[len] = '\0';
}

void DoPrepare() {
  char path[kPath];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) {
    path[n] = '\0';
    CopyText(g_prep.exePath, kPath, path);
    const char* slash = std::strrchr(path, '/');
    CopyText(g_prep.exeFile, kPath, slash ? slash + 1 : path);
    if (slash != nullptr) {
      size_t folder = static_cast<size_t>(slash - path) + 1;
      std::memcpy(g_prep.exeFolder, path, folder);
      g_prep.exeFolder[folder] = '\0';
    }
    CopyText(g_prep.exeBase, kPath, g_prep.exeFile);
    if (char* dot = std::strrchr(g_prep.exeBase, '.'); dot != nullptr && dot != g_prep.exeBase)
      *dot = '\0';
  }
  passwd pw{};
  passwd* found = nullptr;
  char pwbuf[4096];
  if (::getpwuid_r(::getuid(), &pw, pwbuf, sizeof pwbuf, &found) == 0 && found != nullptr)
    CopyText(g_prep.user, sizeof g_prep.user, pw.pw_name);
  else if (const char* u = ::getenv("USER"); u != nullptr && *u != '\0')
    CopyText(g_prep.user, sizeof g_prep.user, u);
  ReadOsName();
  RefreshFlightTimeOffset();
  long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  g_prep.cpus = cpus > 0 ? static_cast<int>(cpus) : 1;
  if (::pipe2(g_prep.probe, O_CLOEXEC | O_NONBLOCK) != 0) g_prep.probe[0] = g_prep.probe[1] = -1;
  for (int& fd : g_prep.spare) fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  // The first backtrace loads the unwinder, which allocates: do it now, not in a handler.
  void* frames[4];
  ::backtrace(frames, 4);
}

// Copies n bytes from src when every byte is readable; a write(2) of unreadable memory fails
// with EFAULT instead of raising a fault. Raw system calls, so that a sanitizer does not check
// (and object to) the stack bytes a report reads on purpose.
bool SafeRead(void* dst, const void* src, size_t n) {
  if (g_prep.probe[1] < 0 || n > 4096) return false;
  long w = ::syscall(SYS_write, g_prep.probe[1], src, n);
  if (w < 0) return false;
  long r = ::syscall(SYS_read, g_prep.probe[0], dst, static_cast<size_t>(w));
  return w == static_cast<long>(n) && r == w;
}

uint64_t Reg(const ucontext_t* uc, int reg) {
  return static_cast<uint64_t>(uc->uc_mcontext.gregs[reg]);
}

// Finds the module holding addr: its base address and file name.
struct ModuleHit {
  uintptr_t addr;
  uintptr_t base = 0;
  const char* name = nullptr;
};

int FindModule(dl_phdr_info* info, size_t, void* data) {
  auto* hit = static_cast<ModuleHit*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (hit->addr >= start && hit->addr < start + ph.p_memsz) {
      hit->base = info->dlpi_addr;
      hit->name = info->dlpi_name;
      return 1;
    }
  }
  return 0;
}

const char* BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

const char* ModuleName(const char* name) {
  return (name == nullptr || *name == '\0') ? g_prep.exePath : name;
}

void WriteHeader(cReportBuffer& out, const stCrashInfo& info, const ucontext_t* uc,
                 const char* exeName) {
  const uint64_t ip = Reg(uc, REG_RIP);
  ModuleHit hit{ip};
  ::dl_iterate_phdr(FindModule, &hit);
  const char* module = hit.name ? BaseName(ModuleName(hit.name)) : "Unknown";
  out.SetEcho(true);
  out.Str(g_prep.exeBase).Str(" caused ").Str(cCrashReport::Describe(info.code)).Str(" (0x");
  out.Hex(info.code).Str(") \r\nin module ").Str(module).Str(" at ");
  out.Hex(Reg(uc, REG_CSGSFS) & 0xFFFF, 4).Str(":").Hex(ip).Str(".\r\n\r\n");
  out.Str("Exception handler called in ").Str(exeName).Str(".\r\n");
  out.SetEcho(false);
  if (info.what != nullptr) out.Str("Exception text: ").Str(info.what).Str("\r\n");
}

void WriteMemoryLine(cReportBuffer& out, uint64_t mb, const char* what) {
  out.Dec(static_cast<int64_t>(mb)).Str(" MBytes ").Str(what).Str(".\r\n");
}

// Pages of address space in use, from /proc/self/statm.
uint64_t AddressSpaceUsed() {
  int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  uint64_t pages = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i)
    pages = pages * 10 + static_cast<uint64_t>(text[i] - '0');
  return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

void WriteSystem(cReportBuffer& out) {
  char when[64];
  cReportBuffer::FormatTime(::time(nullptr), FlightTimeOffset(), when, sizeof when);
  out.Str("Error occurred at ").Str(when).Str(".\r\n");
  out.Str(g_prep.exePath).Str(", run by ").Str(g_prep.user).Str(".\r\n");
  utsname uts{};
  unsigned ver[3] = {0, 0, 0};
  if (::uname(&uts) == 0) {
    const char* p = uts.release;
    for (int i = 0; i < 3 && *p; ++i) {
      while (*p >= '0' && *p <= '9') ver[i] = ver[i] * 10 + static_cast<unsigned>(*p++ - '0');
      if (*p == '.')
        ++p;
      else
        break;
    }
  }
  out.Str("Operating system:  ").Str(g_prep.osName).Str(" (");
  out.Dec(ver[0]).Str(".").Dec(ver[1]).Str(".").Dec(ver[2]).Str(").\r\n");
  out.Dec(g_prep.cpus).Str(" processor(s), type ").Dec(8664).Str(".\r\n");
  struct sysinfo si {};
  if (::sysinfo(&si) != 0) std::memset(&si, 0, sizeof si);
  const uint64_t unit = si.mem_unit ? si.mem_unit : 1;
  const uint64_t total = si.totalram * unit, avail = (si.freeram + si.bufferram) * unit;
  out.Dec(total ? static_cast<int64_t>((total - avail) * 100 / total) : 0)
      .Str("% memory in use.\r\n");
  // The user address space of x86-64 Linux: 128 TiB below the canonical hole.
  const uint64_t space = 0x7FFFFFFFF000ULL, used = AddressSpaceUsed();
  WriteMemoryLine(out, total >> 20, "physical memory");
  WriteMemoryLine(out, avail >> 20, "physical memory free");
  WriteMemoryLine(out, (si.totalswap * unit) >> 20, "paging file");
  WriteMemoryLine(out, (si.freeswap * unit) >> 20, "paging file free");
  WriteMemoryLine(out, space >> 20, "user address space");
  WriteMemoryLine(out, (space - used) >> 20, "user address space free");
}

void WriteAccess(cReportBuffer& out, const stCrashInfo& info, const ucontext_t* uc) {
  if (info.code != kCrashAccessViolation || info.info == nullptr) return;
  // Bit 1 of the page-fault error code is set for a write.
  const bool write = (Reg(uc, REG_ERR) & 2) != 0;
  out.SetEcho(true);
  out.Str(write ? "Write to" : "Read from").Str(" location ");
  out.Hex(reinterpret_cast<uintptr_t>(info.info->si_addr)).Str(" caused an access violation.\r\n");
  out.SetEcho(false);
}

void WriteRegisters(cReportBuffer& out, const ucontext_t* uc) {
  auto r = [&](const char* label, int reg) { out.Str(label).Hex(Reg(uc, reg)); };
  const uint64_t segs = Reg(uc, REG_CSGSFS);
  out.Str("\r\nContext:\r\n");
  r("EDI:    0x", REG_RDI), r("  ESI: 0x", REG_RSI), r("  EAX:   0x", REG_RAX), out.Str("\r\n");
  r("EBX:    0x", REG_RBX), r("  ECX: 0x", REG_RCX), r("  EDX:   0x", REG_RDX), out.Str("\r\n");
  r("EIP:    0x", REG_RIP), r("  EBP: 0x", REG_RBP);
  out.Str("  SegCs: 0x").Hex(segs & 0xFFFF).Str("\r\n");
  r("EFlags: 0x", REG_EFL), r("  ESP: 0x", REG_RSP);
  out.Str("  SegSs: 0x").Hex((segs >> 48) & 0xFFFF).Str("\r\n");
  out.Str("\r\nBytes at CS:EIP:\r\n");
  const auto* ip = reinterpret_cast<const unsigned char*>(Reg(uc, REG_RIP));
  for (int i = 0; i < 16; ++i) {
    unsigned char b;
    if (SafeRead(&b, ip + i, 1))
      out.Hex(b, 2).Str(" ");
    else
      out.Str("?? ");
  }
}

void WriteStackRow(cReportBuffer& out, uint64_t addr, const unsigned char* bytes, size_t n) {
  out.Str("0x").Hex(addr).Str(": ");
  for (size_t w = 0; w < 4; ++w) {
    if (w * 4 + 4 > n) {
      out.Str("         ");
      continue;
    }
    uint32_t word;
    std::memcpy(&word, bytes + w * 4, 4);
    out.Hex(word).Str(" ");
  }
  for (size_t i = 0; i < n; ++i)
    out.Char(bytes[i] >= 0x20 && bytes[i] <= 0x7E ? static_cast<char>(bytes[i]) : '.');
  out.Str("\r\n");
}

void WriteStack(cReportBuffer& out, const ucontext_t* uc) {
  out.Str("\r\n\r\nStack:\r\n");
  const uint64_t sp = Reg(uc, REG_RSP);
  for (uint64_t off = 0; off < kStackBytes; off += 16) {
    unsigned char row[16];
    if (!SafeRead(row, reinterpret_cast<const void*>(sp + off), sizeof row)) {
      out.Str("Exception encountered during stack dump.\r\n");
      return;
    }
    WriteStackRow(out, sp + off, row, sizeof row);
  }
}

// One symbolised line per return address: module, offset, and the nearest exported symbol.
void WriteFrame(cReportBuffer& out, int index, uintptr_t pc) {
  Dl_info dl{};
  out.Str("#").Dec(index, -3).Str("0x").Hex(pc, 16).Str(" ");
  if (::dladdr(reinterpret_cast<void*>(pc), &dl) == 0 || dl.dli_fname == nullptr) {
    out.Str("??\r\n");
    return;
  }
  out.Str(BaseName(ModuleName(dl.dli_fname))).Str("+0x");
  out.Hex(pc - reinterpret_cast<uintptr_t>(dl.dli_fbase), 1);
  if (dl.dli_sname != nullptr)
    out.Str(" (")
        .Str(dl.dli_sname)
        .Str("+0x")
        .Hex(pc - reinterpret_cast<uintptr_t>(dl.dli_saddr), 1)
        .Str(")");
  out.Str("\r\n");
}

void WriteBacktrace(cReportBuffer& out, const stCrashInfo& info, const ucontext_t* uc) {
  out.Str("\r\n\r\nCall stack:\r\n");
  void* frames[64];
  int n = ::backtrace(frames, 64);
  int first = 0;
  int index = 0;
  if (info.signo != 0) {
    // Frames up to the signal trampoline belong to the handler; the fault's own frame is the
    // context's instruction pointer, and when that is no code (a call through a null pointer)
    // the caller's return address sits on top of the stack and the unwinder stops there.
    const uint64_t ip = Reg(uc, REG_RIP);
    WriteFrame(out, index++, ip);
    ModuleHit hit{ip};
    const bool inModule = ::dl_iterate_phdr(FindModule, &hit) != 0;
    uint64_t ret;
    if (!inModule && SafeRead(&ret, reinterpret_cast<const void*>(Reg(uc, REG_RSP)), sizeof ret))
      WriteFrame(out, index++, ret);
    first = inModule ? 0 : n;
    for (int i = 0; i < n; ++i)
      if (reinterpret_cast<uintptr_t>(frames[i]) == ip) {
        first = i + 1;
        break;
      }
  }
  for (int i = first; i < n; ++i) WriteFrame(out, index++, reinterpret_cast<uintptr_t>(frames[i]));
}

// "libstdc++.so.6.0.30" gives 6.0.30.0: the closest an ELF file comes to a version resource.
void WriteVersion(cReportBuffer& out, const char* label, const char* name) {
  unsigned v[4] = {0, 0, 0, 0};
  if (const char* so = std::strstr(name, ".so."); so != nullptr) {
    const char* p = so + 4;
    for (int i = 0; i < 4 && *p >= '0' && *p <= '9'; ++i) {
      while (*p >= '0' && *p <= '9') v[i] = v[i] * 10 + static_cast<unsigned>(*p++ - '0');
      if (*p == '.') ++p;
    }
  }
  out.Str(label).Dec(v[0]).Str(".").Dec(v[1]).Str(".").Dec(v[2]).Str(".").Dec(v[3]).Str("\r\n");
}

struct ModuleWalk {
  cReportBuffer* out;
  int index = 0;
};

int WriteModule(dl_phdr_info* info, size_t, void* data) {
  auto* walk = static_cast<ModuleWalk*>(data);
  cReportBuffer& out = *walk->out;
  uintptr_t lo = UINTPTR_MAX, hi = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    if (ph.p_vaddr < lo) lo = ph.p_vaddr;
    if (ph.p_vaddr + ph.p_memsz > hi) hi = ph.p_vaddr + ph.p_memsz;
  }
  if (hi == 0) return 0;
  const char* name = ModuleName(info->dlpi_name);
  struct stat st {};
  const bool onDisk = ::stat(name, &st) == 0;
  char when[64] = "Unknown";
  if (onDisk) cReportBuffer::FormatTime(st.st_mtime, FlightTimeOffset(), when, sizeof when);
  out.Str("Module ").Dec(++walk->index).Str("\r\n").Str(name).Str("\r\n");
  out.Str("Image Base: 0x")
      .Hex(info->dlpi_addr + lo)
      .Str("  Image Size: 0x")
      .Hex(hi - lo)
      .Str("\r\n");
  out.Str("Checksum:   0x").Hex(0).Str("  Time Stamp: 0x");
  out.Hex(onDisk ? static_cast<uint32_t>(st.st_mtime) : 0).Str("\r\n");
  out.Str("File Size:  ")
      .Dec(onDisk ? st.st_size : 0, -10)
      .Str("  File Time:  ")
      .Str(when)
      .Str("\r\n");
  out.Str("Version Information:\r\n");
  out.Str("   Company:    \r\n   Product:    \r\n   FileDesc:   \r\n");
  WriteVersion(out, "   FileVer:    ", BaseName(name));
  WriteVersion(out, "   ProdVer:    ", BaseName(name));
  out.Str("\r\n");
  return 0;
}

void WriteModules(cReportBuffer& out) {
  out.Str("\r\n");
  ModuleWalk walk{&out};
  ::dl_iterate_phdr(WriteModule, &walk);
}

void WriteFlightLine(void* context, const char* text, size_t size) {
  static_cast<cReportBuffer*>(context)->Bytes(text, size).Str("\r\n");
}

// The flight rings (commands run, records received, ...), each under its title.
void WriteFlightRings(cReportBuffer& out) {
  for (size_t i = 0; i < FlightRingCount(); ++i) {
    const cFlightRingBase* ring = FlightRingAt(i);
    const uint64_t added = ring->Added();
    out.Str("\r\n").Str(ring->Title()).Str(", oldest first, ").Dec(static_cast<int64_t>(added));
    out.Str(" in all:\r\n");
    ring->VisitLines(WriteFlightLine, &out);
  }
}

bool DebuggerAttached() {
  int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[4096];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* tracer = std::strstr(text, "TracerPid:");
  if (tracer == nullptr) return false;
  tracer += std::strlen("TracerPid:");
  while (*tracer == ' ' || *tracer == '\t') ++tracer;
  return *tracer != '0';
}

// Starts "<exe folder>XCrashReport" with the executable's file name, the exe name and the launch
// parameters; 1 when it started.
int StartReportTool(const char* exeName, const char* params) {
  char tool[kPath + 32];
  CopyText(tool, kPath, g_prep.exeFolder);
  std::strcat(tool, "XCrashReport");
  if (::access(tool, X_OK) != 0) return 0;
  cReportBuffer line(STDOUT_FILENO);
  line.Str("XCrashReport ").Str(tool).Str(" \"").Str(g_prep.exeFile).Str("\" \"").Str(exeName);
  line.Str("\" \"").Str(params).Str("\"\n");
  line.Flush();
  char* argv[] = {tool, g_prep.exeFile, const_cast<char*>(exeName), const_cast<char*>(params),
                  nullptr};
  pid_t pid;
  return ::posix_spawn(&pid, tool, nullptr, nullptr, argv, environ) == 0 ? 1 : 0;
}

// Raw bytes of the stack from sp upwards while they can be read, at most kStackBytes. False
// when the file did not take them all.
bool DumpStack(int fd, uint64_t sp) {
  static unsigned char stack[kStackBytes];
  size_t n = 0;
  while (n < kStackBytes && SafeRead(stack + n, reinterpret_cast<const void*>(sp + n), 16)) n += 16;
  cReportBuffer out(fd);
  out.Str("stack 0x").Hex(sp, 16).Str(" ").Dec(static_cast<int64_t>(n)).Str("\n");
  out.Bytes(reinterpret_cast<const char*>(stack), n).Str("\n");
  out.Flush();
  return !out.Failed();
}

bool DumpMaps(int fd) {
  cReportBuffer out(fd);
  out.Str("maps\n");
  int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  char chunk[4096];
  ssize_t n;
  while (maps >= 0 && (n = ::read(maps, chunk, sizeof chunk)) > 0)
    out.Bytes(chunk, static_cast<size_t>(n));
  if (maps >= 0) ::close(maps);
  out.Str("end\n");
  out.Flush();
  return !out.Failed();
}

// The report and the dump hold raw memory of the process (its stack as bytes and characters)
// and the last commands run: only the owner reads them, whatever the umask, a file left by an
// earlier run included. Anything else in their place (a pipe, which would hold the handler for
// ever, or a link, which would be followed and its target overwritten) is replaced by a new
// file, and so is a file with other names (an earlier report kept by a hard link), judged before
// anything is cut. Every call here may be made in a signal handler.
int CreateOwnFile(const char* path) {
  int fd = ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
  struct stat st {};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1 ||
                  ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) {
    ::unlink(path);
    fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }
  if (fd >= 0) ::fchmod(fd, 0600);
  return fd;
}

// Gives the spare descriptors back, just before the report makes its files. Signal-safe.
void ReleaseSpares() {
  for (int& fd : g_prep.spare) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

// False when the dump could not be made or written whole.
bool WriteDump(const char* path, const stCrashInfo& info, const ucontext_t* uc) {
  int fd = CreateOwnFile(path);
  if (fd < 0) return false;
  bool whole = true;
  static const char* const kNames[NGREG] = {
      "R8",  "R9",  "R10", "R11", "R12", "R13", "R14",    "R15", "RDI",    "RSI",     "RBP", "RBX",
      "RDX", "RAX", "RCX", "RSP", "RIP", "EFL", "CSGSFS", "ERR", "TRAPNO", "OLDMASK", "CR2"};
  {
    cReportBuffer out(fd);
    const uintptr_t fault = info.info ? reinterpret_cast<uintptr_t>(info.info->si_addr) : 0;
    out.Str("TESSELDMP 1\n");
    out.Str("code 0x").Hex(info.code).Str(" signal ").Dec(info.signo).Str(" thread ");
    out.Dec(static_cast<int64_t>(::syscall(SYS_gettid))).Str(" fault 0x").Hex(fault, 16).Str("\n");
    for (int i = 0; i < NGREG; ++i)
      out.Str("reg ").Str(kNames[i]).Str(" 0x").Hex(Reg(uc, i), 16).Str("\n");
    out.Flush();
    whole = !out.Failed();
  }
  whole = DumpStack(fd, Reg(uc, REG_RSP)) && whole;
  whole = DumpMaps(fd) && whole;
  ::close(fd);
  return whole;
}

// A line on standard error, which is waited on for room once at most: nobody may read it.
std::atomic<bool> g_stderrStuck{false};
void SayOnStderr(const char* text) {
  if (!g_stderrStuck.load() && !cReportBuffer::WriteWithin(STDERR_FILENO, text, std::strlen(text)))
    g_stderrStuck = true;
}

// A report or dump that a full disk cut short is said on standard error, so that nobody takes
// it for the whole story.
void SayNotWhole(const char* file) {
  for (const char* part : {"Error writing exception report ", file, ": it is not whole\n"})
    SayOnStderr(part);
}

// A fault on another thread while the first report is written waits for it (sleeping, which a
// signal handler may do), so that its default action does not end the process mid-report.
void WaitForFirstReport() {
  const timespec step{0, 10 * 1000 * 1000};
  for (int waited = 0; waited < kWaitForReportMs && g_report.load() == kReporting; waited += 10)
    ::nanosleep(&step, nullptr);
}

// The caller's machine state; kept out of the report functions because getcontext returns twice.
__attribute__((noinline)) void CaptureContext(ucontext_t* uc) {
  ::getcontext(uc);
}

}  // namespace

void cCrashReport::Prepare() {
  std::call_once(g_prepOnce, DoPrepare);
}

void cCrashReport::SetPreReport(void (*callback)()) {
  g_preReport.store(callback);
}

bool cCrashReport::WriteMiniDump(const char* path, const stCrashInfo* info) {
  Prepare();
  ucontext_t own;
  stCrashInfo present{kCrashBreakpoint};
  if (info == nullptr) info = &present;
  const ucontext_t* uc = info->context;
  if (uc == nullptr) {
    CaptureContext(&own);
    uc = &own;
  }
  return WriteDump(path, *info, uc);
}

bool cCrashReport::Reported() {
  return g_report.load() != kNoReport;
}

int cCrashReport::Report(const stCrashInfo& info, const char* exeName, const char* params) {
  int none = kNoReport;
  if (!g_report.compare_exchange_strong(none, kReporting)) {
    WaitForFirstReport();
    return 0;
  }
  Prepare();
  if (exeName == nullptr || *exeName == '\0') exeName = g_prep.exeBase;
  if (params == nullptr) params = "";
  ucontext_t own;
  const ucontext_t* uc = info.context;
  if (uc == nullptr) {
    CaptureContext(&own);
    uc = &own;
  }
  ReleaseSpares();
  int fd = CreateOwnFile(kReportName);
  if (fd < 0) {
    SayOnStderr("Error creating exception report\n");
    g_report = kReported;
    return 0;
  }
  {
    static cReportBuffer* out;  // the buffer is too large for an alternate signal stack
    alignas(cReportBuffer) static unsigned char storage[sizeof(cReportBuffer)];
    out = new (storage) cReportBuffer(fd, STDOUT_FILENO);
    WriteHeader(*out, info, uc, exeName);
    WriteSystem(*out);
    WriteAccess(*out, info, uc);
    WriteRegisters(*out, uc);
    WriteStack(*out, uc);
    WriteBacktrace(*out, info, uc);
    WriteModules(*out);
    WriteFlightRings(*out);
    out->Str("\r\n===== [end of ").Str(kReportName).Str("] =====\r\n");
    out->Flush();
    if (out->Failed()) SayNotWhole(kReportName);
    out->~cReportBuffer();
  }
  ::close(fd);
  char dump[kPath];
  CopyText(dump, kPath - 8, exeName);
  std::strcat(dump, ".dmp");
  if (!WriteDump(dump, info, uc)) SayNotWhole(dump);
  const int started = DebuggerAttached() ? 0 : StartReportTool(exeName, params);
  // Last, so that nothing it does can keep the report and the tool from being written.
  if (auto callback = g_preReport.load(); callback != nullptr) callback();
  g_report = kReported;
  return started;
}

uint32_t cCrashReport::CodeOfSignal(int signo, int siCode) {
  switch (signo) {
    case SIGSEGV:
      return kCrashAccessViolation;
    case SIGBUS:
      return siCode == BUS_ADRALN ? 0x80000002 : 0xC0000006;
    case SIGILL:
      return (siCode == ILL_PRVOPC || siCode == ILL_PRVREG) ? 0xC0000096 : 0xC000001D;
    case SIGTRAP:
      return kCrashBreakpoint;
    case SIGFPE:
      switch (siCode) {
        case FPE_INTDIV:
          return 0xC0000094;
        case FPE_INTOVF:
          return 0xC0000095;
        case FPE_FLTDIV:
          return 0xC000008E;
        case FPE_FLTOVF:
          return 0xC0000091;
        case FPE_FLTUND:
          return 0xC0000093;
        case FPE_FLTRES:
          return 0xC000008F;
        case FPE_FLTSUB:
          return 0xC000008C;
        default:
          return 0xC0000090;
      }
    default:
      return 0;
  }
}

const char* cCrashReport::Describe(uint32_t code) {
  switch (code) {
    case 0x40010005:
      return "a Control-C";
    case 0x40010008:
      return "a Control-Break";
    case 0x80000002:
      return "a Datatype Misalignment";
    case 0x80000003:
      return "a Breakpoint";
    case 0xC0000005:
      return "an Access Violation";
    case 0xC0000006:
      return "an In Page Error";
    case 0xC0000017:
      return "a No Memory";
    case 0xC000001D:
      return "an Illegal Instruction";
    case 0xC0000025:
      return "a Noncontinuable Exception";
    case 0xC0000026:
      return "an Invalid Disposition";
    case 0xC000008C:
      return "a Array Bounds Exceeded";
    case 0xC000008D:
      return "a Float Denormal Operand";
    case 0xC000008E:
      return "a Float Divide by Zero";
    case 0xC000008F:
      return "a Float Inexact Result";
    case 0xC0000090:
      return "a Float Invalid Operation";
    case 0xC0000091:
      return "a Float Overflow";
    case 0xC0000092:
      return "a Float Stack Check";
    case 0xC0000093:
      return "a Float Underflow";
    case 0xC0000094:
      return "an Integer Divide by Zero";
    case 0xC0000095:
      return "an Integer Overflow";
    case 0xC0000096:
      return "a Privileged Instruction";
    case 0xC00000FD:
      return "a Stack Overflow";
    case 0xC0000142:
      return "a DLL Initialization Failed";
    case 0xE06D7363:
      return "a Microsoft C++ Exception";
    default:
      return "an Unknown exception type";
  }
}
