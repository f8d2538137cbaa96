// ZIP layout: a local header and the data of each entry, then the central directory and its
// end record. Entries use method 0 (stored), sizes below 4 GiB, at most 65535 entries.
#include "baselib/zip_store.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/folders.h"
#include "platform/home_file.h"

namespace fs = std::filesystem;

namespace baselib {
namespace {

constexpr std::uint32_t kLocalSig = 0x04034b50;
constexpr std::uint32_t kCentralSig = 0x02014b50;
constexpr std::uint32_t kEndSig = 0x06054b50;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::uint16_t kUtf8Names = 0x0800;

std::uint32_t Crc32(const std::string& data) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char ch : data) crc = table[(crc ^ ch) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
std::uint32_t Get16(const std::string& in, std::size_t at) {
  return static_cast<unsigned char>(in[at]) | (static_cast<unsigned char>(in[at + 1]) << 8);
}
std::uint32_t Get32(const std::string& in, std::size_t at) {
  return Get16(in, at) | (Get16(in, at + 2) << 16);
}

bool Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

// Header fields shared by local and central records, from "version needed" on.
void PutCommon(std::string& out, const std::string& name, std::uint32_t crc, std::uint32_t size) {
  Put16(out, 10);          // version needed
  Put16(out, kUtf8Names);  // flags
  Put16(out, 0);           // method: stored
  Put16(out, 0);           // time
  Put16(out, 0x21);        // date: 1980-01-01
  Put32(out, crc);
  Put32(out, size);
  Put32(out, size);
  Put16(out, static_cast<std::uint32_t>(name.size()));
  Put16(out, 0);  // extra length
}

}  // namespace

bool ZipWrite(const std::string& folder, const std::string& zip, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return Fail(error, "not a folder: " + folder);
  std::vector<fs::path> files;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec) && fs::absolute(it->path(), ec) != fs::absolute(zip, ec)) {
      // A link that leads out of the folder would pack whatever it names (a log of gigabytes).
      std::error_code linkEc;
      if (it->is_symlink(linkEc) && !platform::LiesInFolder(folder, it->path()))
        return Fail(error, "link out of the folder: " + it->path().generic_string());
      files.push_back(it->path());
    }
  }
  if (ec) return Fail(error, "cannot list " + folder + ": " + ec.message());
  if (files.size() > 0xFFFF) return Fail(error, "too many files");
  std::sort(files.begin(), files.end());

  std::string body, central;
  for (const fs::path& file : files) {
    // Read without waiting, and no more than the reader takes back: a larger archive could
    // never be loaded, and a pipe put in a file's place would hold the caller for ever. The file
    // is judged as opened: a folder on its way traded for a link since the walk leads nowhere
    // outside the folder.
    std::string data, why;
    const std::size_t used = body.size() + central.size();
    const std::size_t room =
        platform::kScriptFileBytes > used ? platform::kScriptFileBytes - used : 0;
    if (platform::ReadHomeFile(file.string(), room, data, &why, folder) !=
        platform::eHomeFile::kRead)
      return Fail(error, why);
    const std::string name = fs::relative(file, folder, ec).generic_string();
    if (data.size() > 0xFFFFFFFEu || body.size() > 0xFFFFFFFEu - data.size() - 1024 ||
        name.size() > 0xFFFF) {
      return Fail(error, "archive too large");
    }
    const std::uint32_t crc = Crc32(data);
    const auto size = static_cast<std::uint32_t>(data.size());
    const auto offset = static_cast<std::uint32_t>(body.size());
    Put32(body, kLocalSig);
    PutCommon(body, name, crc, size);
    body += name;
    body += data;
    Put32(central, kCentralSig);
    Put16(central, 20);  // version made by
    PutCommon(central, name, crc, size);
    Put16(central, 0);  // comment length
    Put16(central, 0);  // disk
    Put16(central, 0);  // internal attributes
    Put32(central, 0);  // external attributes
    Put32(central, offset);
    central += name;
  }
  std::string end;
  Put32(end, kEndSig);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, static_cast<std::uint32_t>(files.size()));
  Put16(end, static_cast<std::uint32_t>(files.size()));
  Put32(end, static_cast<std::uint32_t>(central.size()));
  Put32(end, static_cast<std::uint32_t>(body.size()));
  Put16(end, 0);

  // Written beside the target under a name of this writer's own and renamed, so a failed write
  // leaves no half archive, and a pipe or a link at a name known beforehand is never opened; a
  // link at the archive's own name is replaced, never written through.
  if (!platform::WriteFileAtomicallyAt(AT_FDCWD, zip, body + central + end))
    return Fail(error, "cannot write " + zip);
  return true;
}

