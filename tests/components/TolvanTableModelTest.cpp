// Seeded random steps on a table component over a MEMORY table, checked after every step against
// a std::vector model with the same predicates and orders: moves, record numbers, bookmarks (also
// of deleted rows), index switches by IndexName, IndexFieldNames and none, filters and the filter
// event, Locate, Lookup and Find; SetKey and GotoKey; key ranges with either side sometimes unset,
// which an index switch drops; Insert, Append, Edit, Post, Cancel and Delete, some refused as
// duplicates, moving rows into and out of the range; rows inserted and deleted behind the table
// through an engine cursor of its own. A failure prints the seed and the step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "classlib/Collation.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanConverts.h"
#include "foundation/TolvanExcept.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/TestDataSet.h"
#include "tests/foundation/TestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

enum : int32_t { fID = 0, fName = 1, fDay = 2, fAmount = 3, fNote = 4 };

struct TRow {
  int32_t Id = 0;
  std::optional<std::string> Name;
  std::optional<int32_t> Day;
  std::optional<double> Amount;
  std::optional<std::string> Note;
  // Where the engine stored it; a deleted record's place may go to a later row.
  TTolvanRecordID Rid{-1, 0};
};

bool operator==(const TRow& A, const TRow& B) {
  return A.Id == B.Id && A.Name == B.Name && A.Day == B.Day && A.Amount == B.Amount &&
         A.Note == B.Note;
}

std::string Describe(const TRow& Row) {
  std::ostringstream S;
  S << "{" << Row.Id << ", " << (Row.Name ? "'" + *Row.Name + "'" : "NULL") << ", "
    << (Row.Day ? std::to_string(*Row.Day) : "NULL") << ", "
    << (Row.Amount ? std::to_string(*Row.Amount) : "NULL") << ", "
    << (Row.Note ? "'" + *Row.Note + "'" : "NULL") << "}";
  return S.str();
}

// The indexes, each a total order: storage order, the key, the name without case then the key,
// the day descending then the key.
const char* const IndexNames[] = {"", "PK", "ByName", "ByDay"};
// The same indexes chosen by their fields: the field lists the indexes start with.
const char* const IndexFields[] = {"", "ID", "Name", "Day;ID"};

// A key buffer as the model sees it: the values written into it and whether it was modified.
struct TKey {
  std::optional<int32_t> Id;
  std::optional<std::string> Name;
  std::optional<int32_t> Day;
  bool Modified = false;
};

bool operator==(const TKey& A, const TKey& B) {
  return A.Id == B.Id && A.Name == B.Name && A.Day == B.Day && A.Modified == B.Modified;
}

std::string Describe(const TKey& Key) {
  std::ostringstream S;
  S << "[" << (Key.Id ? std::to_string(*Key.Id) : "-") << ", " << (Key.Name ? *Key.Name : "-")
    << ", " << (Key.Day ? std::to_string(*Key.Day) : "-") << (Key.Modified ? "" : " unset") << "]";
  return S.str();
}

void MakeModelTable() {
  TTolvanFieldDefs Fields;
  const auto Add = [&](const char* Name, TTolvanFieldType Type, int32_t Size) {
    TTolvanFieldDef& F = Fields.AddNew();
    F.SetName(Name);
    F.SetType(Type, Size);
  };
  Add("ID", tftInteger, 0);
  Add("Name", tftVarchar, 12);
  Add("Day", tftDate, 0);
  Add("Amount", tftCurrency, 0);
  Add("Note", tftMemo, 0);
  TTolvanIndexDefs Indexes;
  TTolvanIndexDef& Pk = Indexes.AddNew();
  Pk.SetName("PK");
  Pk.SetPrimary(1);
  Pk.SetUnique(1);
  Pk.SetColumnCount(1);
  Pk.Columns(0).SetName("ID");
  TTolvanIndexDef& ByName = Indexes.AddNew();
  ByName.SetName("ByName");
  ByName.SetColumnCount(2);
  ByName.Columns(0).SetName("Name");
  ByName.Columns(0).SetCaseInsensitive(1);
  ByName.Columns(1).SetName("ID");
  TTolvanIndexDef& ByDay = Indexes.AddNew();
  ByDay.SetName("ByDay");
  ByDay.SetColumnCount(2);
  ByDay.Columns(0).SetName("Day");
  ByDay.Columns(0).SetDescending(1);
  ByDay.Columns(1).SetName("ID");
  TTolvanConstraintDefs Constraints;
  auto& Primary = Constraints.AddPrimary();
  Primary.SetName("PK");
  Primary.Index().SetName("PK");
  Primary.Columns().emplace_back("ID", 0);
  MakeEngineTable("MEMORY", "M", Fields, Indexes, Constraints);
}

// Writes and deletes rows through a cursor of its own.
class TEngineWriter {
public:
  explicit TEngineWriter(TTolvanDatabase& Database) {
    FCursor.SetSession(Database.EngineSession());
    FCursor.SetTableName("M");
    FCursor.SetInMemory(false);
    FCursor.OpenTable(nullptr, nullptr, nullptr);
    FBuffer = FCursor.AllocRecordBuffer();
    FCursor.SetRecordBuffer(FBuffer);
  }
  ~TEngineWriter() {
    FCursor.SetRecordBuffer(nullptr);
    TTolvanCursor::FreeRecordBuffer(FBuffer);
    FCursor.CloseTable();
  }

