// Master/detail between two table components, checked against a model after every random step:
// the detail (lines, indexed on order id then line number) shows exactly the lines of the
// master's (orders') current row, all lines while the link is disabled or the master is closed,
// and follows again afterwards. A failure prints the seed and the step.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "classlib/DBFields.h"
#include "classlib/DataLinks.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "tests/components/ComponentTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TLine = std::pair<int32_t, int32_t>; // order id, line number

class TMasterDetailRun {
public:
  explicit TMasterDetailRun(uint32_t Seed, int32_t Steps)
      : FSeed(Seed), FSteps(Steps), FRandom(Seed) {}

  void Run() {
    auto Orders = Own(NewComponent<TTolvanTable>(nullptr));
    Orders->SetTableName("Orders" + std::to_string(FSeed));
    Orders->FieldDefs().Add("OrderID", ftInteger, 0, true);
    Orders->FieldDefs().Add("Customer", ftString, 10);
    Orders->IndexDefs().Add("PK", "OrderID", ixPrimary);
    Orders->SetIndexName("PK");
    auto Lines = Own(NewComponent<TTolvanTable>(nullptr));
    Lines->SetTableName("Lines" + std::to_string(FSeed));
    Lines->FieldDefs().Add("OrderID", ftInteger, 0);
    Lines->FieldDefs().Add("LineNo", ftInteger, 0);
    Lines->IndexDefs().Add("PK", "OrderID;LineNo", ixPrimary);
    Lines->SetIndexName("PK");
    auto Source = Own(NewComponent<TDataSource>(nullptr));
    Source->SetDataSet(Orders.get());
    M = Orders.get();
    D = Lines.get();
    S = Source.get();
    M->Open();
    D->SetMasterSource(S);
    D->SetMasterFields("OrderID");
    D->Open();
    for (int32_t K = 0; K < 6; ++K)
      InsertOrder();
    M->First();
    for (int32_t K = 0; K < 15; ++K) {
      MoveMaster();
      InsertLine();
    }
    FWasFollowing = Following();
    FLastKey = MasterKey();
    for (FStep = 0; FStep < FSteps && !::testing::Test::HasFailure(); ++FStep) {
      OneStep();
      Check();
    }
    D->Close();
    M->Close();
  }

private:
  int32_t Pick(int32_t Low, int32_t High) {
    return std::uniform_int_distribution<int32_t>(Low, High)(FRandom);
  }
  bool Chance(int32_t Percent) { return Pick(1, 100) <= Percent; }
  std::string Where() const {
    return "seed " + std::to_string(FSeed) + " step " + std::to_string(FStep) + " (" + FLast + ")";
  }

  std::optional<int32_t> MasterKey() const {
    if (!M->Active() || M->IsEmpty())
      return std::nullopt;
    return M->FieldByName("OrderID").AsInteger();
  }

  bool Following() const { return M->Active() && S->Enabled(); }

  // The lines the detail should show, in index order.
  std::vector<TLine> Expected() const {
    std::vector<TLine> Out;
    const std::optional<int32_t> Key = MasterKey();
    for (const TLine& L : FLines)
      if (!Following() || (Key && L.first == *Key))
        Out.push_back(L);
    return Out;
  }

  void Check() {
    const std::vector<TLine> Want = Expected();
    ASSERT_EQ(D->RecordCount(), int32_t(Want.size())) << Where();
    // A new master key moves the detail to its first line.
    const bool Moved = Following() && (!FWasFollowing || MasterKey() != FLastKey);
    FWasFollowing = Following();
    FLastKey = MasterKey();
    if (Moved) {
      ASSERT_TRUE(D->Bof()) << Where();
      if (!Want.empty()) {
        ASSERT_EQ(D->FieldByName("LineNo").AsInteger(), Want.front().second) << Where();
      }
    }
    std::vector<TLine> Seen;
    for (D->First(); !D->Eof(); D->Next())
      Seen.emplace_back(D->FieldByName("OrderID").AsInteger(),
                        D->FieldByName("LineNo").AsInteger());
    ASSERT_EQ(Seen, Want) << Where();
    if (M->Active() && !M->IsEmpty()) {
      ASSERT_EQ(FOrders.count(*MasterKey()), 1u) << Where();
    }
  }

  void MoveMaster() {
    switch (Pick(0, 4)) {
    case 0:
      FLast = "First";
      M->First();
      break;
    case 1:
      FLast = "Last";
      M->Last();
      break;
    case 2:
      FLast = "Next";
      M->Next();
      break;
    case 3:
      FLast = "Prior";
      M->Prior();
      break;
    default: {
      const int32_t Id = Pick(1, 40);
      FLast = "Locate " + std::to_string(Id);
      ASSERT_EQ(M->Locate("OrderID", Variant(Id), TLocateOptions()), FOrders.count(Id) == 1)
          << Where();
      break;
    }
    }
  }

  int32_t FreeOrderId() {
    int32_t Id = 0;
    do
      Id = Pick(1, 40);
    while (FOrders.count(Id) && FOrders.size() < 40);
    return Id;
  }

