// The named loggers the message code writes to (size warnings and refused records).
// Any thread may call.
#pragma once

#include "tessel/contracts/loglib.h"

// "tessel.fetalerror": refused records and fatal link errors.
inline const loglib::logger& FatalErrorLogger() {
  static const loglib::logger log("tessel.fetalerror");
  return log;
}