  // False when the engine refuses the row (a duplicate key); else Row learns its record id.
  bool Insert(TRow& Row) {
    FCursor.InitRecord(FBuffer, true);
    TTolvanVariant Value;
    Value.SetAsInteger(Row.Id);
    FCursor.SetCursorFieldValue(Value, fID, nullptr, false);
    if (Row.Name) {
      Value.Clear();
      Value.SetAsString(AnsiString(*Row.Name));
      FCursor.SetCursorFieldValue(Value, fName, nullptr, false);
    }
    if (Row.Day) {
      Value.Clear();
      Value.SetAsStoredDate(*Row.Day);
      FCursor.SetCursorFieldValue(Value, fDay, nullptr, false);
    }
    if (Row.Amount) {
      Value.Clear();
      Value.SetAsCurrency(*Row.Amount);
      FCursor.SetCursorFieldValue(Value, fAmount, nullptr, false);
    }
    FCursor.InsertRecordHook();
    if (Row.Note) {
      TTolvanStream* Stream = FCursor.OpenBlob(true, fNote, tbmWrite);
      Stream->Write(Row.Note->data(), int64_t(Row.Note->size()));
      FCursor.CloseBlob(fNote);
    }
    FCursor.PostRecord(true);
    if (FCursor.LastErrorCode() != 0)
      return false;
    Row.Rid = FCursor.Position();
    return true;
  }

  TTolvanRecordID RecordIDOf(int32_t Id) {
    EXPECT_TRUE(FCursor.Locate("ID", Variant(Id), false, false));
    return FCursor.Position();
  }

  void Delete(int32_t Id) {
    ASSERT_TRUE(FCursor.Locate("ID", Variant(Id), false, false));
    StoreRecordID(FBuffer, FCursor.RecordIDOffset(), FCursor.Position());
    FCursor.DeleteRecord();
    ASSERT_EQ(FCursor.LastErrorCode(), 0);
  }

private:
  TTolvanLocalCursor FCursor;
  uint8_t* FBuffer = nullptr;
};

// The dataset's filter: the text (ID above or below a bound, or none) and the event (keys not
// divisible by three).
struct TFilterModel {
  bool Filtered = false;
  std::string Text;
  char Op = 0;
  int32_t Bound = 0;
  bool Event = false;

  bool PassesText(const TRow& Row) const {
    return Op == 0 || (Op == '>' ? Row.Id > Bound : Row.Id < Bound);
  }
  bool PassesEvent(const TRow& Row) const { return !Event || Row.Id % 3 != 0; }
};

class TModelRun {
public:
  TModelRun(uint32_t Seed, int32_t Steps) : FSeed(Seed), FSteps(Steps), FRandom(Seed) {}

  void Run() {
    MakeModelTable();
    TComponentPtr<TTolvanTable> Owner(NewComponent<TTolvanTable>(nullptr));
    D = Owner.get();
    D->SetTableName("M");
    D->Open();
    // The writer goes before the dataset closes: a temporary database takes its engine session
    // along.
    std::optional<TEngineWriter> Writer;
    Writer.emplace(*D->Database());
    W = &*Writer;
    // Half the runs post their edits with an update event assigned: the moves after a post
    // must not depend on it.
    int32_t UpdateEvents = 0;
    if (FSeed % 2)
      D->Database()->SetBeforeUpdateRecord(
          [&](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant,
              TTolvanArrayOfTTolvanVariant, bool&) { ++UpdateEvents; });
    for (int32_t K = 0; K < 12; ++K)
      InsertRow();
    DoFirst();
    for (FStep = 0; FStep < FSteps && !::testing::Test::HasFailure(); ++FStep) {
      OneStep();
      Check();
    }
    if (FSeed % 2) {
      EXPECT_EQ(UpdateEvents, FPostedEdits) << "seed " << FSeed;
    }
    W = nullptr;
    Writer.reset();
    D->Close();
  }

private:
  int32_t Pick(int32_t Low, int32_t High) {
    return std::uniform_int_distribution<int32_t>(Low, High)(FRandom);
  }
  bool Chance(int32_t Percent) { return Pick(1, 100) <= Percent; }
  std::string Where() const {
    return "seed " + std::to_string(FSeed) + " step " + std::to_string(FStep) + " (" + FLast +
           "; index '" + IndexNames[FIndex] + "', range " +
           (FRange ? Describe(FRangeStart) + ".." + Describe(FRangeEnd) : "none") + ", filter '" +
           FFilter.Text + "'" + (FFilter.Filtered ? " on" : " off") +
           (FFilter.Event ? " with event" : "") + ", shown " +
           (FShown ? std::to_string(*FShown) : "none") + ")";
  }

  // --- the model ------------------------------------------------------------------------------

  static int CompareName(const std::optional<std::string>& A, const std::optional<std::string>& B) {
    if (!A || !B)
      return A ? 1 : B ? -1 : 0;
    const int R = AnsiCompareText(*A, *B);
    return R < 0 ? -1 : R > 0 ? 1 : 0;
  }

