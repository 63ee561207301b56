// Copying the records of a dataset into a table component by field name.
#include "components/TolvanTableCopy.h"

#include <exception>
#include <vector>

#include "classlib/DBFields.h"
#include "classlib/Format.h"
#include "components/TolvanDefs.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypesRoutines.h"

namespace tolvan {

int32_t TableCopyProgress(int64_t Done, int64_t Total) noexcept {
  if (Total <= 0 || Done <= 0)
    return 0;
  if (Done >= Total)
    return 100;
  // Done * 100 overflows 64 bits long before the counts themselves do.
  return int32_t((static_cast<unsigned __int128>(Done) * 100u) / static_cast<uint64_t>(Total));
}

bool TableProgressAdapter::operator()(int32_t Progress) const {
  return Table && Table->DoProgress(Progress, Operation);
}

namespace {

// The message of the exception being handled, for a line of the error text.
AnsiString CurrentMessage() {
  try {
    throw;
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return AnsiString(SUnknownError);
  }
}

// One source field with the target field it is copied into.
struct TCopyPair {
  TField* Source;
  TField* Target;
  int32_t TargetIndex; // position among the target's fields
  bool AutoInc;        // tracked auto-increment column
  bool Descending;     // its increment is negative: the lowest value is kept
  bool Copied = false; // some value was copied into it
  int64_t Limit = 0;   // the highest (lowest when descending) value copied
};

bool TracksAutoInc(TTolvanTableOperation Operation) {
  return Operation == tbopImport || Operation == tbopRestructure || Operation == tbopRepair;
}

std::vector<TCopyPair> MapFields(TDataSet& Source, TTolvanTable& Target, bool Tracking) {
  std::vector<TCopyPair> Map;
  TTolvanAdvFieldDefs& Adv = Target.AdvFieldDefs();
  for (int32_t I = 0; I < Source.Fields().Count(); ++I) {
    TField& From = Source.Fields().Fields(I);
    const int32_t DefPos = Target.FieldDefs().IndexOf(From.FieldName());
    if (DefPos < 0)
      continue;
    TField* To = Target.FindField(From.FieldName());
    if (!To)
      continue;
    TCopyPair Pair{&From, To, Target.Fields().IndexOf(To), false, false};
    if (Tracking && DefPos < Adv.Count()) {
      const TTolvanAdvFieldDef& Def = Adv.Items(DefPos);
      Pair.AutoInc = IsAutoIncFieldType(Def.FieldType());
      Pair.Descending = Def.AutoincIncrement() < 0;
    }
    Map.push_back(Pair);
  }
  return Map;
}

void CopyValue(TCopyPair& Pair) {
  TField& From = *Pair.Source;
  TField& To = *Pair.Target;
  if (From.IsNull()) {
    To.Clear();
    return;
  }
  if (To.DataType() == ftLargeint) {
    To.SetAsLargeInt(From.AsLargeInt());
  } else if (auto* Bytes = dynamic_cast<TBinaryField*>(&To)) {
    if (const auto* FromBytes = dynamic_cast<const TBinaryField*>(&From)) {
      Bytes->SetAsBytes(FromBytes->AsBytes());
    } else if (const auto* FromBlob = dynamic_cast<const TBlobField*>(&From)) {
      Bytes->SetAsBytes(FromBlob->AsBytes());
    } else {
      const AnsiString Text = From.AsString();
      Bytes->SetAsBytes(
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(Text.data()), Text.size()));
    }
  } else {
    To.Assign(From);
  }
  if (!Pair.AutoInc)
    return;
  const int64_t Value = To.DataType() == ftLargeint ? From.AsLargeInt() : From.AsInteger();
  if (!Pair.Copied || (Pair.Descending ? Value < Pair.Limit : Value > Pair.Limit))
    Pair.Limit = Value;
  Pair.Copied = true;
}

// Step 7 of a copy: one record into the target; failures become lines of the error text.
void CopyRecord(TTolvanTable& Target, std::vector<TCopyPair>& Map, int64_t RecordNo,
                std::string& ErrorText) {
  Target.Insert();
  for (TCopyPair& Pair : Map) {
    try {
      CopyValue(Pair);
    } catch (...) {
      ErrorText +=
          Format(SCopyTableFieldNullError, RecordNo, Pair.Source->FieldName(), CurrentMessage());
      try {
        Pair.Target->Clear();
      } catch (...) {
      }
    }
  }
  try {
    Target.Post();
  } catch (...) {
    ErrorText += Format(SCopyTableRecordNotImported, RecordNo, CurrentMessage());
    // A refused record left in insert would be posted again, or refuse the next Insert.
    try {
      Target.Cancel();
    } catch (...) {
    }
  }
}

// Puts the source back on the record it stood on; it may have gone meanwhile.
void ReturnToBookmark(TDataSet& Source, const TBookmark& Bookmark) noexcept {
  if (Bookmark.empty())
    return;
  try {
    Source.GotoBookmark(Bookmark);
  } catch (...) {
  }
}

} // namespace

void CopyTableData(TDataSet& Source, TTolvanTable& Target, bool ReportOnSource,
                   TTolvanTableOperation Operation, std::string& ErrorText) {
  ErrorText.clear();
  int64_t RecordNo = 1;
  Source.CheckBrowseMode();
  const int64_t Total = Source.RecordCount();

  TableProgressAdapter Report{ReportOnSource ? dynamic_cast<TTolvanTable*>(&Source) : &Target,
                              Operation};
  if (Report(0)) {
    ErrorText = SOperationAborted;
    return;
  }
  int32_t Reported = 0;
  const TBookmark Bookmark = Source.GetBookmark();
  const bool Tracking = TracksAutoInc(Operation);
  std::vector<TCopyPair> Map;

  try {
    bool AtFirst = true;
    try {
      Source.First();
    } catch (...) {
      ErrorText += SCannotRetrieveFirstRecord;
      AtFirst = false;
    }
    if (AtFirst) {
      Map = MapFields(Source, Target, Tracking);
      while (!Source.Eof()) {
        CopyRecord(Target, Map, RecordNo, ErrorText);
        ++RecordNo;
        try {
          Source.Next();
        } catch (...) {
          ErrorText += "\r\n";
          ErrorText += Format(SCannotRetrieveRecordCopyAborted, RecordNo, RecordNo - 1);
          break;
        }
        // Progress counts the records handled, so 100 means all of them.
        const int32_t Progress = TableCopyProgress(RecordNo - 1, Total);
        if (Progress > Reported) {
          Reported = Progress;
          if (Report(Progress)) {
            ErrorText += "\r\n";
            ErrorText += SOperationAborted;
            break;
          }
        }
      }
    }
    if (Tracking)
      for (const TCopyPair& Pair : Map)
        if (Pair.AutoInc && Pair.Copied)
          Target.SetAutoIncValue(Pair.TargetIndex, Pair.Limit);
  } catch (...) {
    ReturnToBookmark(Source, Bookmark);
    throw;
  }
  ReturnToBookmark(Source, Bookmark);
  if (Reported < 100)
    Report(100);
}

} // namespace tolvan
