// FuzzRelease.h: the release an input runs as.
//
// The first byte of every input of the tokenizer, expression and SQL harnesses picks the
// release (odd: 3.90, even: 4.00); the rest is the text. The release can change only while the
// storage registry is down: the tokenizer and expression harnesses never start it, the SQL
// harnesses stop their registries, select and start them again whenever an input asks for the
// other release (SwitchNeeded).
//
// Releases are found by their names here, so that the harnesses depend on no ordinal of the
// release enumeration.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "foundation/TolvanRelease.h"

namespace tolvan::fuzz {

inline const char* InputReleaseName(uint8_t First) { return (First & 1) ? "3.90" : "4.00"; }

inline bool Is390Active() { return std::strcmp(Release().Name, "3.90") == 0; }

// The input asks for another release than the active one.
inline bool SwitchNeeded(uint8_t First) {
  return std::strcmp(Release().Name, InputReleaseName(First)) != 0;
}

// Selects the input's release; the storage registry must be down.
inline void SelectInputRelease(uint8_t First) {
  if (!SwitchNeeded(First))
    return;
  for (uint8_t Id = 0; Id < 2; ++Id) {
    SelectRelease(static_cast<TTolvanReleaseId>(Id));
    if (!SwitchNeeded(First))
      return;
  }
  std::abort();
}

} // namespace tolvan::fuzz
