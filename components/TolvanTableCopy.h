// TolvanTableCopy.h: copying the records of one dataset into a table component by field name,
// with progress reports in whole percent; used by restructure, repair, import and INSERT ...
// SELECT.
//
// Record-level failures never raise: a field that fails to convert is copied as null, a record
// whose post fails is left out (the target's insert cancelled), each with a line in the error
// text; a failure to move in the source ends the copy with a line. When the copy tracks
// auto-increment values (import, restructure, repair), each auto-increment column of the target
// ends at the highest value copied (the lowest for a negative increment). The source returns to
// the record it stood on, errors ignored.
//
// Threads: the source, the target and the copy serve one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tolvan {

class TDataSet;
class TTolvanTable;

// What a copy of table data is part of.
enum TTolvanTableOperation : uint8_t {
  tbopImport = 0,
  tbopRestructure = 1,
  tbopRepair = 2,
  tbopCopy = 3,
};

// Progress of a copy in whole percent (0 to 100); setting Abort ends it.
using TTolvanTableProgress = std::function<void(TTolvanTable& Sender, int32_t Progress,
                                                TTolvanTableOperation Operation, bool& Abort)>;

// The whole percent after Done of Total records, for any 64-bit counts: capped at 100 (a source
// that grew), and 0 without a total (Total <= 0), so that only 0 and the final 100 are reported.
int32_t TableCopyProgress(int64_t Done, int64_t Total) noexcept;

// Reports a copy's progress to Table's OnProgress (TTolvanTable::DoProgress) for Operation;
// answers whether it asked to abort.
struct TableProgressAdapter {
  TTolvanTable* Table = nullptr;
  TTolvanTableOperation Operation = tbopCopy;
  bool operator()(int32_t Progress) const;
};

// Copies every record of Source into Target (see above). Progress goes to the source's OnProgress
// when ReportOnSource (the source must then be a TTolvanTable; otherwise nothing is reported),
// else to the target's: 0 first, then the whole percent of the records handled whenever it
// rises, and 100 last, each value once. An abort at 0 ends the copy with ErrorText "Operation
// aborted"; a later one appends CR LF and "Operation aborted". ErrorText is cleared first.
void CopyTableData(TDataSet& Source, TTolvanTable& Target, bool ReportOnSource,
                   TTolvanTableOperation Operation, std::string& ErrorText);

} // namespace tolvan
