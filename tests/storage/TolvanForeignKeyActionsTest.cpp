// The referential actions as one cascade operation: a model-based run over a parent, a child and
// a grandchild table, cycles and self-references, and the behaviours callers rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/TolvanMessages.h"
#include "storage/TolvanForeignKeys.h"
#include "tests/storage/LocalStorageTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

constexpr int32_t Null = -1;
constexpr int32_t ErrParentMissing = 11420;

// A cursor on one table of the session, with helpers for rows of Integer columns (-1 is NULL).
class TTable {
public:
  TTable(TTolvanLocalSession& Session, std::string_view Name) : C(Session, Name) {}

  // Creates the table: Integer columns, a primary index over the first KeyCount columns, and
  // further non-unique indexes (each a list of columns); Defaults give column defaults.
  void Create(const std::vector<std::string>& Columns, int32_t KeyCount,
              const std::vector<std::vector<std::string>>& Indexes = {},
              const std::map<std::string, int32_t>& Defaults = {},
              const std::vector<std::string>& Unique = {}, std::string_view BlobColumn = {}) {
    TTolvanFieldDefs Fields;
    for (const std::string& Name : Columns) {
      TTolvanFieldDef& F = AddField(Fields, Name, Name == BlobColumn ? tftBLOB : tftInteger);
      if (const auto It = Defaults.find(Name); It != Defaults.end())
        F.DefaultValue().SetAsInteger(It->second);
    }
    TTolvanIndexDefs IndexDefs;
    TTolvanConstraintDefs Constraints;
    if (KeyCount > 0) {
      TTolvanIndexDef& Key = AddIndexDef(IndexDefs, "PK", {}, true);
      auto& Primary = Constraints.AddPrimary();
      Primary.SetName("PK");
      Primary.Index().SetName("PK");
      for (int32_t I = 0; I < KeyCount; ++I)
        Primary.Columns().emplace_back(Columns[size_t(I)], 0);
      Key.SetPrimary(1);
      Key.SetColumnCount(KeyCount);
      for (int32_t I = 0; I < KeyCount; ++I)
        Key.Columns(I).SetName(Columns[size_t(I)]);
    }
    int32_t N = 0;
    for (const auto& Index : Indexes) {
      TTolvanIndexDef& Def = AddIndexDef(IndexDefs, "IX" + std::to_string(++N), {}, false);
      Def.SetColumnCount(int32_t(Index.size()));
      for (size_t I = 0; I < Index.size(); ++I)
        Def.Columns(int32_t(I)).SetName(Index[I]);
    }
    if (!Unique.empty()) {
      TTolvanIndexDef& Def = AddIndexDef(IndexDefs, "UQ", {}, true);
      Def.SetColumnCount(int32_t(Unique.size()));
      auto& Constraint = Constraints.AddUnique();
      Constraint.SetName("UQ");
      Constraint.Index().SetName("UQ");
      for (size_t I = 0; I < Unique.size(); ++I) {
        Def.Columns(int32_t(I)).SetName(Unique[I]);
        Constraint.Columns().emplace_back(Unique[I], 0);
      }
    }
    C.Open(&Fields, &IndexDefs, &Constraints);
  }

  // The cursor sees the definitions the table has now.
  void Refresh() { C.Cursor.RefreshDefs(); }
  int64_t Count() { return C.Cursor.GetRecordCount(); }

  void AddForeignKey(std::string_view Name, std::string_view Parent,
                     const std::vector<std::string>& Columns, TTolvanForeignKeyAction OnDelete,
                     TTolvanForeignKeyAction OnUpdate, uint8_t Match = 0) {
    TTolvanConstraintDefForeignKey Key;
    Key.SetName(Name);
    Key.Table().SetName(Parent);
    for (const std::string& Column : Columns)
      Key.Columns().emplace_back(Column, 0);
    Key.SetOnDelete(OnDelete);
    Key.SetOnUpdate(OnUpdate);
    Key.SetMatchType(Match);
    C.Cursor.TableData()->AddForeignKey(C.Cursor, Key);
  }

  void Set(int32_t FieldNo, int32_t Value) {
    TTolvanVariant V;
    if (Value != Null)
      V.SetAsInteger(Value);
    C.Cursor.SetCursorFieldValue(V, FieldNo, nullptr, true);
  }
  // Posts a new row; the cursor's error text, empty on success.
  std::string Insert(const std::vector<int32_t>& Values) {
    C.NewRecord();
    for (size_t I = 0; I < Values.size(); ++I)
      Set(int32_t(I), Values[I]);
    C.Cursor.PostRecord(true);
    return C.Cursor.LastErrorCode() == 0 ? std::string() : std::string(C.Cursor.LastErrorText());
  }
  // Positions on the first row whose leading columns are Key; false when none.
  bool Find(const std::vector<int32_t>& Key) {
    C.Cursor.SetToBegin();
    while (C.Cursor.GetRecord(rmNext) == rrOK) {
      bool Match = true;
      for (size_t I = 0; I < Key.size() && Match; ++I)
        Match = C.Integer(int32_t(I)) == Key[I];
      if (Match)
        return true;
    }
    return false;
  }
  // Updates the row of Key: each (field, value) pair; the error text, empty on success.
  std::string Update(const std::vector<int32_t>& Key,
                     const std::vector<std::pair<int32_t, int32_t>>& Values) {
    if (!Find(Key))
      return "not found";
    C.Edit();
    for (const auto& [FieldNo, Value] : Values)
      Set(FieldNo, Value);
    C.Cursor.PostRecord(false);
    return C.Cursor.LastErrorCode() == 0 ? std::string() : std::string(C.Cursor.LastErrorText());
  }
  std::string Delete(const std::vector<int32_t>& Key) {
    if (!Find(Key))
      return "not found";
    C.Cursor.DeleteRecord();
    return C.Cursor.LastErrorCode() == 0 ? std::string() : std::string(C.Cursor.LastErrorText());
  }

