#include "tests/schema/support/FakeExprServices.h"

#include "classlib/Strings.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanVariantOps.h"

namespace tolvan::test {

namespace {

constexpr std::string_view SInjectedFailure = "Injected failure";

// Same value for the DISTINCT set and for Locate: nulls equal, case counts, whole values.
bool SameValue(const TTolvanVariant& A, const TTolvanVariant& B) {
  if (A.IsNull() || B.IsNull())
    return A.IsNull() && B.IsNull();
  return A.Compare(B, false, false, false) == tcrEqual;
}

std::string AutoIncKey(std::string_view Table, std::string_view Field) {
  return AnsiUpperCase(Table) + '.' + AnsiUpperCase(Field);
}

} // namespace

// Every handle counts itself open while it lives.
class TFakeHandle {
public:
  explicit TFakeHandle(TFakeExprServices& Owner) : FOwner(Owner) { ++FOwner.FOpenHandles; }
  ~TFakeHandle() { --FOwner.FOpenHandles; }
  TFakeHandle(const TFakeHandle&) = delete;
  TFakeHandle& operator=(const TFakeHandle&) = delete;

protected:
  TFakeExprServices& FOwner;
};

class TFakeSubQuery : public IExprSubQuery, private TFakeHandle {
public:
  TFakeSubQuery(TFakeExprServices& Owner, std::string SQL)
      : TFakeHandle(Owner), FSQL(std::move(SQL)) {}

  void Open() override {
    FOwner.MaybeFail(TFakeExprServices::fpOpen);
    ++FOwner.FOpenCount;
    FOpened = true;
  }
  int64_t RecordCount() override { return int64_t(Rows().size()); }
  bool Eof() override { return Rows().empty(); }
  void FirstFieldValue(TTolvanVariant& Value) override {
    FOwner.MaybeFail(TFakeExprServices::fpRead);
    if (Rows().empty())
      Value.Clear();
    else
      Value.Assign(*Rows().front(), true);
  }
  bool LocateFirstField(const Variant& Key) override {
    FOwner.MaybeFail(TFakeExprServices::fpRead);
    TTolvanVariant K;
    if (!Key.IsNull() && !Key.IsEmpty())
      K.SetAsVariant(Key);
    for (const auto& Row : Rows())
      if (SameValue(K, *Row))
        return true;
    return false;
  }
  void Close() override { FOpened = false; }

private:
  // A closed query has no rows.
  const TFakeExprServices::TRows& Rows() const {
    static const TFakeExprServices::TRows None;
    if (!FOpened)
      return None;
    auto It = FOwner.FRows.find(FSQL);
    return It == FOwner.FRows.end() ? None : It->second;
  }

  std::string FSQL;
  bool FOpened = false;
};

class TFakeAutoInc : public IExprAutoInc, private TFakeHandle {
public:
  TFakeAutoInc(TFakeExprServices& Owner, std::string Key)
      : TFakeHandle(Owner), FKey(std::move(Key)) {}

  TTolvanFieldType FieldType() const override { return FOwner.FAutoIncs.at(FKey).first; }
  int64_t CurrentValue() override {
    FOwner.MaybeFail(TFakeExprServices::fpReadAutoInc);
    return FOwner.FAutoIncs.at(FKey).second;
  }

private:
  std::string FKey;
};

class TFakeDistinctSet : public IExprDistinctSet, private TFakeHandle {
public:
  explicit TFakeDistinctSet(TFakeExprServices& Owner) : TFakeHandle(Owner) {}

  bool InsertIfNew(const TTolvanVariant& Value) override {
    FOwner.MaybeFail(TFakeExprServices::fpInsertDistinct);
    for (const auto& V : FValues)
      if (SameValue(*V, Value))
        return false;
    auto Copy = std::make_unique<TTolvanVariant>();
    Copy->Assign(Value, true);
    FValues.push_back(std::move(Copy));
    return true;
  }

private:
  std::vector<std::unique_ptr<TTolvanVariant>> FValues;
};

TFakeExprServices::~TFakeExprServices() = default;

void TFakeExprServices::MaybeFail(TFailPoint Point) const {
  if (FFailCodes[Point] != 0)
    throw ETolvanException::Create(FFailCodes[Point], SInjectedFailure);
}

void TFakeExprServices::AddSubQueryRow(std::string_view SQL, const TTolvanVariant& Value) {
  auto Copy = std::make_unique<TTolvanVariant>();
  Copy->Assign(Value, true);
  FRows[std::string(SQL)].push_back(std::move(Copy));
}

void TFakeExprServices::SetAutoInc(std::string_view Table, std::string_view Field,
                                   TTolvanFieldType FieldType, int64_t Value) {
  FAutoIncs[AutoIncKey(Table, Field)] = {FieldType, Value};
}

std::unique_ptr<IExprSubQuery> TFakeExprServices::PrepareSubQuery(std::string_view SQL,
                                                                  const TParams* Params, bool,
                                                                  std::string_view,
                                                                  std::string_view) {
  MaybeFail(fpPrepare);
  ++FPrepareCount;
  if (Params)
    FLastParams.Assign(*Params);
  else
    FLastParams.Clear();
  return std::make_unique<TFakeSubQuery>(*this, std::string(SQL));
}

std::unique_ptr<IExprAutoInc> TFakeExprServices::OpenAutoInc(std::string_view TableName,
                                                             std::string_view FieldName, bool,
                                                             std::string_view, std::string_view) {
  MaybeFail(fpOpenAutoInc);
  std::string Key = AutoIncKey(TableName, FieldName);
  if (!FAutoIncs.contains(Key))
    throw ETolvanException::CreateFmt(30337, SFieldNotFound, FieldName);
  return std::make_unique<TFakeAutoInc>(*this, std::move(Key));
}

std::unique_ptr<IExprDistinctSet> TFakeExprServices::CreateDistinctSet(TTolvanFieldType, int32_t) {
  MaybeFail(fpCreateDistinct);
  return std::make_unique<TFakeDistinctSet>(*this);
}

} // namespace tolvan::test
