#include "components/TolvanComponentServices.h"

#include <cstring>

#include "components/TolvanDatabase.h"
#include "components/TolvanSession.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "schema/TolvanStoredValue.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/TolvanSequenceManager.h"
#include "storage/local/TolvanLocalCursor.h"

namespace tolvan {

TTolvanComponentServices& ComponentServices() noexcept {
  static TTolvanComponentServices Services;
  return Services;
}

std::unique_ptr<IExprSubQuery> TTolvanComponentServices::PrepareSubQuery(std::string_view,
                                                                         const TParams*, bool,
                                                                         std::string_view,
                                                                         std::string_view) {
  throw ETolvanException::Create(ErrExprServicesMissing, SOperationNotSupported);
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
  const std::string_view Name =
      !DatabaseName.empty() || !InMemory ? DatabaseName : MemoryDatabaseName;
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
