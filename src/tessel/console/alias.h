// Rewrites console lines before they are parsed: aliases (a first word with up to four
// parameters turned into a full line, kept in "alias/*.txt"), in-memory replacements and the
// clipboard marker "$p". Process-wide singleton; worker thread only, but for SecretWordEnd (any
// thread).
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

class cAlias {
 public:
  static cAlias& Instance();

  // Starts with empty tables and loads the alias files of the working directory.
  cAlias();

  // Empties the alias table (not the replacements) and reads every "alias/*.txt" in name
  // order, each up to its first line without " = " (which is reported); a line whose word is
  // empty or holds a blank is skipped. False when no file matches.
  bool Load();
  // What AddAlias did: saved, refused (nothing changed), or set in memory only.
  enum class eAdded { kSaved, kRefused, kNotSaved };
  // Sets an alias and saves the whole alias table. A word that is empty or holds a blank or a
  // line end, or a text that holds a line end, could not be read back from the file as one
  // alias line, and a file past 1 MiB would not be read at all: it is refused and nothing
  // changes. When the save fails the alias holds in memory until the process ends (a later save
  // keeps it) and the answer is kNotSaved.
  eAdded AddAlias(const std::string& word, const std::string& text);
  // Most replacements held, and most bytes of their texts together.
  static constexpr std::size_t kMaxReplacements = 10000;
  static constexpr std::size_t kMaxReplaceBytes = std::size_t{16} << 20;
  // Sets a replacement; replacements are not saved. They last as long as the process and every
  // line passes through each of them: one that would take the table past its bounds is refused
  // (false) and nothing changes; one it holds may always be set anew within them.
  bool SetReplace(const std::string& from, const std::string& to);
  // Writes the whole alias table to "alias/alias.txt", making the folder when there is none,
  // followed by the lines of that file a load did not read (from its first line without " = ").
  // What the file holds when it is saved stays but for the aliases set here since the last save
  // (other processes of the home save it too); false, the file as it was, when it cannot be.
  bool Save();
  // The aliases (to `os`) and the replacements (to standard output), a password in a text
  // masked.
  void Display(std::ostream& os) const;
  void TraceReplace() const;

  // Applies the alias of the first word and then Replace. An alias whose placeholders do not
  // match the number of parameters given, or would make a line past 1 MiB, is reported and the
  // line is emptied, so nothing runs.
  // True when clipboard text was pasted.
  bool Alias(std::string& line);
  // Applies the replacements and the clipboard marker; true when clipboard text was pasted.
  // A line they would grow past 1 MiB (as an alias expansion would) is reported and emptied, as
  // is a line with the marker run for an account rather than the console.
  bool Replace(std::string& line);

  // Where the first word of a typed line that an alias or a replacement turns into a call
  // carrying a password (Login, SetConnect) ends: its parameters may be that password, so the
  // line is kept from the history and shown only up to there. npos when there is none, and 0
  // when the tables are being changed. Any thread; allocates nothing.
  static size_t SecretWordEnd(std::string_view line);

 private:
  using AliasTable = std::unordered_map<std::string, std::string>;

  void LoadFile(const std::string& file);
  // Reads the alias lines of a file's text into `table` up to the first line without " = ",
  // whose number it returns (0 when every line has one) with the text from there in `tail`.
  static int ReadAliasText(std::string text, AliasTable& table, std::string& tail);
  bool ExpandAlias(const std::string& word, const std::string& text, std::string& line);
  // Reports a line grown past the bound and empties it; false (nothing was pasted).
  static bool RefuseGrown(std::string& line);
  // Hands SecretWordEnd the alias words whose text carries a password (SetReplace hands it the
  // replacements).
  void PublishSecrets() const;

  AliasTable m_mapAlias;
  AliasTable m_mapReplace;
  std::string m_strUnreadTail;                // "alias/alias.txt" from the line its load stopped at
  std::unordered_set<std::string> m_changed;  // words set since the last save
};
