#include "tessel/core/loggers.h"

const loglib::logger& tessel_logger() {
  static const loglib::logger l("tessel");
  return l;
}

const loglib::logger& tessel_info() {
  static const loglib::logger l("tessel.info");
  return l;
}

const loglib::logger& tessel_err() {
  static const loglib::logger l("tessel.err");
  return l;
}

const loglib::logger& tessel_remote() {
  static const loglib::logger l("tessel.remote");
  return l;
}

const loglib::logger& tessel_numerror() {
  static const loglib::logger l("tessel_numerror");
  return l;
}

void TesselLogWrite(const loglib::logger& log, const std::string& text) {
  loglib::write_msg(log.get_manager(), log, text, kTesselLogLevel);
}