  // Rows the dataset shows, in the current index's order.
  std::vector<const TRow*> Visible() const {
    std::vector<const TRow*> Rows;
    for (const TRow& Row : FRows)
      if (Passes(Row))
        Rows.push_back(&Row);
    Order(Rows);
    return Rows;
  }

  // Every row of the range (all rows without one) in the current index's order.
  std::vector<const TRow*> All() const {
    std::vector<const TRow*> Rows;
    for (const TRow& Row : FRows)
      if (InRange(Row))
        Rows.push_back(&Row);
    Order(Rows);
    return Rows;
  }

  void Order(std::vector<const TRow*>& Rows) const {
    switch (FIndex) {
    case 1:
      std::stable_sort(Rows.begin(), Rows.end(),
                       [](const TRow* A, const TRow* B) { return A->Id < B->Id; });
      break;
    case 2:
      std::stable_sort(Rows.begin(), Rows.end(), [](const TRow* A, const TRow* B) {
        const int R = CompareName(A->Name, B->Name);
        return R != 0 ? R < 0 : A->Id < B->Id;
      });
      break;
    case 3:
      // Descending: NULL, first in ascending order, comes last.
      std::stable_sort(Rows.begin(), Rows.end(), [](const TRow* A, const TRow* B) {
        if (A->Day != B->Day) {
          if (!A->Day || !B->Day)
            return bool(A->Day);
          return *A->Day > *B->Day;
        }
        return A->Id < B->Id;
      });
      break;
    default:
      // Storage order: by record id, that is by slot; a freed slot goes to a later row.
      std::stable_sort(Rows.begin(), Rows.end(), [](const TRow* A, const TRow* B) {
        return A->Rid.PageNo != B->Rid.PageNo ? A->Rid.PageNo < B->Rid.PageNo
                                              : A->Rid.PageItemNo < B->Rid.PageItemNo;
      });
      break;
    }
  }

  static int CompareNumber(const std::optional<int32_t>& A, const std::optional<int32_t>& B) {
    if (!A || !B)
      return A ? 1 : B ? -1 : 0;
    return *A < *B ? -1 : *A > *B ? 1 : 0;
  }

  // A row against a key in the current index's order, over every column of the index: a null
  // sorts first, last in the descending column.
  int CompareKey(const TRow& Row, const TKey& Key) const {
    const std::optional<int32_t> Id = Row.Id;
    int R = 0;
    switch (FIndex) {
    case 2:
      R = CompareName(Row.Name, Key.Name);
      break;
    case 3:
      R = -CompareNumber(Row.Day, Key.Day);
      break;
    default:
      break;
    }
    return R != 0 ? R : CompareNumber(Id, Key.Id);
  }

  // Ranges compare the whole key, inclusively; a side never set is open.
  bool InRange(const TRow& Row) const {
    if (!FRange)
      return true;
    if (FRangeStart.Modified && CompareKey(Row, FRangeStart) < 0)
      return false;
    if (FRangeEnd.Modified && CompareKey(Row, FRangeEnd) > 0)
      return false;
    return true;
  }

  // The shown row's position in Rows, -1 when none or not there.
  int32_t PositionIn(const std::vector<const TRow*>& Rows) const {
    if (!FShown)
      return -1;
    for (size_t K = 0; K < Rows.size(); ++K)
      if (Rows[K]->Id == *FShown)
        return int32_t(K);
    return -1;
  }

  const TRow* Find(int32_t Id) const {
    for (const TRow& Row : FRows)
      if (Row.Id == Id)
        return &Row;
    return nullptr;
  }

  void Show(const TRow* Row, bool Bof, bool Eof) {
    FShown = Row ? std::optional<int32_t>(Row->Id) : std::nullopt;
    FBof = Bof;
    FEof = Eof;
  }

  // --- the dataset's view ---------------------------------------------------------------------

  TRow ShownRow() {
    TTolvanCursor& Cursor = *D->Cursor();
    uint8_t* const Held = Cursor.RecordBuffer();
    Cursor.SetRecordBuffer(D->ActiveBuffer());
    TRow Row;
    TTolvanVariant Value;
    Cursor.GetFieldValue(Value, fID, false, true);
    Row.Id = Value.IsNull() ? -1 : Value.GetAsInteger();
    Value.Clear();
    Cursor.GetFieldValue(Value, fName, false, true);
    if (!Value.IsNull())
      Row.Name = Value.GetAsString();
    Value.Clear();
    Cursor.GetFieldValue(Value, fDay, false, true);
    if (!Value.IsNull())
      Row.Day = Value.GetAsStoredDate();
    Value.Clear();
    Cursor.GetFieldValue(Value, fAmount, false, true);
    if (!Value.IsNull())
      Row.Amount = Value.GetAsCurrency();
    Value.Clear();
    Cursor.GetFieldValue(Value, fNote, false, true);
    if (!Value.IsNull())
      Row.Note = Value.GetAsString();
    Value.Clear();
    Cursor.SetRecordBuffer(Held);
    return Row;
  }

  static std::vector<int32_t> KeysOf(const std::vector<const TRow*>& Rows) {
    std::vector<int32_t> Keys;
    for (const TRow* Row : Rows)
      Keys.push_back(Row->Id);
    return Keys;
  }