  void InsertOrder() {
    if (FOrders.size() >= 40)
      return;
    const int32_t Id = FreeOrderId();
    FLast = "insert order " + std::to_string(Id);
    if (Chance(50))
      M->Insert();
    else
      M->Append();
    M->FieldByName("OrderID").SetAsInteger(Id);
    M->FieldByName("Customer").SetAsString("c" + std::to_string(Pick(0, 99)));
    M->Post();
    FOrders.insert(Id);
  }

  void EditOrder() {
    const std::optional<int32_t> Key = MasterKey();
    if (!Key)
      return;
    M->Edit();
    if (Chance(40) && FOrders.size() < 40) {
      // A new key: its lines stay behind under the old one.
      const int32_t Id = FreeOrderId();
      FLast = "rekey order " + std::to_string(*Key) + " to " + std::to_string(Id);
      M->FieldByName("OrderID").SetAsInteger(Id);
      FOrders.erase(*Key);
      FOrders.insert(Id);
    } else {
      FLast = "edit order " + std::to_string(*Key);
      M->FieldByName("Customer").SetAsString("e" + std::to_string(Pick(0, 99)));
    }
    M->Post();
  }

  void DeleteOrder() {
    const std::optional<int32_t> Key = MasterKey();
    if (!Key)
      return;
    FLast = "delete order " + std::to_string(*Key);
    M->Delete();
    FOrders.erase(*Key);
  }

  void InsertLine() {
    const std::optional<int32_t> Key = MasterKey();
    if (!Key || !Following())
      return;
    int32_t No = 1;
    while (FLines.count({*Key, No}))
      ++No;
    FLast = "insert line " + std::to_string(*Key) + "/" + std::to_string(No);
    if (Chance(50))
      D->Insert();
    else
      D->Append();
    // The order id comes from the master.
    ASSERT_EQ(D->FieldByName("OrderID").AsInteger(), *Key) << Where();
    D->FieldByName("LineNo").SetAsInteger(No);
    D->Post();
    FLines.insert({*Key, No});
  }

  void DeleteLine() {
    if (D->IsEmpty())
      return;
    const int32_t Count = D->RecordCount();
    D->SetRecNo(Pick(1, Count));
    const TLine L{D->FieldByName("OrderID").AsInteger(), D->FieldByName("LineNo").AsInteger()};
    FLast = "delete line " + std::to_string(L.first) + "/" + std::to_string(L.second);
    D->Delete();
    FLines.erase(L);
  }

  void OneStep() {
    const int32_t Kind = Pick(0, 13);
    // The master's own steps wait while it is closed.
    if (Kind <= 5 && !M->Active())
      return;
    switch (Kind) {
    case 0:
    case 1:
    case 2:
      MoveMaster();
      break;
    case 3:
      InsertOrder();
      break;
    case 4:
      EditOrder();
      break;
    case 5:
      if (Chance(50))
        DeleteOrder();
      break;
    case 6:
    case 7:
    case 12:
    case 13:
      InsertLine();
      break;
    case 8:
      DeleteLine();
      break;
    case 9:
      FLast = S->Enabled() ? "disable link" : "enable link";
      S->SetEnabled(!S->Enabled());
      break;
    case 10:
      FLast = M->Active() ? "close master" : "open master";
      if (M->Active())
        M->Close();
      else
        M->Open();
      break;
    default:
      if (M->Active()) {
        MoveMaster();
      }
      break;
    }
  }

  uint32_t FSeed;
  int32_t FSteps;
  int32_t FStep = 0;
  std::string FLast;
  std::mt19937 FRandom;
  TTolvanTable* M = nullptr;
  TTolvanTable* D = nullptr;
  TDataSource* S = nullptr;
  std::set<int32_t> FOrders;
  std::set<TLine> FLines;
  bool FWasFollowing = false;
  std::optional<int32_t> FLastKey;
};

class TableMasterDetailTest : public ComponentTest {};
class TableMasterDetailSlow : public ComponentTest {};

TEST_F(TableMasterDetailTest, DetailFollowsTheMasterLikeTheModel) {
  for (uint32_t Seed : {1u, 2u, 3u}) {
    TMasterDetailRun(Seed, 250).Run();
    if (HasFailure())
      return;
  }
}

TEST_F(TableMasterDetailSlow, LongRunsFollowTheModel) {
  for (uint32_t Seed = 100; Seed < 110; ++Seed) {
    TMasterDetailRun(Seed, 2000).Run();
    if (HasFailure())
      return;
  }
}

TEST_F(TableMasterDetailTest, CircularLinksAreRefused) {
  auto A = Own(NewComponent<TTolvanTable>(nullptr));
  auto B = Own(NewComponent<TTolvanTable>(nullptr));
  auto SA = Own(NewComponent<TDataSource>(nullptr));
  auto SB = Own(NewComponent<TDataSource>(nullptr));
  SA->SetDataSet(A.get());
  SB->SetDataSet(B.get());
  B->SetMasterSource(SA.get());
  for (auto [Table, Source] : {std::pair{A.get(), SB.get()}, std::pair{A.get(), SA.get()}}) {
    try {
      Table->SetMasterSource(Source);
      ADD_FAILURE() << "linked";
    } catch (const EDatabaseError& E) {
      EXPECT_NE(std::string(E.what()).find("Circular datalinks are not allowed"),
                std::string::npos);
    }
    EXPECT_EQ(Table->MasterSource(), nullptr);
  }
  EXPECT_EQ(B->MasterSource(), SA.get());
}

} // namespace
