#include "tessel/core/log_file.h"

#include <atomic>

#include "platform/descriptors.h"
#include "platform/folders.h"
#include "platform/local_time.h"

namespace {

std::atomic<bool> g_filesOn{true};

}  // namespace

void cLog::SetFilesOn(bool on) {
  g_filesOn.store(on);
}

cLog::~cLog() {
  m_bEcho = false;
  Close();
}

bool cLog::OpenFile(const std::string& file, std::ios::openmode mode) {
  m_strFile = file;
  if (is_open()) Close();
  if (!g_filesOn.load()) return true;
  open(file, mode);
  if (!is_open()) return false;
  platform::SetCloseOnExec(*rdbuf());
  *this << "create log file at: ";
  TimeStamp() << "\n\n";
  return true;
}

bool cLog::Open(const char* file) {
  return OpenFile(file, std::ios::out | std::ios::trunc);
}

// The folder is made as a folder whatever its name (a dot in it does not turn it into a file
// name). A file of the same second (a quick restart) is appended to rather than overwritten.
bool cLog::Open(const char* folder, int keepDays) {
  std::string path = platform::ToSlashes(folder);
  if (!g_filesOn.load()) return OpenFile(path + "/", std::ios::out);
  platform::CreateNestedFolders(path + "/");
  if (keepDays > 0) platform::DeleteOldFiles(path, keepDays);
  std::string file = path + "/" + platform::LocalTimeNow(platform::kFileTimeFormat) + ".log";
  return OpenFile(file, std::ios::out | std::ios::app);
}

void cLog::Close() {
  if (!is_open()) return;
  *this << "\nend log file at: ";
  TimeStamp();
  flush();
  close();
}

cLog& cLog::BeginLine() {
  ReopenIfRemoved();
  TakeUpAfterFailure();
  return *this;
}

cLog& cLog::TimeStamp() {
  BeginLine();
  return *this << platform::LocalTimeNow(platform::kLineTimeFormat);
}

// A file removed while written (to make room, say) would take every later line where nobody
// can read it, its space held: the lines go on in a new file of its name (in the folder there).
void cLog::ReopenIfRemoved() {
  if (!is_open() || !platform::FileRemoved(*rdbuf())) return;
  close();
  open(m_strFile, std::ios::out | std::ios::app);
  if (is_open()) platform::SetCloseOnExec(*rdbuf());
  std::cout << "cLog " << m_strFile << " was removed; "
            << (is_open() ? "its lines go on in a new file" : "it can not be made again")
            << std::endl;
}

// The stream keeps what it could not write and tries it again with the next write; what no
// longer fits is lost. While it fails, a line in its buffer is no line written: what it holds is
// flushed first, and only a flush that went through says it works again.
void cLog::TakeUpAfterFailure() {
  if (!is_open()) return;
  if (m_bFailing && good()) flush();
  if (good()) {
    if (m_bFailing) std::cout << "cLog writes to " << m_strFile << " again" << std::endl;
    m_bFailing = false;
    return;
  }
  clear();
  if (!m_bFailing)
    std::cout << "cLog can not write " << m_strFile << "; lines may be lost until it can"
              << std::endl;
  m_bFailing = true;
}

void cLog::WriteLine(const std::string& text) {
  TimeStamp() << text << "\n";
}

cMsgLog::cMsgLog() : m_pLog(std::make_unique<cLog>()) {}

cMsgLog::~cMsgLog() = default;

bool cMsgLog::Open(const char* folder, int keepDays) {
  m_strFolder = folder;
  if (m_pLog->Open(folder, keepDays)) return true;
  std::cout << "can not open log file " << m_pLog->GetFileName() << std::endl;
  return false;
}

void cMsgLog::LogMsg(const char* text, uint16_t type, uint32_t size) {
  m_pLog->WriteLine(text);
  m_pLog->TimeStamp() << "recieve msg type " << type << " size " << size << "\n";
}