  static std::string Ids(const std::vector<const TRow*>& Rows) {
    std::string Text;
    for (const TRow* Row : Rows)
      Text += std::to_string(Row->Id) + " ";
    return Text;
  }

  void Check() {
    const std::vector<const TRow*> Rows = Visible();
    ASSERT_EQ(D->RecordCount(), int32_t(Rows.size())) << Where();
    ASSERT_EQ(D->Bof(), FBof) << Where();
    ASSERT_EQ(D->Eof(), FEof) << Where();
    if (!FShown) {
      ASSERT_TRUE(D->IsEmpty()) << Where();
      ASSERT_EQ(D->RecNo(), -1) << Where();
      return;
    }
    ASSERT_FALSE(D->IsEmpty()) << Where();
    const int32_t Position = PositionIn(Rows);
    ASSERT_GE(Position, 0) << Where() << ": the model shows a row it does not see";
    const TRow Shown = ShownRow();
    ASSERT_TRUE(Shown == *Rows[size_t(Position)])
        << Where() << ": shown " << Describe(Shown) << ", expected "
        << Describe(*Rows[size_t(Position)]) << " in " << Ids(Rows);
    ASSERT_EQ(D->RecNo(), Position + 1) << Where();
    // The dataset's own field data agrees with the engine's reading.
    ASSERT_EQ(D->FieldByName("ID").Value().AsInteger(), Shown.Id) << Where();
    ASSERT_EQ(D->FieldByName("Name").IsNull(), !Shown.Name) << Where();
  }

  // --- steps ----------------------------------------------------------------------------------

  void DoFirst() {
    D->First();
    const auto Rows = Visible();
    if (Rows.empty())
      Show(nullptr, true, true);
    else
      Show(Rows.front(), true, false);
  }

  void DoLast() {
    D->Last();
    const auto Rows = Visible();
    if (Rows.empty())
      Show(nullptr, true, true);
    else
      Show(Rows.back(), false, true);
  }

  void DoMoveBy(int32_t Distance) {
    const int32_t Moved = D->MoveBy(Distance);
    const auto Rows = Visible();
    int32_t Expected = 0;
    if (Distance != 0 && !(Distance > 0 && FEof) && !(Distance < 0 && FBof)) {
      const int32_t Position = PositionIn(Rows);
      if (Distance > 0) {
        const int32_t Room = int32_t(Rows.size()) - 1 - Position;
        Expected = std::min(Distance, Room);
        FBof = false;
        if (Distance > Room)
          FEof = true;
      } else {
        Expected = -std::min(-Distance, Position);
        FEof = false;
        if (-Distance > Position)
          FBof = true;
      }
      if (Position >= 0)
        FShown = Rows[size_t(Position + Expected)]->Id;
    }
    ASSERT_EQ(Moved, Expected) << Where();
  }

  TRow RandomRow() {
    TRow Row;
    Row.Id = Pick(1, 60);
    static const char* const Words[] = {"apple", "Apple", "berry", "Cherry",  "date",
                                        "elder", "Fig",   "grape", "APRICOT", "banana"};
    if (Chance(85))
      Row.Name = std::string(Words[Pick(0, 9)]) + (Chance(50) ? "" : std::to_string(Pick(0, 9)));
    if (Chance(80))
      Row.Day = 40000 + Pick(0, 30);
    if (Chance(80))
      Row.Amount = Pick(-400, 400) * 0.25;
    if (Chance(70))
      Row.Note = std::string(size_t(Pick(1, 40)), char('a' + Pick(0, 25)));
    return Row;
  }

  void InsertRow() {
    TRow Row = RandomRow();
    const bool Duplicate = Find(Row.Id) != nullptr;
    const bool Stored = W->Insert(Row);
    ASSERT_EQ(Stored, !Duplicate) << Where() << ": insert " << Describe(Row);
    if (Stored)
      FRows.push_back(Row);
  }

  // After changes made behind the dataset: Refresh rebuilds the cursor's result set and keeps
  // the shown row.
  void Resynchronise() {
    D->Refresh();
    if (FShown && PositionIn(Visible()) >= 0)
      FBof = FEof = false;
    else
      DoFirst();
  }

