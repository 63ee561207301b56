// DB.h: the dataset framework's shared enumerations.
//
// TFieldType is the framework's column type; its ordinals appear in error texts and must not
// change. EDatabaseError is what the dataset framework and the components raise for misuse of
// their state.
//
// Threads: constant definitions only.
#pragma once

#include <cstdint>
#include <functional>

#include "classlib/SysUtils.h"

namespace tolvan {

// The dataset's state. Field writes are accepted in dsEdit .. dsNewValue and dsInternalCalc.
enum TDataSetState : uint8_t {
  dsInactive = 0,
  dsBrowse = 1,
  dsEdit = 2,
  dsInsert = 3,
  dsSetKey = 4,
  dsCalcFields = 5,
  dsFilter = 6,
  dsNewValue = 7,
  dsInternalCalc = 11
};

// Which record a fetch reads, and what it answers.
enum TGetMode : uint8_t { gmCurrent = 0, gmNext = 1, gmPrior = 2 };
enum TGetResult : uint8_t { grOK = 0, grBOF = 1, grEOF = 2, grError = 3 };

enum TBlobStreamMode : uint8_t { bmRead = 0, bmWrite = 1, bmReadWrite = 2 };

// A data field shows a column; calculated and lookup fields live in the calculated area.
enum TFieldKind : uint8_t { fkData = 0, fkCalculated = 1, fkLookup = 2 };

enum TDataEvent : uint8_t {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange
};

// Option sets are bit masks.
using TIndexOptions = uint8_t;
inline constexpr TIndexOptions ixPrimary = 0x01;
inline constexpr TIndexOptions ixUnique = 0x02;
inline constexpr TIndexOptions ixDescending = 0x04;
inline constexpr TIndexOptions ixCaseInsensitive = 0x08;
inline constexpr TIndexOptions ixExpression = 0x10;
inline constexpr TIndexOptions ixNonMaintained = 0x20;

using TFilterOptions = uint8_t;
inline constexpr TFilterOptions foCaseInsensitive = 0x01;
inline constexpr TFilterOptions foNoPartialCompare = 0x02;

using TLocateOptions = uint8_t;
inline constexpr TLocateOptions loCaseInsensitive = 0x01;
inline constexpr TLocateOptions loPartialKey = 0x02;

enum TFieldType : uint8_t {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftCursor = 22,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
  ftADT = 26,
  ftArray = 27,
  ftReference = 28,
  ftDataSet = 29,
  ftOraBlob = 30,
  ftOraClob = 31,
  ftVariant = 32,
  ftInterface = 33,
  ftIDispatch = 34,
  ftGuid = 35,
  ftTimeStamp = 36,
  ftFMTBcd = 37
};

// Where a record buffer stands: a record, before the first, after the last, or newly inserted.
enum TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };

TOLVAN_DECLARE_EXCEPTION(EDatabaseError, Exception)

class TDataSet;

// What a provider's update of one record does, and what its handler answers.
enum TUpdateKind : uint8_t { ukModify = 0, ukInsert = 1, ukDelete = 2 };
enum TUpdateAction : uint8_t { uaFail = 0, uaAbort = 1, uaSkip = 2, uaRetry = 3, uaApplied = 4 };
using TUpdateRecordEvent =
    std::function<void(TDataSet& DataSet, TUpdateKind UpdateKind, TUpdateAction& UpdateAction)>;

} // namespace tolvan