  // Every row in store order, or in the order of the index named.
  std::vector<std::vector<int32_t>> Rows(std::string_view Index = {}) {
    C.Cursor.SetIndexName(Index);
    std::vector<std::vector<int32_t>> Out;
    const int32_t Count = C.Cursor.FieldDefs().Count();
    C.Cursor.SetToBegin();
    while (C.Cursor.GetRecord(rmNext) == rrOK) {
      std::vector<int32_t> Row;
      for (int32_t F = 0; F < Count; ++F)
        Row.push_back(C.Integer(F));
      Out.push_back(Row);
    }
    C.Cursor.SetIndexName("");
    return Out;
  }
  // Each index holds every stored row once, in its order.
  void ExpectIndexesAgree() {
    std::vector<std::vector<int32_t>> Stored = Rows();
    std::sort(Stored.begin(), Stored.end());
    TTolvanIndexDefs& Defs = C.Cursor.GetIndexDefs();
    std::vector<std::pair<std::string, std::vector<int32_t>>> Indexes;
    for (int32_t I = 0; I < Defs.Count(); ++I) {
      std::vector<int32_t> Columns;
      for (int32_t K = 0; K < Defs.Items(I).ColumnCount(); ++K)
        Columns.push_back(C.Cursor.FieldDefs().IndexOfName(Defs.Items(I).Columns(K).Name()));
      Indexes.emplace_back(Defs.Items(I).Name(), Columns);
    }
    for (const auto& [Name, Columns] : Indexes) {
      std::vector<std::vector<int32_t>> Seen = Rows(Name);
      const auto KeyOf = [&](const std::vector<int32_t>& Row) {
        std::vector<int32_t> Key;
        for (int32_t F : Columns)
          Key.push_back(Row[size_t(F)]);
        return Key;
      };
      // Nulls (-1) sort first, as the index orders them.
      EXPECT_TRUE(std::is_sorted(Seen.begin(), Seen.end(), [&](const auto& A, const auto& B) {
        return KeyOf(A) < KeyOf(B);
      })) << Name;
      std::sort(Seen.begin(), Seen.end());
      EXPECT_EQ(Seen, Stored) << "index " << Name;
    }
  }

  TOpenCursor C;
};

// The storage engine with its foreign-key routines, and a session of its "MEMORY" database.
class ForeignKeyActions : public ::testing::Test {
protected:
  TLocalStorage Storage;
  std::unique_ptr<TTolvanLocalSession> Session = TLocalStorage::Connected("MEMORY");
};

using ForeignKeyActionsSlow = ForeignKeyActions;

// --- the model ----------------------------------------------------------------------------------

// P(A, B, V) keyed by (A, B); C(ID, PA, PB, V) keyed by ID with a foreign key (PA, PB) to P and a
// plain index on it; G(ID, CID) keyed by ID with a foreign key CID to C. Defaults: PA = PB = 1,
// CID = 1.
struct TConfig {
  TTolvanForeignKeyAction CDelete, CUpdate;
  uint8_t Match;
  TTolvanForeignKeyAction GDelete, GUpdate;
};

using TKey = std::pair<int32_t, int32_t>;

struct TChild {
  int32_t PA, PB, V;
};

class TModel {
public:
  explicit TModel(const TConfig& Config) : FConfig(Config) {}

  std::map<TKey, int32_t> P;
  std::map<int32_t, TChild> C;
  std::map<int32_t, int32_t> G;

  // Whether C's key needs a parent (false also for an invalid key); Invalid for a mix under
  // match 1.
  bool NeedsParent(const TChild& Row, bool& Invalid) const {
    Invalid = false;
    const int32_t Nulls = (Row.PA == Null) + (Row.PB == Null);
    switch (FConfig.Match) {
    case 0:
      return Nulls == 0;
    case 1:
      Invalid = Nulls == 1;
      return Nulls == 0;
    default:
      return Nulls < 2;
    }
  }
  bool ChildOk(const TChild& Row, const std::set<TKey>& Away) const {
    bool Invalid = false;
    if (!NeedsParent(Row, Invalid))
      return !Invalid;
    const TKey Key{Row.PA, Row.PB};
    return P.count(Key) && !Away.count(Key);
  }
  bool GrandchildOk(int32_t CID, const std::set<int32_t>& Away) const {
    return CID == Null || (C.count(CID) && !Away.count(CID));
  }

