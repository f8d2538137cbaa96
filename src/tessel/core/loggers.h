// The system's named loggers, each created on first use and kept for the life of the process,
// and the one way the system writes to them (level 1000, text built only when enabled). Any
// thread.
#pragma once

#include <sstream>
#include <string>

#include "tessel/contracts/loglib.h"

// The level every message of the system is written at.
inline constexpr int kTesselLogLevel = 1000;

const loglib::logger& tessel_logger();    // "tessel"
const loglib::logger& tessel_info();      // "tessel.info": trace lines and host progress
const loglib::logger& tessel_err();       // "tessel.err": Error_Tessel
const loglib::logger& tessel_remote();    // "tessel.remote": routing and remote commands
const loglib::logger& tessel_numerror();  // "tessel_numerror": size warnings

// Hands one finished text to the logger's manager at the system's level.
void TesselLogWrite(const loglib::logger& log, const std::string& text);

// Writes the stream expression `what` (e.g. "a " << 5) to a logger as one message; the text is
// built only when the logger has the level enabled.
#define TESSEL_LOG(log, what)                                     \
  do {                                                            \
    const loglib::logger& tessel_log_target_ = (log);             \
    if (tessel_log_target_(kTesselLogLevel)) {                    \
      std::ostringstream tessel_log_text_;                        \
      tessel_log_text_ << what;                                   \
      TesselLogWrite(tessel_log_target_, tessel_log_text_.str()); \
    }                                                             \
  } while (0)
