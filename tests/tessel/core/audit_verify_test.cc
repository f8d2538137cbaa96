#include "tessel/core/audit_verify.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "tessel/core/audit_chain.h"
#include "testkit/audit_files.h"
#include "testkit/no_read_override.h"

namespace {

constexpr int64_t kDayUs = 86400LL * 1000000;
const char kDay1[] = "/2026-12-07.audit";
const char kDay2[] = "/2026-12-08.audit";

// A sample trail of two runs on two days: 4 + 4 lines.
class AuditVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    Run({"Ver()", "Login('ops','pw')"});
    at.nowUs += kDayUs;
    Run({"Hello()", "System('ls')"});
    std::string error;
    ASSERT_TRUE(LoadAuditKey(at.KeyFile(), &key, &error)) << error;
  }
  void Run(std::vector<std::string> texts) {
    ASSERT_TRUE(at.trail.Open(at.Options()));
    for (const std::string& text : texts) {
      stAuditEvent event;
      event.timeUs = at.nowUs;
      event.text = text;
      at.trail.Record(event);
    }
    at.trail.Close();
  }
  std::string Day(const char* day) const { return at.Folder() + day; }
  std::vector<std::string> Read(const char* day) const {
    return testkit::Lines(testkit::ReadFile(Day(day)));
  }
  void Write(const char* day, const std::vector<std::string>& lines) const {
    std::ofstream out(Day(day), std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << "\n";
  }
  std::string Fault(bool withKey = true) const {
    const stAuditVerdict verdict = VerifyAuditTrail(at.Folder(), withKey ? key : "");
    return verdict.holds ? "holds" : verdict.reason;
  }

  testkit::cAuditFolder at;
  std::string key;
};

// Trails written before keep verifying: the chain is SHA-256 over the previous value and the
// line, the sign HMAC-SHA256 with the key, as OpenSSL computes them, for keys of every length.
TEST(AuditChain, ChainAndSignAreSha256AndHmacSha256) {
  tAuditDigest chain{};
  const std::string body = "seq=1\tkind=open";
  std::string joined(32, '\0');
  joined += body;
  SHA256(reinterpret_cast<const unsigned char*>(joined.data()), joined.size(), chain.data());
  EXPECT_EQ(AuditChainNext(kAuditGenesis, body), chain);
  for (size_t length : {0, 1, 32, 64, 65, 200}) {
    const std::string key(length, static_cast<char>('k' + length));
    tAuditDigest want{};
    unsigned int n = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), chain.data(), chain.size(),
         want.data(), &n);
    EXPECT_EQ(AuditMac(key, chain), want) << length;
  }
}

TEST_F(AuditVerify, AWholeTrailHoldsWithAndWithoutTheKey) {
  EXPECT_EQ(Fault(false), "holds");
  EXPECT_EQ(Fault(true), "holds");
  // The key made new between runs: the trail holds with both keys, oldest first, and with no
  // other order or subset.
  std::filesystem::remove(at.KeyFile());
  Run({"Ver()"});
  std::string made, error;
  ASSERT_TRUE(LoadAuditKey(at.KeyFile(), &made, &error)) << error;
  // The key file as a Windows editor saves it (byte-order mark, CR LF) holds the same key.
  std::string hex, copied;
  std::getline(std::ifstream(at.KeyFile()), hex);
  std::ofstream(at.KeyFile()) << "\xEF\xBB\xBF" << hex << "\r\n";
  ASSERT_TRUE(LoadAuditKey(at.KeyFile(), &copied, &error)) << error;
  EXPECT_EQ(copied, made);
  EXPECT_TRUE(VerifyAuditTrail(at.Folder(), std::vector{key, made}).holds);
  for (const auto& keys : {std::vector{made, key}, std::vector{key}, std::vector{made}})
    EXPECT_NE(VerifyAuditTrail(at.Folder(), keys).reason.find("MAC does not match the key"),
              std::string::npos);
}

