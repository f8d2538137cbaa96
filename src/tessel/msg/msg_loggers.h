// The named loggers the message code writes to (size warnings and refused records).
// Any thread may call.
#pragma once

#include "tessel/contracts/loglib.h"

// "tessel_numerror": size warnings of records.
inline const loglib::logger& NumErrorLogger() {
  static const loglib::logger log("tessel_numerror");
  return log;
}

// "tessel.fetalerror": refused records and fatal link errors.
inline const loglib::logger& FatalErrorLogger() {
  static const loglib::logger log("tessel.fetalerror");
  return log;
}
