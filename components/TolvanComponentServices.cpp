#include "components/TolvanComponentServices.h"

#include <cstring>
#include <unordered_map>
#include <vector>

#include "components/TolvanDatabase.h"
#include "components/TolvanDefs.h"
#include "components/TolvanQuery.h"
#include "components/TolvanSession.h"
#include "components/TolvanTargetBinding.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanLockOrder.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/TolvanStoredValue.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/TolvanSequenceManager.h"
#include "storage/local/TolvanLocalCursor.h"

namespace tolvan {

TTolvanComponentServices& ComponentServices() noexcept {
  static TTolvanComponentServices Services;
  return Services;
}

// --- sub-queries ------------------------------------------------------------------------------

namespace {

// Values whose equality under Compare (case-sensitive, whole values) is equality of one plain
// key: the whole integers, doubles, and text as UTF-16 code units (equal texts tie on every level
// of the collation, the last being the code units). Other types, and pairs from two classes,
// are searched by scanning.
enum class THashClass : uint8_t { None, Integer, Float, Text };

THashClass HashClassOf(TTolvanValueType Type) noexcept {
  switch (Type) {
  case tvtSignedInt8:
  case tvtSignedInt16:
  case tvtInteger:
  case tvtSignedInt64:
  case tvtUnsignedInt8:
  case tvtUnsignedInt16:
  case tvtUnsignedInt32:
    return THashClass::Integer;
  case tvtFloat:
    return THashClass::Float;
  case tvtString:
  case tvtWideString:
    return THashClass::Text;
  default:
    return THashClass::None;
  }
}

uint64_t MixHash(uint64_t H) noexcept {
  H ^= H >> 33;
  H *= 0xff51afd7ed558ccdull;
  H ^= H >> 33;
  return H;
}

// Equal values of one class hash alike; a collision is settled by Compare.
uint64_t HashOfValue(const TTolvanVariant& V, THashClass Class) {
  switch (Class) {
  case THashClass::Integer:
    return MixHash(uint64_t(V.GetAsLargeInt()));
  case THashClass::Float: {
    double D = V.GetAsDouble();
    if (D != D)
      return 0x7ff8; // every NaN compares equal to every other
    if (D == 0)
      D = 0; // -0 and 0 are equal
    uint64_t Bits;
    std::memcpy(&Bits, &D, sizeof Bits);
    return MixHash(Bits);
  }
  case THashClass::Text: {
    const WideString W = V.IsWide() ? V.GetAsWideString() : AnsiToWide(V.GetAsString());
    // Up to the first NUL only: coarser is safe, Compare settles the rest.
    uint64_t H = 1469598103934665603ull;
    for (char16_t C : W) {
      if (C == 0)
        break;
      H = (H ^ uint64_t(C)) * 1099511628211ull;
    }
    return MixHash(H);
  }
  default:
    return 0;
  }
}

bool SameAsLocate(const TTolvanVariant& Row, const TTolvanVariant& Key) {
  return Row.Compare(Key, false, false, false) == tcrEqual;
}

// A query without owner, run once per Open: its first column is read into memory, and every
// later question is answered from there, so a search made inside another table's scan touches
// no table and takes no lock.
class TTolvanSubQueryHandle : public IExprSubQuery {
public:
  explicit TTolvanSubQueryHandle(TComponentPtr<TTolvanQuery> Query) : FQuery(std::move(Query)) {}

  void Open() override {
    // Running a statement takes table locks and the sessions' critical section: never from
    // under a table lock.
    LockOrderCheckOuter("sub-query");
    Forget();
    FQuery->Close();
    FQuery->Open();
    if (FQuery->AdvFieldDefs().Count() > 0) {
      FFieldType = FQuery->AdvFieldDefs().Items(0).FieldType();
      FFieldSize = FQuery->AdvFieldDefs().Items(0).Size();
    }
    try {
      ReadRows();
    } catch (...) {
      Forget();
      CloseQuietly();
      throw;
    }
    FQuery->Close();
  }