  // The children of a parent key as the child search finds them: equal columns, no NULL.
  std::vector<int32_t> ChildrenOf(const TKey& Key) const {
    std::vector<int32_t> Out;
    for (const auto& [ID, Row] : C)
      if (Row.PA == Key.first && Row.PB == Key.second)
        Out.push_back(ID);
    return Out;
  }
  std::vector<int32_t> GrandchildrenOf(int32_t CID) const {
    std::vector<int32_t> Out;
    for (const auto& [ID, Ref] : G)
      if (Ref == CID)
        Out.push_back(ID);
    return Out;
  }

  // A parent delete (NewKey absent) or key change; false when refused, the model unchanged.
  bool ChangeParent(const TKey& Key, const TKey* NewKey) {
    TModel Next = *this;
    if (!Next.ApplyParent(Key, NewKey))
      return false;
    *this = Next;
    return true;
  }

  // A child key update (C's own ID to NewID); false when refused.
  bool ChangeChildID(int32_t ID, int32_t NewID) {
    // The write checks the child's own key as well.
    if (!ChildOk(C.at(ID), {}))
      return false;
    TModel Next = *this;
    const std::vector<int32_t> Grand = Next.GrandchildrenOf(ID);
    std::set<int32_t> Away{ID};
    if (!Grand.empty() && !Next.GrandAction(Grand, FConfig.GUpdate, &NewID, Away))
      return false;
    Next.C[NewID] = Next.C[ID];
    Next.C.erase(ID);
    *this = Next;
    return true;
  }

private:
  bool GrandAction(const std::vector<int32_t>& Grand, TTolvanForeignKeyAction Action,
                   const int32_t* NewID, const std::set<int32_t>& Away) {
    switch (Action) {
    case tfaRestrict:
      return false;
    case tfaNoAction:
      return true;
    case tfaCascade:
      for (int32_t ID : Grand) {
        if (NewID)
          G[ID] = *NewID;
        else
          G.erase(ID);
      }
      return true;
    case tfaSetNull:
      for (int32_t ID : Grand)
        G[ID] = Null;
      return true;
    default:
      for (int32_t ID : Grand)
        G[ID] = 1;
      return GrandchildOk(1, Away);
    }
  }

  bool ApplyParent(const TKey& Key, const TKey* NewKey) {
    const TTolvanForeignKeyAction Action = NewKey ? FConfig.CUpdate : FConfig.CDelete;
    const std::vector<int32_t> Children = ChildrenOf(Key);
    const std::set<TKey> Away{Key};
    if (!Children.empty()) {
      switch (Action) {
      case tfaRestrict:
        return false;
      case tfaNoAction:
        break;
      case tfaCascade:
        if (NewKey) {
          for (int32_t ID : Children) {
            C[ID].PA = NewKey->first;
            C[ID].PB = NewKey->second;
          }
        } else {
          std::set<int32_t> Gone(Children.begin(), Children.end());
          for (int32_t ID : Children) {
            const std::vector<int32_t> Grand = GrandchildrenOf(ID);
            if (!Grand.empty() && !GrandAction(Grand, FConfig.GDelete, nullptr, Gone))
              return false;
          }
          for (int32_t ID : Children)
            C.erase(ID);
        }
        break;
      case tfaSetNull:
      case tfaSetDefault:
        for (int32_t ID : Children) {
          TChild& Row = C[ID];
          Row.PA = Row.PB = Action == tfaSetNull ? Null : 1;
          if (!ChildOk(Row, Away))
            return false;
        }
        break;
      default:
        return false;
      }
    }
    const int32_t V = P[Key];
    P.erase(Key);
    if (NewKey)
      P[*NewKey] = V;
    return true;
  }

  TConfig FConfig;
};

class TModelRun {
public:
  TModelRun(TTolvanLocalSession& Session, const TConfig& Config, uint32_t Seed)
      : FConfig(Config), FModel(Config), FRandom(Seed), P(Session, "P"), C(Session, "C"),
        G(Session, "G") {
    P.Create({"A", "B", "V"}, 2);
    C.Create({"ID", "PA", "PB", "V"}, 1, {{"PA", "PB"}}, {{"PA", 1}, {"PB", 1}});
    G.Create({"ID", "CID"}, 1, {{"CID"}}, {{"CID", 1}});
    C.AddForeignKey("FK_C", "P", {"PA", "PB"}, Config.CDelete, Config.CUpdate, Config.Match);
    G.AddForeignKey("FK_G", "C", {"CID"}, Config.GDelete, Config.GUpdate, 0);
    for (TTable* T : {&P, &C, &G})
      T->C.Cursor.RefreshDefs();
  }

  void Step() {
    switch (Pick(10)) {
    case 0:
    case 1:
      InsertParent();
      break;
    case 2:
    case 3:
      InsertChild();
      break;
    case 4:
      UpdateChild();
      break;
    case 5:
      DeleteParent();
      break;
    case 6:
    case 7:
      ChangeParentKey();
      break;
    case 8:
      ChildOrGrandchild();
      break;
    default:
      BulkDelete();
      break;
    }
  }

