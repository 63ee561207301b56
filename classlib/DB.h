// DB.h: the dataset framework's shared enumerations.
//
// TFieldType is the framework's column type; its ordinals appear in error texts and must not
// change. EDatabaseError is what the dataset framework and the components raise for misuse of
// their state.
//
// Threads: constant definitions only.
#pragma once

#include <cstdint>

#include "classlib/SysUtils.h"

namespace tolvan {

enum TFieldType : uint8_t {
  ftUnknown = 0, ftString = 1, ftSmallint = 2, ftInteger = 3, ftWord = 4, ftBoolean = 5,
  ftFloat = 6, ftCurrency = 7, ftBCD = 8, ftDate = 9, ftTime = 10, ftDateTime = 11, ftBytes = 12,
  ftVarBytes = 13, ftAutoInc = 14, ftBlob = 15, ftMemo = 16, ftGraphic = 17, ftFmtMemo = 18,
  ftParadoxOle = 19, ftDBaseOle = 20, ftTypedBinary = 21, ftCursor = 22, ftFixedChar = 23,
  ftWideString = 24, ftLargeint = 25, ftADT = 26, ftArray = 27, ftReference = 28, ftDataSet = 29,
  ftOraBlob = 30, ftOraClob = 31, ftVariant = 32, ftInterface = 33, ftIDispatch = 34, ftGuid = 35,
  ftTimeStamp = 36, ftFMTBcd = 37
};

// Where a record buffer stands: a record, before the first, after the last, or newly inserted.
enum TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };

TOLVAN_DECLARE_EXCEPTION(EDatabaseError, Exception)

} // namespace tolvan
