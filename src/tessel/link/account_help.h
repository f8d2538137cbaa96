// The console account of one link of a listening server: who is logged in on it and at which
// command level. Account files live under "db/accounts/". Worker thread only.
#pragma once

#include <string>

#include "tessel/link/account_rights.h"
#include "tessel/link/password_hash.h"

// One link's account.
class iAccount {
 public:
  virtual unsigned int GetLinkID() = 0;
  // The logged-in account name; empty when not logged in.
  virtual const char* GetName() = 0;
  virtual int GetLevel() = 0;
  // Sets name and level without any check.
  virtual void SetAccount(const char* name, int level) = 0;
  // `replayed`: the Login came from a replay of recorded traffic, not from the link's peer.
  virtual bool Login(const char* name, const char* password, bool replayed) = 0;
  virtual bool Logout() = 0;
  virtual bool IsLogin() = 0;
  // Whether the login was made by a replayed Login: it holds the link for the replay only.
  virtual bool IsReplayLogin() = 0;
  // Prints link id, name and level to the command output.
  virtual void Trace() = 0;
  virtual ~iAccount() = default;
};

class cAccountHelp : public iAccount {
 public:
  unsigned int GetLinkID() override { return m_nLinkID; }
  const char* GetName() override { return m_strName.c_str(); }
  int GetLevel() override { return m_nLevel; }
  void SetAccount(const char* name, int level) override;
  // Checks the name (IsSafeAccountName, always) and the password against the account file
  // (StoredPasswordMatches; unless the config value "check_login" is 0, which grants level 1 to
  // any valid name) and logs in; every refusal is printed to the command output and gives false.
  // The peer's own login takes the link over from a login a replay made; a replayed one finds
  // it logged in.
  bool Login(const char* name, const char* password, bool replayed) override;
  bool Logout() override;
  bool IsLogin() override { return !m_strName.empty(); }
  bool IsReplayLogin() override { return IsLogin() && m_bReplayLogin; }
  void Trace() override;
  void SetLinkID(unsigned int id) { m_nLinkID = id; }

  // The rights the account's commands run with: its file's rules, or for a login without a
  // file those of "rights_without_account"; null grants every group.
  CmdRightsPtr Rights();
  // A process account ("process = 1"), which may carry an origin.
  bool IsProcess() const { return m_rights.process; }
  // Reads the account file's rights and level again; a bad file keeps them as they were
  // (false, the reason printed).
  bool ReloadRights();

 private:
  unsigned int m_nLinkID = 0;
  std::string m_strName;
  int m_nLevel = 0;
  stAccountRights m_rights;
  bool m_bRightsRead = false;  // m_rights holds what the file or the configuration says
  bool m_bFromFile = false;
  bool m_bReplayLogin = false;
};

// The rights of any account record: cAccountHelp's; null (every group) for others.
CmdRightsPtr AccountRights(iAccount* account);

// Whether `name` may name an account file: not empty, at most 64 bytes, no path separator,
// blank, control or shell-special character, no "..", and not starting with '.'. Multi-byte
// characters are allowed when they are well-formed UTF-8 and no control or format character.
bool IsSafeAccountName(const char* name);

// "db/accounts/" + name + ".ini".
std::string AccountFilePath(const std::string& name);

// Compares two passwords over their whole length, whatever the first difference, so the time
// taken tells nothing of where they differ.
bool PasswordsEqual(const std::string& a, const std::string& b);

// Whether `given` is the password an account file stores (clear, or a hash form of
// password_hash.h), or whether the hash could not be checked. A verdict that a check off the
// worker made for exactly this pair (PresetPasswordCheck) is taken, once, instead of deriving the
// hash again; while one is set, a hash other than the one it was made for (the file changed
// meanwhile) is refused, and not derived on the worker. A preset of an empty `stored` (the desk
// found no hash) refuses any hash so. Worker thread only.
ePasswordCheck StoredPasswordMatches(const std::string& stored, const std::string& given);
void PresetPasswordCheck(const std::string& stored, const std::string& given,
                         ePasswordCheck verdict);
// Drops a verdict not taken (the login was refused before its password was looked at).
void ForgetPasswordCheck();
// Whether the preset's login was refused with no password looked at (no guess): the file's hash
// changed during its check, or the account file could not be read for now (no descriptor free);
// until the next preset or ForgetPasswordCheck.
bool RefusedWithoutGuess();
// The text of the account file at `path` as the login desk read it, for the next Login of that
// file to take (once) instead of reading the file again: the desk hands it over only while the
// file is unchanged since. ForgetPasswordCheck drops it as well. Worker thread only.
void PresetAccountText(const std::string& path, std::string text);