  void ExpectModel(const std::string& Where) {
    std::vector<std::vector<int32_t>> Want;
    for (const auto& [Key, V] : FModel.P)
      Want.push_back({Key.first, Key.second, V});
    EXPECT_EQ(Sorted(P.Rows()), Want) << Where;
    Want.clear();
    for (const auto& [ID, Row] : FModel.C)
      Want.push_back({ID, Row.PA, Row.PB, Row.V});
    EXPECT_EQ(Sorted(C.Rows()), Want) << Where;
    Want.clear();
    for (const auto& [ID, Ref] : FModel.G)
      Want.push_back({ID, Ref});
    EXPECT_EQ(Sorted(G.Rows()), Want) << Where;
    // No orphan, unless the key's actions do nothing.
    std::set<int32_t> None;
    std::set<TKey> NoKeys;
    if (FConfig.CDelete != tfaNoAction && FConfig.CUpdate != tfaNoAction) {
      for (const auto& [ID, Row] : FModel.C)
        EXPECT_TRUE(FModel.ChildOk(Row, NoKeys)) << Where << " child " << ID;
    }
    if (FConfig.GDelete != tfaNoAction && FConfig.GUpdate != tfaNoAction) {
      for (const auto& [ID, Ref] : FModel.G)
        EXPECT_TRUE(FModel.GrandchildOk(Ref, None)) << Where << " grandchild " << ID;
    }
    P.ExpectIndexesAgree();
    C.ExpectIndexesAgree();
    G.ExpectIndexesAgree();
  }

private:
  static std::vector<std::vector<int32_t>> Sorted(std::vector<std::vector<int32_t>> Rows) {
    std::sort(Rows.begin(), Rows.end());
    return Rows;
  }
  int32_t Pick(int32_t N) { return int32_t(FRandom() % uint32_t(N)); }
  TKey AnyKey() { return {1 + Pick(3), 1 + Pick(4)}; }
  // A child's key: mostly an existing parent's, else any; sometimes NULL columns, under match 1
  // and 2 both or neither (a mix under match 1 is always refused).
  TChild AnyChildKey() {
    TKey Key = AnyKey();
    if (!FModel.P.empty() && Pick(4) != 0)
      Key = std::next(FModel.P.begin(), Pick(int32_t(FModel.P.size())))->first;
    TChild Row{Key.first, Key.second, Pick(100)};
    if (Pick(6) == 0) {
      Row.PA = Null;
      if (FConfig.Match != 0 || Pick(2) == 0)
        Row.PB = Null;
    } else if (FConfig.Match == 1 && Pick(8) == 0) {
      Row.PB = Null;
    }
    return Row;
  }

  void Expect(bool Accepted, const std::string& Error, const std::string& What) {
    EXPECT_EQ(Accepted, Error.empty()) << What << ": " << Error;
  }

  void InsertParent() {
    const TKey Key = AnyKey();
    const int32_t V = Pick(100);
    const std::string Error = P.Insert({Key.first, Key.second, V});
    const bool Ok = !FModel.P.count(Key);
    Expect(Ok, Error, "insert parent");
    if (Ok)
      FModel.P[Key] = V;
  }
  void InsertChild() {
    const int32_t ID = ++FNextID;
    const TChild Row = AnyChildKey();
    const std::string Error = C.Insert({ID, Row.PA, Row.PB, Row.V});
    const bool Ok = FModel.ChildOk(Row, {});
    Expect(Ok, Error, "insert child");
    if (Ok)
      FModel.C[ID] = Row;
  }
  void UpdateChild() {
    if (FModel.C.empty())
      return;
    auto It = std::next(FModel.C.begin(), Pick(int32_t(FModel.C.size())));
    const TChild Row = AnyChildKey();
    const std::string Error = C.Update({It->first}, {{1, Row.PA}, {2, Row.PB}, {3, Row.V}});
    const bool Ok = FModel.ChildOk(Row, {});
    Expect(Ok, Error, "update child");
    if (Ok)
      It->second = Row;
  }
  // A parent, half the time one with children when there is such.
  TKey AnyParent() {
    if (Pick(2) == 0 && !FModel.C.empty()) {
      const TChild& Row = std::next(FModel.C.begin(), Pick(int32_t(FModel.C.size())))->second;
      if (FModel.P.count({Row.PA, Row.PB}))
        return {Row.PA, Row.PB};
    }
    return std::next(FModel.P.begin(), Pick(int32_t(FModel.P.size())))->first;
  }
  void DeleteParent() {
    if (FModel.P.empty())
      return;
    const TKey Key = AnyParent();
    const std::string Error = P.Delete({Key.first, Key.second});
    Expect(FModel.ChangeParent(Key, nullptr), Error, "delete parent");
  }
  void ChangeParentKey() {
    if (FModel.P.empty())
      return;
    const TKey Key = AnyParent();
    const TKey NewKey = AnyKey();
    if (FModel.P.count(NewKey))
      return;
    const std::string Error =
        P.Update({Key.first, Key.second}, {{0, NewKey.first}, {1, NewKey.second}});
    Expect(FModel.ChangeParent(Key, &NewKey), Error, "change parent key");
  }
  void ChildOrGrandchild() {
    if (Pick(2) == 0 || FModel.C.empty()) {
      // A grandchild with a random reference, sometimes to no child.
      const int32_t ID = ++FNextID;
      const int32_t Ref = Pick(5) == 0 ? Null : FNextID - 1 - Pick(8);
      const std::string Error = G.Insert({ID, Ref});
      const bool Ok = FModel.GrandchildOk(Ref, {});
      Expect(Ok, Error, "insert grandchild");
      if (Ok)
        FModel.G[ID] = Ref;
      return;
    }
    // A child's own key changes: the grandchildren's update actions.
    const int32_t ID = std::next(FModel.C.begin(), Pick(int32_t(FModel.C.size())))->first;
    const int32_t NewID = ++FNextID;
    const std::string Error = C.Update({ID}, {{0, NewID}});
    Expect(FModel.ChangeChildID(ID, NewID), Error, "change child key");
  }
  void BulkDelete() {
    // The parents of one A through a filtered cursor, each its own operation: a refusal stops
    // the walk with the records before it deleted.
    const int32_t A = 1 + Pick(3);
    P.C.Cursor.SetFilter("A = " + std::to_string(A), false, false);
    std::vector<TKey> Order;
    for (const auto& Row : P.Rows())
      Order.push_back({Row[0], Row[1]});
    const TRaised Raised = RaisedBy([&] { P.C.Cursor.DeleteAllRecords(); });
    P.C.Cursor.ClearFilter();
    bool Refused = false;
    for (const TKey& Key : Order)
      if (!FModel.ChangeParent(Key, nullptr)) {
        Refused = true;
        break;
      }
    EXPECT_EQ(Refused, Raised.Code != 0) << "bulk delete: " << Raised.Message;
  }