  int64_t RecordCount() override { return int64_t(FRows.size()); }
  bool Eof() override { return FRows.empty(); }

  void FirstFieldValue(TTolvanVariant& Value) override {
    if (FRows.empty())
      Value.Clear();
    else
      Value.Assign(*FRows.front(), true);
  }

  bool LocateFirstField(const Variant& Key) override {
    TTolvanVariant K;
    if (!Key.IsNull() && !Key.IsEmpty())
      K.SetAsVariant(Key);
    if (K.IsNull())
      return FNullCount > 0;
    const THashClass Class = HashClassOf(K.DataType());
    if (Class != THashClass::None && Class == FClass) {
      auto [First, Last] = FIndex.equal_range(HashOfValue(K, Class));
      for (auto It = First; It != Last; ++It)
        if (SameAsLocate(*FRows[size_t(It->second)], K))
          return true;
      return false;
    }
    // Types that Compare matches across classes (text and numbers, dates, ...): as Locate
    // does, row by row in order.
    for (const auto& Row : FRows)
      if (SameAsLocate(*Row, K))
        return true;
    return false;
  }

  void Close() override { FQuery->Close(); }
  TTolvanFieldType FirstFieldType() override { return FFieldType; }
  int32_t FirstFieldSize() override { return FFieldSize; }

private:
  void ReadRows() {
    bool ClassSet = false;
    FClass = THashClass::None;
    for (FQuery->First(); !FQuery->Eof(); FQuery->Next()) {
      auto Value = std::make_unique<TTolvanVariant>();
      FQuery->GetFieldValue(*Value, 0, false, true);
      if (Value->IsNull()) {
        ++FNullCount;
      } else {
        const THashClass Class = HashClassOf(Value->DataType());
        if (!ClassSet) {
          FClass = Class;
          ClassSet = true;
        } else if (Class != FClass) {
          FClass = THashClass::None;
        }
      }
      FRows.push_back(std::move(Value));
    }
    if (FClass == THashClass::None)
      return;
    FIndex.reserve(FRows.size());
    for (size_t I = 0; I < FRows.size(); ++I)
      if (!FRows[I]->IsNull())
        FIndex.emplace(HashOfValue(*FRows[I], FClass), int32_t(I));
  }

  void Forget() noexcept {
    FRows.clear();
    FIndex.clear();
    FNullCount = 0;
    FClass = THashClass::None;
  }

  void CloseQuietly() noexcept {
    try {
      FQuery->Close();
    } catch (...) {
    }
  }

  TComponentPtr<TTolvanQuery> FQuery;
  TTolvanFieldType FFieldType = tftNone;
  int32_t FFieldSize = 0;
  std::vector<std::unique_ptr<TTolvanVariant>> FRows; // the first column, row by row
  std::unordered_multimap<uint64_t, int32_t> FIndex;  // hash -> row, non-null rows only
  int64_t FNullCount = 0;
  THashClass FClass = THashClass::None;
};

} // namespace

std::unique_ptr<IExprSubQuery>
TTolvanComponentServices::PrepareSubQuery(std::string_view SQL, const TParams* Params,
                                          bool InMemory, std::string_view DatabaseName,
                                          std::string_view SessionName) {
  TComponentPtr<TTolvanQuery> Query = MakeComponent<TTolvanQuery>();
  Query->SetSQLText(SQL);
  Query->SetSessionName(SessionName);
  // A named database, in memory or not, is that database; an unnamed in-memory one is "MEMORY".
  if (!DatabaseName.empty())
    Query->SetDatabaseName(DatabaseName);
  else if (InMemory)
    Query->SetInMemory(true);
  else
    Query->SetInMemory(false);
  Query->Prepare();
  if (Params)
    for (int32_t I = 0; I < Query->Params().Count(); ++I) {
      TParam& Own = Query->Params().Items(I);
      if (const TParam* Given = Params->FindParam(Own.Name())) {
        const AnsiString Name = Own.Name();
        Own.Assign(*Given);
        Own.SetName(Name);
      }
    }
  return std::make_unique<TTolvanSubQueryHandle>(std::move(Query));
}

// --- LASTAUTOINC ------------------------------------------------------------------------------

namespace {

class TTolvanAutoIncHandle : public IExprAutoInc {
public:
  TTolvanAutoIncHandle(TTolvanSession& Session, TTolvanDatabase& Database)
      : FSession(Session), FDatabase(&Database) {}