  void OneStep() {
    const int32_t Kind = Pick(0, 24);
    FLast = "kind " + std::to_string(Kind);
    switch (Kind) {
    case 0:
      DoFirst();
      break;
    case 1:
      DoLast();
      break;
    case 2: {
      const int32_t Distance = Pick(-3, 3);
      FLast += " MoveBy " + std::to_string(Distance);
      DoMoveBy(Distance);
      break;
    }
    case 3: {
      const auto Rows = Visible();
      if (Rows.empty())
        break;
      const int32_t N = Pick(1, int32_t(Rows.size()) + 2);
      FLast += " SetRecNo " + std::to_string(N);
      D->SetRecNo(N);
      Show(Rows[size_t(std::min<int32_t>(N, int32_t(Rows.size())) - 1)], false, false);
      break;
    }
    case 4:
      // A bookmark of the shown row.
      if (FShown)
        FBookmarks[*FShown] = D->GetBookmark();
      break;
    case 5:
      StepGotoBookmark();
      break;
    case 6:
      StepCompareBookmarks();
      break;
    case 7:
      InsertRow();
      Resynchronise();
      break;
    case 8: {
      // Delete a row other than the shown one, behind the dataset.
      if (FRows.size() < 2)
        break;
      const size_t K = size_t(Pick(0, int32_t(FRows.size()) - 1));
      if (FShown && FRows[K].Id == *FShown)
        break;
      FLast += " delete " + std::to_string(FRows[K].Id);
      W->Delete(FRows[K].Id);
      Forget(FRows[K].Id);
      FRows.erase(FRows.begin() + ptrdiff_t(K));
      Resynchronise();
      break;
    }
    case 9:
      StepSelectIndex();
      break;
    case 10:
      StepFilterText();
      break;
    case 11:
      FLast += " Filtered";
      D->SetFiltered(!FFilter.Filtered);
      FFilter.Filtered = !FFilter.Filtered;
      ModelFirst();
      break;
    case 12:
      FLast += " OnFilterRecord";
      if (FFilter.Event)
        D->SetOnFilterRecord(nullptr);
      else
        D->SetOnFilterRecord([this](TDataSet&, bool& Accept) {
          int32_t Id = 0;
          D->Cursor()->GetFieldNative(fID, D->CurrentRecordBuffer(), &Id);
          Accept = Id % 3 != 0;
        });
      FFilter.Event = !FFilter.Event;
      if (FFilter.Filtered)
        ModelFirst();
      break;
    case 13:
      StepLocate();
      break;
    case 14:
      StepFind();
      break;
    case 15:
      StepLookup();
      break;
    case 16:
    case 17:
      StepInsert(Kind == 17);
      break;
    case 18:
      StepEdit();
      break;
    case 19:
      StepDelete();
      break;
    case 20:
      StepGotoKey();
      break;
    case 21:
    case 22:
      StepApplyRange();
      break;
    case 23:
      StepCancelRange();
      break;
    case 24:
      // Edits are what move rows into and out of a range.
      StepEdit();
      break;
    default:
      break;
    }
  }

  // A deleted row's bookmark stays, under a negative key no row has: a new row of the same key
  // is another record.
  void Forget(int32_t Id) {
    const auto It = FBookmarks.find(Id);
    if (It == FBookmarks.end())
      return;
    FBookmarks[-1 - int32_t(FBookmarks.size()) - FDeadCount++] = std::move(It->second);
    FBookmarks.erase(Id);
  }

  // --- editing through the dataset ----------------------------------------------------------

  // The row's columns into the dataset's fields.
  void WriteFields(const TRow& Row) {
    D->FieldByName("ID").SetValue(Variant(Row.Id));
    if (Row.Name)
      D->FieldByName("Name").SetValue(Variant(Row.Name->c_str()));
    else
      D->FieldByName("Name").Clear();
    if (Row.Day)
      D->FieldByName("Day").SetValue(Variant::FromDateTime(StoredDateToDateTime(*Row.Day)));
    else
      D->FieldByName("Day").Clear();
    if (Row.Amount)
      D->FieldByName("Amount").SetValue(Variant(*Row.Amount));
    else
      D->FieldByName("Amount").Clear();
    if (Row.Note)
      D->FieldByName("Note").SetValue(Variant(Row.Note->c_str()));
    else
      D->FieldByName("Note").Clear();
  }

  bool Passes(const TRow& Row) const {
    return InRange(Row) &&
           (!FFilter.Filtered || (FFilter.PassesText(Row) && FFilter.PassesEvent(Row)));
  }

  // Posts, or cancels when told; a refused post leaves the state, then it is cancelled.
  bool PostOrCancel(bool Refused) {
    if (Chance(15)) {
      FLast += " Cancel";
      D->Cancel();
      return false;
    }
    FLast += " Post";
    // The update event fires before the store, for a refused post too.
    if (D->State() == dsEdit)
      ++FPostedEdits;
    if (Refused) {
      EXPECT_THROW(D->Post(), Exception) << Where();
      EXPECT_TRUE(D->State() == dsInsert || D->State() == dsEdit) << Where();
      D->Cancel();
      return false;
    }
    D->Post();
    return true;
  }

  void StepInsert(bool Append) {
    TRow Row = RandomRow();
    FLast += (Append ? " Append " : " Insert ") + Describe(Row);
    if (Append)
      D->Append();
    else
      D->Insert();
    ASSERT_EQ(D->RecNo(), -1) << Where();
    WriteFields(Row);
    const bool Duplicate = Find(Row.Id) != nullptr;
    if (!PostOrCancel(Duplicate)) {
      // Back to the record shown before; an append went to the last record first.
      if (Append)
        ModelLast();
      return;
    }
    Row.Rid = W->RecordIDOf(Row.Id);
    FRows.push_back(Row);
    if (Passes(Row)) {
      Show(&FRows.back(), false, false);
    } else {
      // An insert the dataset does not see shows the record shown before it (an append's: the
      // last record).
      if (Append)
        ModelLast();
      FBof = FEof = false;
      if (!FShown)
        ModelFirst();
    }
  }