  TConfig FConfig;
  TModel FModel;
  std::mt19937 FRandom;
  int32_t FNextID = 0;

public:
  TTable P, C, G;
};

TEST_F(ForeignKeyActions, ModelOfParentChildAndGrandchild) {
  // Each action for delete and update, each match type, across the two keys.
  const TConfig Configs[] = {
      {tfaCascade, tfaCascade, 0, tfaCascade, tfaCascade},
      {tfaSetNull, tfaCascade, 1, tfaSetNull, tfaSetNull},
      {tfaSetDefault, tfaSetDefault, 2, tfaSetDefault, tfaSetDefault},
      {tfaRestrict, tfaRestrict, 0, tfaRestrict, tfaRestrict},
      {tfaCascade, tfaSetNull, 2, tfaRestrict, tfaCascade},
      {tfaSetDefault, tfaCascade, 0, tfaCascade, tfaSetDefault},
      {tfaNoAction, tfaNoAction, 1, tfaNoAction, tfaNoAction},
      {tfaCascade, tfaSetDefault, 1, tfaSetDefault, tfaRestrict},
  };
  uint32_t Seed = 1;
  for (const TConfig& Config : Configs) {
    SCOPED_TRACE(testing::Message()
                 << "config " << int(Config.CDelete) << int(Config.CUpdate) << int(Config.Match)
                 << int(Config.GDelete) << int(Config.GUpdate));
    // Each configuration has a database of its own.
    auto Own = TLocalStorage::Connected("MODEL" + std::to_string(Seed), true);
    TModelRun Run(*Own, Config, Seed++);
    for (int32_t Step = 0; Step < 150; ++Step) {
      Run.Step();
      Run.ExpectModel("step " + std::to_string(Step));
      if (HasFailure())
        return;
    }
  }
}

// --- self-references and cycles -----------------------------------------------------------------

TEST_F(ForeignKeyActions, ARowReferencingItselfIsDeletedOnceAndFollowsItsOwnKey) {
  TTable T(*Session, "T");
  T.Create({"ID", "PID"}, 1, {{"PID"}});
  T.AddForeignKey("FK_T", "T", {"PID"}, tfaCascade, tfaCascade);
  T.Refresh();
  // A row comes to reference itself by an update: its insert would find no parent yet.
  ASSERT_EQ(T.Insert({1, Null}), "");
  ASSERT_EQ(T.Update({1}, {{1, 1}}), "");
  ASSERT_EQ(T.Insert({2, 1}), "");
  ASSERT_EQ(T.Insert({3, Null}), "");
  ASSERT_EQ(T.Update({3}, {{1, 3}}), "");
  // A key update reaches the row itself: it takes its own new key as its reference.
  ASSERT_EQ(T.Update({1}, {{0, 10}}), "");
  EXPECT_EQ(T.Rows(), (std::vector<std::vector<int32_t>>{{10, 10}, {2, 10}, {3, 3}}));
  ASSERT_EQ(T.Delete({10}), "");
  EXPECT_EQ(T.Rows(), (std::vector<std::vector<int32_t>>{{3, 3}}));
  ASSERT_EQ(T.Delete({3}), "");
  EXPECT_EQ(T.Count(), 0);
  T.ExpectIndexesAgree();
}