bool ZipRead(const std::string& zip, std::map<std::string, std::string>& entries,
             std::string* error) {
  // Read without waiting and within the scripts' bound: a pipe or a device named as the archive
  // would hold the start (and ReloadAll) for ever, a file of gigabytes take that much memory.
  std::string in, why;
  if (platform::ReadHomeFile(zip, platform::kScriptFileBytes, in, &why) !=
      platform::eHomeFile::kRead)
    return Fail(error, why);
  if (in.size() < kEndSize) return Fail(error, "not an archive");
  // The end record sits at the end, followed by a comment of at most 65535 bytes.
  std::size_t endAt = std::string::npos;
  const std::size_t lowest = in.size() > kEndSize + 0xFFFF ? in.size() - kEndSize - 0xFFFF : 0;
  for (std::size_t at = in.size() - kEndSize + 1; at-- > lowest;) {
    if (Get32(in, at) == kEndSig) {
      endAt = at;
      break;
    }
  }
  if (endAt == std::string::npos) return Fail(error, "no end record");
  const std::uint32_t count = Get16(in, endAt + 10);
  const std::uint64_t cdSize = Get32(in, endAt + 12);
  std::uint64_t at = Get32(in, endAt + 16);
  if (at + cdSize > endAt) return Fail(error, "bad directory");

  // Each entry's local record and data, in the directory's order.
  struct stSpan {
    std::string name;
    std::uint32_t crc;
    std::uint64_t local, data, size;
  };
  std::vector<stSpan> spans;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (at + kCentralSize > endAt || Get32(in, at) != kCentralSig) {
      return Fail(error, "bad directory entry");
    }
    const std::uint32_t method = Get16(in, at + 10);
    const std::uint32_t crc = Get32(in, at + 16);
    const std::uint64_t size = Get32(in, at + 20);
    const std::uint64_t nameLen = Get16(in, at + 28);
    const std::uint64_t skip = nameLen + Get16(in, at + 30) + Get16(in, at + 32);
    const std::uint64_t local = Get32(in, at + 42);
    if (at + kCentralSize + skip > endAt) return Fail(error, "bad directory entry");
    const std::string name = in.substr(at + kCentralSize, nameLen);
    at += kCentralSize + skip;
    if (method != 0) return Fail(error, "compressed entry " + name);
    if (local + kLocalSize > in.size() || Get32(in, local) != kLocalSig) {
      return Fail(error, "bad entry " + name);
    }
    const std::uint64_t data = local + kLocalSize + Get16(in, local + 26) + Get16(in, local + 28);
    if (data + size > in.size()) return Fail(error, "truncated entry " + name);
    spans.push_back({name, crc, local, data, size});
  }
  // Entries of one archive never share bytes: directory records that point into one another's
  // data would unpack a small archive to gigabytes.
  std::vector<const stSpan*> byPlace;
  for (const stSpan& span : spans) byPlace.push_back(&span);
  std::sort(byPlace.begin(), byPlace.end(),
            [](const stSpan* a, const stSpan* b) { return a->local < b->local; });
  for (std::size_t i = 1; i < byPlace.size(); ++i)
    if (byPlace[i]->local < byPlace[i - 1]->data + byPlace[i - 1]->size)
      return Fail(error, "overlapping entries " + byPlace[i - 1]->name + " " + byPlace[i]->name);
  std::map<std::string, std::string> out;
  for (const stSpan& span : spans) {
    std::string contents = in.substr(span.data, span.size);
    if (Crc32(contents) != span.crc) return Fail(error, "checksum of " + span.name);
    if (span.name.empty() || span.name.back() == '/') continue;
    // One entry to a name: of two, the reader would keep one while a listing shows the other.
    if (!out.emplace(span.name, std::move(contents)).second)
      return Fail(error, "two entries named " + span.name);
  }
  entries = std::move(out);
  return true;
}

}  // namespace baselib