  void StepEdit() {
    if (!FShown)
      return;
    const TRow* Old = Find(*FShown);
    TRow Row = RandomRow();
    if (Chance(70))
      Row.Id = Old->Id;
    if (Chance(50))
      Row.Note = Old->Note;
    Row.Rid = Old->Rid;
    FLast += " Edit " + Describe(*Old) + " to " + Describe(Row);
    D->Edit();
    WriteFields(Row);
    const bool Duplicate = Row.Id != Old->Id && Find(Row.Id) != nullptr;
    const auto Before = Visible();
    const int32_t Position = PositionIn(Before);
    const std::vector<int32_t> BeforeIds = KeysOf(Before);
    if (!PostOrCancel(Duplicate)) {
      FBof = FEof = false;
      return;
    }
    TRow* Stored = const_cast<TRow*>(Old);
    *Stored = Row;
    FShown = Row.Id;
    if (Passes(Row)) {
      FBof = FEof = false;
      return;
    }
    ShowNeighbour(BeforeIds, Position, Row.Id);
  }

  void StepDelete() {
    if (!FShown)
      return;
    const int32_t Id = *FShown;
    FLast += " Delete " + std::to_string(Id);
    const auto Before = Visible();
    const int32_t Position = PositionIn(Before);
    const std::vector<int32_t> BeforeIds = KeysOf(Before);
    D->Delete();
    Forget(Id);
    FRows.erase(
        std::find_if(FRows.begin(), FRows.end(), [&](const TRow& Row) { return Row.Id == Id; }));
    ShowNeighbour(BeforeIds, Position, Id);
  }

  // The record that left the view stood at Position of Before: the next one shows, else the
  // prior, else none.
  void ShowNeighbour(const std::vector<int32_t>& Ids, int32_t Position, int32_t Gone) {
    const auto Live = [&](size_t K) {
      return Ids[K] != Gone && Find(Ids[K]) && Passes(*Find(Ids[K]));
    };
    for (size_t K = size_t(Position) + 1; K < Ids.size(); ++K)
      if (Live(K))
        return Show(Find(Ids[K]), false, false);
    for (size_t K = size_t(Position); K-- > 0;)
      if (Live(K))
        return Show(Find(Ids[K]), false, false);
    Show(nullptr, true, true);
  }

  void ModelLast() {
    const auto Rows = Visible();
    if (Rows.empty())
      Show(nullptr, true, true);
    else
      Show(Rows.back(), false, true);
  }

  // The model's side of a move to the first record.
  void ModelFirst() {
    const auto Rows = Visible();
    if (Rows.empty())
      Show(nullptr, true, true);
    else
      Show(Rows.front(), true, false);
  }

  // The live row a bookmark names, by its record id.
  const TRow* RowOf(const TBookmark& Bookmark) const {
    const TTolvanRecordID ID = LoadLE<TTolvanRecordID>(Bookmark.data());
    for (const TRow& Row : FRows)
      if (Row.Rid == ID)
        return &Row;
    return nullptr;
  }

  void StepGotoBookmark() {
    if (FBookmarks.empty())
      return;
    auto It = FBookmarks.begin();
    std::advance(It, Pick(0, int32_t(FBookmarks.size()) - 1));
    const int32_t Id = It->first;
    FLast += " GotoBookmark " + std::to_string(Id);
    const TRow* Row = RowOf(It->second);
    ASSERT_EQ(D->BookmarkValid(It->second), Row != nullptr) << Where();
    if (!Row) {
      ASSERT_THROW(D->GotoBookmark(It->second), Exception) << Where();
      return;
    }
    const auto Rows = Visible();
    if (std::find(Rows.begin(), Rows.end(), Row) == Rows.end())
      return;
    D->GotoBookmark(It->second);
    Show(Row, false, false);
  }

  void StepCompareBookmarks() {
    if (FBookmarks.size() < 2)
      return;
    auto A = FBookmarks.begin();
    std::advance(A, Pick(0, int32_t(FBookmarks.size()) - 1));
    auto B = FBookmarks.begin();
    std::advance(B, Pick(0, int32_t(FBookmarks.size()) - 1));
    FLast += " CompareBookmarks " + std::to_string(A->first) + " " + std::to_string(B->first);
    const auto Rows = Visible();
    const auto Number = [&](const TBookmark& Bookmark) -> std::optional<int32_t> {
      const TRow* Row = RowOf(Bookmark);
      if (!Row)
        return -1;
      const auto It = std::find(Rows.begin(), Rows.end(), Row);
      if (It == Rows.end())
        return std::nullopt;
      return int32_t(It - Rows.begin()) + 1;
    };
    const auto NA = Number(A->second);
    const auto NB = Number(B->second);
    if (!NA || !NB)
      return;
    const int32_t Expected = *NA == *NB ? 0 : *NA > *NB ? 1 : -1;
    ASSERT_EQ(D->CompareBookmarks(A->second, B->second), Expected) << Where();
    ASSERT_EQ(D->CompareBookmarks(A->second, {}), -1) << Where();
  }

