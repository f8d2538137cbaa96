// Console text colours: the 16-colour attribute (foreground in the low nibble, background in
// the high nibble) shown through ANSI SGR sequences on standard output. Any thread; one lock
// keeps each colour change whole.
#pragma once

#include <string>

namespace platform {

inline constexpr int kColorDarkGreen = 2;
inline constexpr int kColorLightGreen = 10;
inline constexpr int kColorLightCyan = 11;    // the normal colour, restored after a section
inline constexpr int kColorLightRed = 12;     // errors and warnings
inline constexpr int kColorYellow = 14;       // link events
inline constexpr int kColorBrightWhite = 15;  // prompt and banners

// Whether colour sequences are written: never with TESSEL_COLOR=0, always with TESSEL_COLOR=1,
// otherwise only when standard output is a terminal.
bool ColorEnabled();

// The SGR sequence that shows an attribute (bright colours for values 8-15 of either nibble).
std::string AnsiSequence(int attribute);

// Flushes standard output, then makes `colour` the foreground, keeping the current background.
void SetColor(int colour);
// Flushes standard output, then shows the whole attribute (background and foreground).
void SetAttribute(int attribute);
// The attribute the console shows now.
int CurrentAttribute();
// Returns the terminal to its own colours (at the end of the process).
void ResetConsoleColor();
// Sounds the console's bell: a BEL on standard output when that is a terminal.
void ConsoleBeep();

// A coloured section: its colour from construction, light cyan again at its end.
class ColorSection {
 public:
  explicit ColorSection(int colour) { SetColor(colour); }
  ~ColorSection() { SetColor(kColorLightCyan); }
  ColorSection(const ColorSection&) = delete;
  ColorSection& operator=(const ColorSection&) = delete;
};

}  // namespace platform