TEST_F(ForeignKeyActions, CascadedRowsKeepOrFreeTheirBlobsOnce) {
  TTable T(*Session, "T");
  T.Create({"ID", "PID", "Data"}, 1, {{"PID"}}, {}, {}, "Data");
  T.AddForeignKey("FK_T", "T", {"PID"}, tfaCascade, tfaCascade);
  T.Refresh();
  const auto Insert = [&](int32_t ID, int32_t PID) {
    T.C.NewRecord();
    T.Set(0, ID);
    T.Set(1, PID);
    T.C.Cursor.OpenBlob(true, 2, tbmWrite)->WriteBuffer("blob", 4);
    T.C.Cursor.CloseBlob(2);
    T.C.Cursor.PostRecord(true);
    ASSERT_EQ(T.C.Cursor.LastErrorCode(), 0) << T.C.Cursor.LastErrorText();
  };
  TTolvanBlobBlockTable& Blocks = T.C.Cursor.TableData()->BlobBlocks();
  Insert(1, Null);
  ASSERT_EQ(T.Update({1}, {{1, 1}}), "");
  Insert(2, 1);
  ASSERT_EQ(Blocks.LiveCount(), 2);
  // The child is rewritten with its value as stored.
  ASSERT_EQ(T.Update({1}, {{0, 10}}), "");
  ASSERT_TRUE(T.Find({2}));
  EXPECT_EQ(T.C.Integer(1), 10);
  EXPECT_EQ(T.C.String(2), "blob");
  ASSERT_TRUE(T.Find({10}));
  EXPECT_EQ(T.C.String(2), "blob");
  // The row that references itself goes once, with its child.
  ASSERT_EQ(T.Delete({10}), "");
  EXPECT_EQ(T.Count(), 0);
  EXPECT_EQ(Blocks.LiveCount(), 0);
}

TEST_F(ForeignKeyActions, TablesCascadingIntoEachOtherEnd) {
  TTable A(*Session, "A"), B(*Session, "B");
  A.Create({"ID", "BID"}, 1, {{"BID"}});
  B.Create({"ID", "AID"}, 1, {{"AID"}});
  A.AddForeignKey("FK_A", "B", {"BID"}, tfaCascade, tfaCascade);
  B.AddForeignKey("FK_B", "A", {"AID"}, tfaCascade, tfaCascade);
  A.Refresh();
  B.Refresh();
  // A1 <-> B1, A2 -> B1, B2 -> A2, A3 -> B3 (not reached), B3 -> A3.
  ASSERT_EQ(A.Insert({1, Null}), "");
  ASSERT_EQ(A.Insert({3, Null}), "");
  ASSERT_EQ(B.Insert({1, 1}), "");
  ASSERT_EQ(B.Insert({3, 3}), "");
  ASSERT_EQ(A.Insert({2, 1}), "");
  ASSERT_EQ(B.Insert({2, 2}), "");
  ASSERT_EQ(A.Update({1}, {{1, 1}}), "");
  ASSERT_EQ(A.Update({3}, {{1, 3}}), "");
  ASSERT_EQ(A.Delete({1}), "");
  EXPECT_EQ(A.Rows(), (std::vector<std::vector<int32_t>>{{3, 3}}));
  EXPECT_EQ(B.Rows(), (std::vector<std::vector<int32_t>>{{3, 3}}));
  // The key of a row in the cycle changes: both sides follow once.
  ASSERT_EQ(A.Update({3}, {{0, 30}}), "");
  EXPECT_EQ(B.Rows(), (std::vector<std::vector<int32_t>>{{3, 30}}));
  EXPECT_EQ(A.Rows(), (std::vector<std::vector<int32_t>>{{30, 3}}));
  A.ExpectIndexesAgree();
  B.ExpectIndexesAgree();
}

TEST_F(ForeignKeyActions, OverlappingCascadesInsideOneBulkDelete) {
  // A tree: 1 <- 2 <- 4, 1 <- 3, 5 alone, 6 <- 7; the filter takes 1, 2, 3, 6.
  TTable T(*Session, "T");
  T.Create({"ID", "PID"}, 1, {{"PID"}});
  T.AddForeignKey("FK_T", "T", {"PID"}, tfaCascade, tfaCascade);
  T.Refresh();
  for (const auto& Row : std::vector<std::vector<int32_t>>{
           {1, Null}, {2, 1}, {3, 1}, {4, 2}, {5, Null}, {6, Null}, {7, 6}})
    ASSERT_EQ(T.Insert(Row), "");
  T.C.Cursor.SetFilter("ID < 4 OR ID = 6", false, false);
  T.C.Cursor.DeleteAllRecords();
  T.C.Cursor.ClearFilter();
  EXPECT_EQ(T.Rows(), (std::vector<std::vector<int32_t>>{{5, Null}}));
  T.ExpectIndexesAgree();
}

// --- what callers rely on -----------------------------------------------------------------------

// P(ID, V) keyed by ID; C(ID, PID, Y) keyed by ID, PID referencing P with the actions given
// (default PID 100).
struct TParentChild {
  TParentChild(TTolvanLocalSession& Session, TTolvanForeignKeyAction OnDelete,
               TTolvanForeignKeyAction OnUpdate)
      : P(Session, "P"), C(Session, "C") {
    P.Create({"ID", "V"}, 1);
    C.Create({"ID", "PID", "Y"}, 1, {{"PID"}}, {{"PID", 100}});
    C.AddForeignKey("FK_C", "P", {"PID"}, OnDelete, OnUpdate);
    P.Refresh();
    C.Refresh();
  }
  TTable P, C;
};

