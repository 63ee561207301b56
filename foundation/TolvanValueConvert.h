// TolvanValueConvert.h: conversion of a value between the storage forms of two value types.
//
// ConvertValueBuffer reads a value in the storage form of one value type and returns a new
// MemoryManager buffer holding it in the storage form of another (the caller owns and frees
// it). Text results carry their terminator and the size counts it. A pair with no conversion
// raises 30052, and a conversion that fails (text that does not parse, a value outside the
// target range) raises 30051, both "Cannot cast from '%s' to '%s'". No buffer survives a failure.
//
// The source is read within SourceSize bytes only: text up to its terminator or the end of the
// buffer, whichever comes first; BLOB, MEMO and WIDEMEMO sources are exactly SourceSize bytes of
// content (WIDEMEMO as UTF-16 text).
//
// A floating number becomes a DATETIME as a count of days: its floor is the date and the rest,
// rounded to the millisecond, the time of day (-0.5 is noon of day -1), so the time is always
// within the day and never the "no time" marker. An integer becomes {n, no time}. Text is read
// into a SINGLE or FLOAT with one rounding from its digits.
//
// Threads: pure function; reads the global format settings for text.
#pragma once

#include <cstdint>

#include "foundation/TolvanTypesRoutines.h"

namespace tolvan {

void* ConvertValueBuffer(const void* Source, int32_t SourceSize, TTolvanValueType SourceType,
                         TTolvanValueType TargetType, int32_t& Size);

} // namespace tolvan