  void StepFilterText() {
    TFilterModel Next = FFilter;
    if (Chance(20)) {
      Next.Op = 0;
      Next.Text.clear();
    } else {
      Next.Op = Chance(50) ? '>' : '<';
      Next.Bound = Pick(0, 60);
      Next.Text = "ID " + std::string(1, Next.Op) + " " + std::to_string(Next.Bound);
    }
    FLast += " Filter '" + Next.Text + "'";
    const bool Changed = Next.Text != FFilter.Text;
    D->SetFilter(Next.Text);
    FFilter = Next;
    if (FFilter.Filtered && Changed)
      ModelFirst();
  }

  void StepLocate() {
    // A prefix of a name, in another case, or a whole name in another case.
    std::string Key;
    const bool Partial = Chance(60);
    const TRow* Source =
        FRows.empty() ? nullptr : &FRows[size_t(Pick(0, int32_t(FRows.size()) - 1))];
    if (Source && Source->Name) {
      Key = Partial ? Source->Name->substr(0, size_t(Pick(1, int32_t(Source->Name->size()))))
                    : *Source->Name;
    } else {
      Key = "zz";
    }
    for (char& C : Key)
      if (Chance(50))
        C = char(std::toupper(static_cast<unsigned char>(C)));
    FLast += std::string(" Locate '") + Key + "'" + (Partial ? " partial" : "");
    const bool Found =
        D->Locate("Name", Variant(Key.c_str()), loCaseInsensitive | (Partial ? loPartialKey : 0));
    const TRow* Expected = nullptr;
    for (const TRow* Row : Visible()) {
      if (!Row->Name)
        continue;
      const std::string Head = Partial ? Row->Name->substr(0, Key.size()) : *Row->Name;
      if (AnsiCompareText(Head, Key) == 0) {
        Expected = Row;
        break;
      }
    }
    ASSERT_EQ(Found, Expected != nullptr) << Where();
    if (Expected)
      Show(Expected, false, false);
  }

  void StepFind() {
    // FindNext starts from the shown row; the engine moves through the search's result set
    // only from a row inside it, so it starts from a row that passes the filter text.
    const TRow* Shown = FShown ? Find(*FShown) : nullptr;
    const bool Restart = !Shown || !FFilter.PassesText(*Shown) || Chance(40);
    FLast += Restart ? " FindFirst" : " FindNext";
    const bool Found = Restart ? D->FindFirst() : D->FindNext();
    // The search uses the filter text even while the dataset is unfiltered; the event only
    // while it is filtered.
    const std::vector<const TRow*> Rows = FFilter.Filtered ? Visible() : All();
    const TRow* Expected = nullptr;
    const int32_t From = Restart ? 0 : PositionIn(Rows) + 1;
    for (size_t K = size_t(From); K < Rows.size(); ++K)
      if (FFilter.PassesText(*Rows[K])) {
        Expected = Rows[K];
        break;
      }
    ASSERT_EQ(Found, Expected != nullptr) << Where();
    if (Expected)
      Show(Expected, false, false);
  }

  void StepLookup() {
    const int32_t Id = Pick(0, 60);
    FLast += " Lookup " + std::to_string(Id);
    // Lookup searches what the dataset sees.
    const TRow* Row = Find(Id);
    if (Row && !Passes(*Row))
      Row = nullptr;
    const Variant Value = D->Lookup("ID", Variant(Id), "Name");
    if (!Row) {
      ASSERT_TRUE(Value.IsNull()) << Where();
    } else if (FieldDataReady && Row->Name) {
      ASSERT_EQ(std::string(VarToStr(Value)), *Row->Name) << Where();
    }
  }

  // --- indexes, keys and ranges --------------------------------------------------------------

  // By IndexName, by IndexFieldNames, or none; a changed selection drops the range.
  void StepSelectIndex() {
    const int32_t Next = Pick(0, 3);
    std::string Selector;
    bool ByFields = false;
    if (Next == 0) {
      const bool ByName = Chance(50);
      FLast += ByName ? " IndexName ''" : " IndexFieldNames ''";
      if (ByName)
        D->SetIndexName("");
      else
        D->SetIndexFieldNames("");
    } else if (Chance(50)) {
      Selector = IndexNames[Next];
      FLast += " IndexName " + Selector;
      D->SetIndexName(Selector);
    } else {
      Selector = IndexFields[Next];
      ByFields = true;
      FLast += " IndexFieldNames " + Selector;
      D->SetIndexFieldNames(Selector);
    }
    ASSERT_EQ(D->IndexName(), ByFields ? "" : Selector) << Where();
    ASSERT_EQ(D->IndexFieldNames(), ByFields ? Selector : "") << Where();
    ASSERT_EQ(D->Cursor()->IndexName(), IndexNames[Next]) << Where();
    if (Selector == FSelector && ByFields == FByFields)
      return;
    FSelector = Selector;
    FByFields = ByFields;
    FIndex = Next;
    DropRange();
    if (FShown)
      FBof = FEof = false;
    else
      DoFirst();
  }

  // The applied range is gone; the keys last handed over are reset when one was set.
  void DropRange() {
    FRange = false;
    if (FKeys[3].Modified || FKeys[4].Modified)
      FKeys[3] = FKeys[4] = TKey();
  }