TEST_F(ForeignKeyActions, RefusalsChangeNothingAndNameTheKey) {
  struct TCase {
    TTolvanForeignKeyAction Action;
    bool Update;
    std::string Message;
  };
  const TCase Cases[] = {
      {tfaRestrict, false,
       EngineMessage("Cannot delete record(s) in table 'P' - constraint foreign key 'FK_C' in "
                     "table 'C' violated",
                     11455)},
      {tfaRestrict, true,
       EngineMessage("Cannot update record(s) in table 'P' - constraint foreign key 'FK_C' in "
                     "table 'C' violated",
                     11454)},
      {TTolvanForeignKeyAction(7), false,
       EngineMessage("Error - invalid foreign key action (7) in table 'P' referencing foreign key "
                     "'FK_C' in table 'C'",
                     11456)},
      // The default names no parent: the parent stays.
      {tfaSetDefault, false,
       EngineMessage("Constraint foreign key 'FK_C' violated in table 'C'", ErrParentMissing)},
      {tfaSetDefault, true,
       EngineMessage("Constraint foreign key 'FK_C' violated in table 'C'", ErrParentMissing)},
  };
  int32_t N = 0;
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Message);
    auto Own = TLocalStorage::Connected("REFUSE" + std::to_string(++N), true);
    TParentChild T(*Own, Case.Update ? tfaCascade : Case.Action,
                   Case.Update ? Case.Action : tfaCascade);
    ASSERT_EQ(T.P.Insert({1, 0}), "");
    ASSERT_EQ(T.C.Insert({1, 1, 0}), "");
    ASSERT_EQ(T.C.Insert({2, 1, 0}), "");
    const std::string Error = Case.Update ? T.P.Update({1}, {{0, 2}}) : T.P.Delete({1});
    EXPECT_NE(Error.find(Case.Message), std::string::npos) << Error;
    EXPECT_EQ(T.P.Rows(), (std::vector<std::vector<int32_t>>{{1, 0}}));
    EXPECT_EQ(T.C.Rows(), (std::vector<std::vector<int32_t>>{{1, 1, 0}, {2, 1, 0}}));
  }
}

TEST_F(ForeignKeyActions, KeyUpdatesAloneRunActionsAndCascadesSkipTheParentTest) {
  TParentChild T(*Session, tfaRestrict, tfaRestrict);
  ASSERT_EQ(T.P.Insert({1, 0}), "");
  ASSERT_EQ(T.C.Insert({1, 1, 0}), "");
  // Other columns change: no action, even under restrict with a child.
  EXPECT_EQ(T.P.Update({1}, {{1, 5}}), "");
  EXPECT_EQ(T.P.Rows(), (std::vector<std::vector<int32_t>>{{1, 5}}));

  // The children take the new key although it is not stored yet when they are written.
  auto Own = TLocalStorage::Connected("CASCADE", true);
  TParentChild U(*Own, tfaCascade, tfaCascade);
  ASSERT_EQ(U.P.Insert({1, 0}), "");
  ASSERT_EQ(U.C.Insert({1, 1, 0}), "");
  ASSERT_EQ(U.C.Insert({2, 1, 0}), "");
  EXPECT_EQ(U.P.Update({1}, {{0, 2}}), "");
  EXPECT_EQ(U.C.Rows(), (std::vector<std::vector<int32_t>>{{1, 2, 0}, {2, 2, 0}}));
  U.C.ExpectIndexesAgree();
}

TEST_F(ForeignKeyActions, AFailureWhileApplyingLeavesTheWritesMadeSoFar) {
  // P <- C (cascade) <- G (set default 100, unique over CID and Y). Deleting P1 deletes C1 and
  // C2 and moves both of their grandchildren to C100 with the same Y: each passes its check
  // against the stored rows, and only the second write collides.
  TTable P(*Session, "P"), C(*Session, "C"), G(*Session, "G");
  P.Create({"ID"}, 1);
  C.Create({"ID", "PID"}, 1);
  G.Create({"ID", "CID", "Y"}, 1, {}, {{"CID", 100}}, {"CID", "Y"});
  C.AddForeignKey("FK_C", "P", {"PID"}, tfaCascade, tfaCascade);
  G.AddForeignKey("FK_G", "C", {"CID"}, tfaSetDefault, tfaCascade);
  for (TTable* T : {&P, &C, &G})
    T->Refresh();
  ASSERT_EQ(P.Insert({1}), "");
  ASSERT_EQ(P.Insert({2}), "");
  ASSERT_EQ(C.Insert({1, 1}), "");
  ASSERT_EQ(C.Insert({2, 1}), "");
  ASSERT_EQ(C.Insert({100, 2}), "");
  ASSERT_EQ(G.Insert({1, 1, 7}), "");
  ASSERT_EQ(G.Insert({2, 2, 7}), "");
  const std::string Error = P.Delete({1});
  EXPECT_NE(Error.find("Native error: 30320"), std::string::npos) << Error;
  // The first grandchild moved; the deletes never ran; the parent stays.
  EXPECT_EQ(G.Rows(), (std::vector<std::vector<int32_t>>{{1, 100, 7}, {2, 2, 7}}));
  EXPECT_EQ(C.Count(), 3);
  EXPECT_EQ(P.Count(), 2);
  G.ExpectIndexesAgree();
}