TEST_F(AuditVerify, EachKindOfTamperingFailsNamingTheLine) {
  auto lines = Read(kDay1);
  {
    SCOPED_TRACE("one byte changed");
    auto changed = lines;
    changed[1][changed[1].find("Ver()")] = 'W';
    Write(kDay1, changed);
    EXPECT_EQ(Fault(), "2026-12-07.audit line 2 (seq 2): changed (its chain value does not match)");
  }
  {
    SCOPED_TRACE("a line removed");
    auto removed = lines;
    removed.erase(removed.begin() + 1);
    Write(kDay1, removed);
    EXPECT_EQ(Fault(),
              "2026-12-07.audit line 2 (seq 3): 1 line(s) removed before it (gap in the "
              "sequence after seq 1)");
  }
  {
    SCOPED_TRACE("two lines swapped");
    auto swapped = lines;
    std::swap(swapped[1], swapped[2]);
    Write(kDay1, swapped);
    EXPECT_EQ(Fault(), "2026-12-07.audit line 2 (seq 3): reordered (seq 2 follows it)");
  }
  {
    SCOPED_TRACE("a line inserted");
    auto inserted = lines;
    inserted.insert(inserted.begin() + 2, lines[1]);
    Write(kDay1, inserted);
    EXPECT_EQ(Fault(),
              "2026-12-07.audit line 3 (seq 2): reordered or inserted (seq 3 was expected)");
  }
  Write(kDay1, lines);
  {
    SCOPED_TRACE("cut inside the last line");
    const std::string text = testkit::ReadFile(Day(kDay2));
    std::ofstream(Day(kDay2), std::ios::binary | std::ios::trunc)
        << text.substr(0, text.size() - 30);
    EXPECT_EQ(Fault(),
              "2026-12-08.audit line 4: partial last line (the file was cut inside a line)");
  }
}

// Whoever can write the folder can recompute every chain value; the MACs need the key.
TEST_F(AuditVerify, ATrailRecomputedWithoutTheKeyHoldsAsAChainButFailsTheKey) {
  auto lines = Read(kDay1);
  auto day2 = Read(kDay2);
  lines.insert(lines.end(), day2.begin(), day2.end());
  lines[1].replace(lines[1].find("Ver()"), 5, "Bad()");
  const std::string otherKey(32, 'k');
  tAuditDigest chain = kAuditGenesis;
  for (std::string& line : lines) {
    const std::string body = line.substr(0, line.find("\tchain="));
    chain = AuditChainNext(chain, body);
    line = body + "\tchain=" + AuditHex(chain) + "\tmac=" + AuditHex(AuditMac(otherKey, chain));
  }
  Write(kDay1, {lines.begin(), lines.begin() + 4});
  Write(kDay2, {lines.begin() + 4, lines.end()});
  EXPECT_EQ(Fault(false), "holds");
  EXPECT_EQ(Fault(true),
            "2026-12-07.audit line 1 (seq 1): MAC does not match the key (the line "
            "was signed without it)");
}

// A run that lost its closing line is cut after its last checkpoint, unless a crash report
// newer than the trail told the next start that it crashed, or its writer is still at work.
TEST_F(AuditVerify, ARunWithoutItsClosingLineIsShownCutUnlessACrashReportFollowed) {
  auto lines = Read(kDay2);
  // A run still being written holds, also while its last line is only half in the file.
  ASSERT_TRUE(at.trail.Open(at.Options()));
  EXPECT_EQ(Fault(), "holds");
  std::ofstream(Day(kDay2), std::ios::app) << "seq=10\ttime=";
  EXPECT_EQ(Fault(), "holds");
  at.trail.Close();

  lines.pop_back();
  Write(kDay2, lines);
  EXPECT_EQ(Fault(),
            "the trail stops without a closing line: cut after its last checkpoint, "
            "2026-12-08.audit line 1 (seq 5)");
  at.nowUs += 1000;
  Run({"Ver()"});
  EXPECT_EQ(Fault(),
            "the run before 2026-12-08.audit line 4 (seq 8) stops without a closing "
            "line: cut after its last checkpoint, 2026-12-08.audit line 1 (seq 5)");

  Write(kDay2, lines);
  std::ofstream(at.dir / "ERRORLOG.TXT") << "report";
  // The lines queued before the fault went into the file after the report was written.
  std::filesystem::last_write_time(
      Day(kDay2),
      std::filesystem::last_write_time(at.dir / "ERRORLOG.TXT") + std::chrono::seconds(1));
  Run({"Ver()"});
  const stAuditVerdict verdict = VerifyAuditTrail(at.Folder(), key);
  EXPECT_TRUE(verdict.holds) << verdict.reason;
  EXPECT_NE(verdict.notes.find("ended in a crash"), std::string::npos) << verdict.notes;
}

