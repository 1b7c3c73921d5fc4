// Holds a critical section for one scope, released on every way out (returns and exceptions).
//
// A null section guards nothing: the owners that make their section with
// InitializeCriticalSectionAndSpinCount carry on without one when that fails, and pass null
// then. The guard neither makes nor deletes the section; its owner does.
#pragma once

#include "windows.h"

class SectionGuard {
 public:
  explicit SectionGuard(CRITICAL_SECTION* section) : m_section(section) {
    if (m_section != nullptr) EnterCriticalSection(m_section);
  }
  ~SectionGuard() {
    if (m_section != nullptr) LeaveCriticalSection(m_section);
  }
  SectionGuard(const SectionGuard&) = delete;
  SectionGuard& operator=(const SectionGuard&) = delete;

 private:
  CRITICAL_SECTION* m_section;
};