  ~TTolvanAutoIncHandle() override {
    if (FCursor) {
      try {
        FCursor->CloseTable();
      } catch (...) {
      }
      FCursor.reset();
    }
    try {
      TTolvanDatabase::ReleaseEngineSession(FEngineSession);
    } catch (...) {
    }
    if (FDatabase) {
      try {
        FSession.CloseDatabase(FDatabase);
      } catch (...) {
      }
    }
  }

  void Open(std::string_view TableName, std::string_view FieldName) {
    FEngineSession = FDatabase->SharedEngineSession();
    FCursor = std::make_unique<TTolvanLocalCursor>();
    FCursor->SetSession(FEngineSession.get());
    FCursor->SetTableName(TableName);
    // An in-memory cursor would make a missing table; this one only finds it (10028).
    FCursor->SetInMemory(false);
    FCursor->SetReadOnly(true);
    FCursor->OpenTable(nullptr, nullptr, nullptr);
    const TTolvanFieldDef* Def = FCursor->FieldDefs().FindByName(FieldName);
    if (!Def)
      throw ETolvanException::CreateFmt(30337, SFieldNotFound, FieldName);
    FFieldType = Def->FieldType();
    FSequenceID = Def->SequenceID();
    TTolvanTableData* Table = FCursor->TableData();
    if (!Table)
      return;
    TTolvanTableLock Lock(*Table, false);
    if (TTolvanBaseSequenceManager* Sequences = Table->SequenceManager())
      if (const TTolvanMetaObjectDef* Sequence = Sequences->SequenceDefs().FindByID(FSequenceID)) {
        FSequenceName = Sequence->Name();
        FHasSequence = true;
      }
  }

  TTolvanFieldType FieldType() const override { return FFieldType; }

  int64_t CurrentValue() override {
    if (!FHasSequence)
      throw ETolvanException::CreateFmt(ErrCurrentValueSequenceNotFound, SSequenceNotFound,
                                        FSequenceID);
    const TTolvanSessionNamedObjectSequenceValue* Value =
        FindSessionNamedObject(*FEngineSession, FSequenceName);
    if (!Value)
      throw ETolvanException::CreateFmt(ErrNoSequenceLastValue, SNoSequenceLastValue,
                                        FSequenceName);
    return Value->Value();
  }

private:
  TTolvanSession& FSession;
  TTolvanDatabase* FDatabase;
  // Held so that the named objects outlive a lender that closes first.
  std::shared_ptr<TTolvanBaseSession> FEngineSession;
  std::unique_ptr<TTolvanLocalCursor> FCursor;
  TTolvanFieldType FFieldType = tftNone;
  int32_t FSequenceID = -1;
  AnsiString FSequenceName;
  bool FHasSequence = false;
};

} // namespace

std::unique_ptr<IExprAutoInc> TTolvanComponentServices::OpenAutoInc(std::string_view TableName,
                                                                    std::string_view FieldName,
                                                                    bool InMemory,
                                                                    std::string_view SessionName,
                                                                    std::string_view DatabaseName) {
  TTolvanSession* Session = SessionList().GetSession(SessionName);
  const AnsiString Name = TargetBinding->AutoIncDatabase(DatabaseName, InMemory);
  TTolvanDatabase* Database = Session->OpenDatabase(Name, nullptr);
  if (!Database)
    throw ETolvanException::CreateFmt(ErrCannotOpenDatabase, SCannotOpenDatabase, Name);
  // From here the handle owns the release of the database.
  auto Handle = std::make_unique<TTolvanAutoIncHandle>(*Session, *Database);
  Handle->Open(TableName, FieldName);
  return Handle;
}

// --- DISTINCT sets
// --------------------------------------------------------------------------------

namespace {

// Open addressing over stored values; the slots and the values' bytes live in engine blocks.
class TTolvanDistinctSet : public IExprDistinctSet {
public:
  TTolvanDistinctSet(TTolvanFieldType FieldType, int32_t Size) : FValue(FieldType, Size) {}