// Trail files that hold no line at all are no trail that holds, a line far longer than any the
// writer makes is not one of its lines, and a key that is no file fails at once.
TEST(AuditVerifyShape, FilesWithoutLinesAndOverlongLinesFailWithTheirReason) {
  testkit::cTempDir dir;
  const std::string folder = dir.path().string();
  std::ofstream(folder + kDay1).close();
  stAuditVerdict verdict = VerifyAuditTrail(folder, "");
  EXPECT_FALSE(verdict.holds);
  EXPECT_EQ(verdict.reason, folder + ": the audit trail files hold no line");
  std::ofstream(folder + kDay1) << std::string(200000, 'x') << "\n";
  verdict = VerifyAuditTrail(folder, "");
  EXPECT_EQ(verdict.reason, "2026-12-07.audit line 1: changed (not a line of the trail's form)");
  // Nor is the rest of its file read: grown to a sparse terabyte of zeros, it fails at once.
  std::filesystem::resize_file(folder + kDay1, 1ULL << 40);
  EXPECT_EQ(VerifyAuditTrail(folder, "").reason, verdict.reason);
  // A key path that names a device that never ends or a FIFO nobody writes to fails at once.
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  for (const std::string& path : {std::string("/dev/zero"), dir.file("fifo")}) {
    std::string key, error;
    EXPECT_FALSE(LoadAuditKey(path, &key, &error));
    EXPECT_EQ(error, "cannot read the audit key " + path);
  }
}

// A folder anyone may write into: notes stay bounded however many runs crashed, a name with line
// ends makes a one-line verdict, and a link at a day's name (to a copy of the day outside the
// folder, to itself, to an endless kernel file) fails the trail, named.
TEST(AuditVerifyShape, NotesAreBoundedAndNamesStayOnOneLine) {
  testkit::cTempDir dir;
  std::string text;
  tAuditDigest chain = kAuditGenesis;
  for (int seq = 1; seq <= 152; ++seq) {
    const std::string kind = seq == 1 ? "open" : seq < 152 ? "open\tprior=crash" : "close";
    const std::string body = "seq=" + std::to_string(seq) + "\tkind=" + kind;
    chain = AuditChainNext(chain, body);
    text += body + "\tchain=" + AuditHex(chain) + "\tmac=" + std::string(64, '0') + "\n";
  }
  dir.write("2026-12-07.audit", text);
  const stAuditVerdict verdict = VerifyAuditTrail(dir.path().string(), "");
  EXPECT_TRUE(verdict.holds) << verdict.reason;
  EXPECT_EQ(std::count(verdict.notes.begin(), verdict.notes.end(), '\n'), 101);
  EXPECT_NE(verdict.notes.find("\n50 more runs ended in a crash\n"), std::string::npos);
  dir.write("2026-12-08\nthe trail holds.audit", "x\n");
  EXPECT_EQ(VerifyAuditTrail(dir.path().string(), "").reason,
            "2026-12-08?the trail holds.audit line 1: changed (not a line of the trail's form)");
  std::filesystem::remove(dir.file("2026-12-08\nthe trail holds.audit"));
  std::filesystem::rename(dir.file("2026-12-07.audit"), dir.file("copy"));
  for (const auto& [to, at] :
       {std::pair{"copy", "07"}, {"2026-12-08.audit", "08"}, {"/proc/self/pagemap", "09"}})
    std::filesystem::create_symlink(to, dir.file("2026-12-" + std::string(at) + ".audit"));
  EXPECT_EQ(VerifyAuditTrail(dir.path().string(), "").reason,
            "2026-12-07.audit: it is a symbolic link, and the trail's files are never links");
}

// A day's file the checker cannot read is no day that holds, even when the days before end
// with a closing line.
TEST_F(AuditVerify, AFileThatCannotBeReadFailsTheTrail) {
  ASSERT_EQ(::chmod(Day(kDay2).c_str(), 0), 0);
  const testkit::cNoReadOverride asSiteUser;
  EXPECT_EQ(VerifyAuditTrail(at.Folder(), "").reason, "2026-12-08.audit: cannot be read");
}

// Every byte of the trail is covered by a chain value or a MAC: changing any one is caught.
TEST_F(AuditVerify, EveryChangedByteOfATrailIsCaught) {
  const std::string original = testkit::ReadFile(Day(kDay1));
  std::string missed;
  for (size_t at = 0; at < original.size(); ++at) {
    std::string changed = original;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);
    std::ofstream(Day(kDay1), std::ios::binary | std::ios::trunc) << changed;
    if (VerifyAuditTrail(this->at.Folder(), key).holds) missed += std::to_string(at) + " ";
  }
  EXPECT_EQ(missed, "");
}

}  // namespace