  // Writes a key into the fields in the set-key state: a row's or random values, all of the
  // index's columns or the leading one only. Nulls are left unwritten, as a reset key has them.
  // A range start comes mostly from the first half of the rows in index order, an end from the
  // second, so that most ranges hold rows.
  TKey WriteKey(bool WholeKey, int32_t Side = 0) {
    TKey Key;
    TRow Source;
    if (!FRows.empty() && Chance(70)) {
      std::vector<const TRow*> Rows;
      for (const TRow& Row : FRows)
        Rows.push_back(&Row);
      Order(Rows);
      const int32_t Last = int32_t(Rows.size()) - 1;
      const bool Biased = Chance(80);
      const int32_t Low = Side == 2 && Biased ? Last / 2 : 0;
      const int32_t High = Side == 1 && Biased ? Last / 2 : Last;
      Source = *Rows[size_t(Pick(Low, High))];
    } else {
      Source = RandomRow();
      Source.Id = Pick(0, 61);
      if (Source.Day)
        Source.Day = 39999 + Pick(0, 32);
    }
    if (Source.Name && Chance(30))
      for (char& C : *Source.Name)
        C = char(std::toupper(static_cast<unsigned char>(C)));
    const bool Leading = !WholeKey && Chance(40);
    if (FIndex == 2 && Source.Name) {
      Key.Name = Source.Name;
      D->FieldByName("Name").SetValue(Variant(Source.Name->c_str()));
    }
    if (FIndex == 3 && Source.Day) {
      Key.Day = Source.Day;
      D->FieldByName("Day").SetValue(Variant::FromDateTime(StoredDateToDateTime(*Source.Day)));
    }
    if (FIndex == 1 || !Leading) {
      Key.Id = Source.Id;
      D->FieldByName("ID").SetValue(Variant(Source.Id));
    }
    Key.Modified = Key.Id || Key.Name || Key.Day;
    return Key;
  }

  void StepGotoKey() {
    if (FIndex == 0)
      return;
    D->SetKey();
    const TKey Key = WriteKey(Chance(80));
    FLast += " GotoKey " + Describe(Key);
    const auto Rows = Visible();
    const TRow* Expected = nullptr;
    for (const TRow* Row : Rows)
      if (CompareKey(*Row, Key) == 0) {
        Expected = Row;
        break;
      }
    const bool Found = D->GotoKey();
    ASSERT_EQ(D->State(), dsBrowse) << Where();
    ASSERT_EQ(Found, Expected != nullptr) << Where();
    if (Expected)
      Show(Expected, false, false);
  }

  // Either side is written, left unset after its reset, or left as it was.
  void StepApplyRange() {
    if (FIndex == 0)
      return;
    for (int32_t Side : {1, 2}) {
      const int32_t Choice = Pick(0, 9);
      if (Choice < 2)
        continue;
      if (Side == 1)
        D->SetRangeStart();
      else
        D->SetRangeEnd();
      FKeys[Side] = Choice < 4 ? TKey() : WriteKey(false, Side);
    }
    FLast += " ApplyRange " + Describe(FKeys[1]) + ".." + Describe(FKeys[2]);
    D->ApplyRange();
    ASSERT_EQ(D->State(), dsBrowse) << Where();
    if (FKeys[1] == FKeys[3] && FKeys[2] == FKeys[4]) {
      FLast += " unchanged";
      return;
    }
    FKeys[3] = FKeys[1];
    FKeys[4] = FKeys[2];
    FRange = true;
    FRangeStart = FKeys[1];
    FRangeEnd = FKeys[2];
    ModelFirst();
  }

  void StepCancelRange() {
    FLast += " CancelRange";
    const bool Set = FKeys[3].Modified || FKeys[4].Modified;
    D->CancelRange();
    DropRange();
    if (!Set)
      return;
    if (FShown) {
      FBof = FEof = false;
    } else {
      FLast += " First";
      DoFirst();
    }
  }

  // Whether the dataset's fields read their values (field data is built).
  static constexpr bool FieldDataReady = true;

  uint32_t FSeed;
  int32_t FSteps;
  int32_t FStep = 0;
  std::string FLast;
  std::mt19937 FRandom;
  TTolvanTable* D = nullptr;
  TEngineWriter* W = nullptr;
  std::vector<TRow> FRows;
  std::optional<int32_t> FShown;
  bool FBof = true;
  bool FEof = true;
  int32_t FIndex = 0;
  std::string FSelector;
  bool FByFields = false;
  // Key buffers 0 to 4 as the model sees them, and the range the cursor has.
  TKey FKeys[5];
  bool FRange = false;
  TKey FRangeStart;
  TKey FRangeEnd;
  TFilterModel FFilter;
  std::map<int32_t, TBookmark> FBookmarks;
  int32_t FDeadCount = 0;
  int32_t FPostedEdits = 0;
};

class TableModelTest : public ComponentTest {};
class TableModelSlow : public ComponentTest {};

TEST_F(TableModelTest, RandomStepsAgreeWithTheModel) {
  for (uint32_t Seed : {1u, 2u, 3u}) {
    TModelRun(Seed, 300).Run();
    if (HasFailure())
      return;
  }
}

TEST_F(TableModelSlow, LongRandomRunsAgreeWithTheModel) {
  for (uint32_t Seed = 100; Seed < 120; ++Seed) {
    TModelRun(Seed, 3000).Run();
    if (HasFailure())
      return;
  }
}

} // namespace