  ~TTolvanDistinctSet() override { MemoryManager.FreeAndNillMemNoRaise(FSlots); }

  bool InsertIfNew(const TTolvanVariant& Value) override {
    if (!FValue.Store(Value)) {
      if (FHasNull)
        return false;
      FHasNull = true;
      return true;
    }
    const uint8_t* Key = FValue.Data();
    const int32_t KeySize = FValue.DataSize();
    const uint64_t Hash = HashOf(Key, KeySize);
    if (FSlots && Find(Key, KeySize, Hash))
      return false;
    Add(Key, KeySize, Hash);
    return true;
  }

private:
  struct TSlot {
    const uint8_t* Data; // nil: free
    int32_t Size;
    uint64_t Hash;
  };

  static uint64_t HashOf(const uint8_t* P, int32_t N) noexcept {
    uint64_t H = 1469598103934665603ull;
    for (int32_t I = 0; I < N; ++I)
      H = (H ^ P[I]) * 1099511628211ull;
    return H ^ (H >> 29);
  }

  bool Find(const uint8_t* Key, int32_t Size, uint64_t Hash) const noexcept {
    for (uint64_t I = Hash & FMask;; I = (I + 1) & FMask) {
      const TSlot& S = FSlots[I];
      if (!S.Data)
        return false;
      if (S.Hash == Hash && S.Size == Size && std::memcmp(S.Data, Key, size_t(Size)) == 0)
        return true;
    }
  }

  void Add(const uint8_t* Key, int32_t Size, uint64_t Hash) {
    if ((FCount + 1) * 2 > FCapacity)
      Grow();
    const uint8_t* Copy = FArena.Keep(Key, Size);
    uint64_t I = Hash & FMask;
    while (FSlots[I].Data)
      I = (I + 1) & FMask;
    FSlots[I] = {Copy, Size, Hash};
    ++FCount;
  }

  void Grow() {
    const int64_t NewCapacity = FCapacity ? FCapacity * 2 : 64;
    auto* NewSlots =
        static_cast<TSlot*>(MemoryManager.AllocMem(NewCapacity * int64_t(sizeof(TSlot))));
    const uint64_t NewMask = uint64_t(NewCapacity - 1);
    for (int64_t J = 0; J < FCapacity; ++J) {
      const TSlot& S = FSlots[J];
      if (!S.Data)
        continue;
      uint64_t I = S.Hash & NewMask;
      while (NewSlots[I].Data)
        I = (I + 1) & NewMask;
      NewSlots[I] = S;
    }
    MemoryManager.FreeAndNillMemNoRaise(FSlots);
    FSlots = NewSlots;
    FCapacity = NewCapacity;
    FMask = NewMask;
  }

  TTolvanStoredValue FValue;
  TTolvanByteArena FArena;
  bool FHasNull = false;
  TSlot* FSlots = nullptr;
  int64_t FCapacity = 0;
  uint64_t FMask = 0;
  int64_t FCount = 0;
};

} // namespace

std::unique_ptr<IExprDistinctSet>
TTolvanComponentServices::CreateDistinctSet(TTolvanFieldType FieldType, int32_t Size) {
  return std::make_unique<TTolvanDistinctSet>(FieldType, Size);
}

} // namespace tolvan