TEST_F(ForeignKeyActions, ChildKeysAndChildSearchOfOneAction) {
  TParentChild T(*Session, tfaCascade, tfaCascade);
  TTable Bare(*Session, "Bare");
  Bare.Create({"ID"}, 0);
  ASSERT_EQ(T.P.Insert({7, 0}), "");
  ASSERT_EQ(T.C.Insert({1, 7, 0}), "");
  ASSERT_EQ(T.C.Insert({2, Null, 0}), "");
  TTolvanTableData& Parent = *T.P.C.Cursor.TableData();
  TTolvanTableData& Child = *T.C.C.Cursor.TableData();
  TTolvanConstraintDefForeignKeyAction Action;
  Action.Partner().SetName("FK_C");
  Action.Columns().emplace_back("PID", 0);
  ASSERT_TRUE(T.P.Find({7}));
  const uint8_t* Parent7 = T.P.C.Buffer;
  const auto PIDAfter = [&](TTolvanForeignKeyAction Kind) {
    ASSERT_TRUE(T.C.Find({1}));
    SetChildKeys(Child, Parent, Action, Kind, Parent7, T.C.C.Buffer);
  };
  PIDAfter(tfaSetNull);
  EXPECT_EQ(T.C.C.Integer(1), Null);
  PIDAfter(tfaSetDefault);
  EXPECT_EQ(T.C.C.Integer(1), 100);
  T.C.Set(1, 3);
  SetChildKeys(Child, Parent, Action, tfaCascade, Parent7, T.C.C.Buffer);
  EXPECT_EQ(T.C.C.Integer(1), 7);

  // The children of 7 are found; a parent key that is NULL has none, whatever children hold
  // NULL there.
  EXPECT_FALSE(FindChildRecords(T.C.C.Cursor, Parent, Action, Parent7));
  EXPECT_EQ(T.C.C.Cursor.GetRecordCount(), 1);
  std::vector<uint8_t> NullKey(Parent7, Parent7 + T.P.C.Cursor.RecordSize());
  SetFieldNull(NullKey.data(), 0, true);
  EXPECT_TRUE(FindChildRecords(T.C.C.Cursor, Parent, Action, NullKey.data()));
  T.C.C.Cursor.SetExternalFilter(nullptr);

  struct TCase {
    std::function<void()> Run;
    std::string Message;
  };
  TTolvanConstraintDefForeignKeyAction Missing, Wide;
  Missing.Partner().SetName("FK_C");
  Missing.Columns().emplace_back("Nope", 0);
  Wide.Partner().SetName("FK_C");
  Wide.Columns().emplace_back("PID", 0);
  Wide.Columns().emplace_back("Y", 0);
  TTolvanTableData& NoPrimary = *Bare.C.Cursor.TableData();
  const TCase Cases[] = {
      {[&] { SetChildKeys(Child, Parent, Action, tfaRestrict, Parent7, T.C.C.Buffer); },
       EngineMessage("Error - invalid foreign key action (0) in table 'P' referencing foreign key "
                     "'FK_C' in table 'C'",
                     11462)},
      {[&] { SetChildKeys(Child, Parent, Missing, tfaSetNull, Parent7, T.C.C.Buffer); },
       EngineMessage("Invalid foreign key 'FK_C' definition in table 'C' - field 'Nope' does not "
                     "exist",
                     11458)},
      {[&] { SetChildKeys(Child, NoPrimary, Action, tfaCascade, Parent7, T.C.C.Buffer); },
       EngineMessage("Error checking constraint foreign key 'FK_C' in table 'C' - primary key not "
                     "found in referenced table 'Bare'",
                     11460)},
      {[&] { FindChildRecords(T.C.C.Cursor, NoPrimary, Action, Parent7); },
       EngineMessage("Error checking constraint foreign key 'FK_C' in table 'C' - primary key not "
                     "found in referenced table 'Bare'",
                     11457)},
      {[&] { FindChildRecords(T.C.C.Cursor, Parent, Wide, Parent7); },
       EngineMessage("Error checking constraint foreign key 'FK_C' in table 'C' - primary key 'PK' "
                     "has invalid number of columns in referenced table 'P'",
                     11458)},
  };
  for (const TCase& Case : Cases) {
    const TRaised Raised = RaisedBy(Case.Run);
    EXPECT_EQ(Raised.Message, Case.Message);
  }
}

// --- a deep chain
// ---------------------------------------------------------------------------------

TEST_F(ForeignKeyActionsSlow, ASelfReferencingChainIsDeletedInOneOperation) {
  constexpr int32_t Length = 100000;
  TTable T(*Session, "T");
  T.Create({"ID", "PID"}, 1, {{"PID"}});
  // Filled before the key exists; the key then checks the rows once.
  ASSERT_EQ(T.Insert({0, Null}), "");
  for (int32_t I = 1; I < Length; ++I)
    ASSERT_EQ(T.Insert({I, I - 1}), "") << I;
  T.AddForeignKey("FK_T", "T", {"PID"}, tfaCascade, tfaCascade);
  T.Refresh();
  ASSERT_EQ(T.Count(), Length);
  ASSERT_TRUE(T.Find({0}));
  T.C.Cursor.DeleteRecord();
  ASSERT_EQ(T.C.Cursor.LastErrorCode(), 0) << T.C.Cursor.LastErrorText();
  EXPECT_EQ(T.Count(), 0);
  T.ExpectIndexesAgree();
}

} // namespace
