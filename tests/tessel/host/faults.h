// Faults raised on purpose, by machine instructions, so that no sanitizer intercepts them before
// the crash guard does.
#pragma once

#include <cstdint>
#include <stdexcept>

inline void FaultWriteNull() {
  std::uintptr_t address = 0;
  asm volatile("movl $7, (%0)" : : "r"(address) : "memory");
}

inline void FaultReadNull() {
  std::uintptr_t address = 0;
  int value;
  asm volatile("movl (%1), %0" : "=r"(value) : "r"(address) : "memory");
}

inline void FaultCallNull() {
  void (*volatile fn)() = nullptr;
  fn();
}

inline void FaultThrow() {
  throw std::runtime_error("cycle failed");
}
