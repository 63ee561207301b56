#include "classlib/Components.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tolvan;

namespace {

std::vector<std::string> Log;
int Alive = 0;

// Logs its life and what it hears; can be told to fail in BeforeDestruction.
class TProbe : public TComponent {
public:
  explicit TProbe(std::string Tag, bool FailOnFree = false)
      : FTag(std::move(Tag)), FFail(FailOnFree) {
    ++Alive;
  }
  const std::string& Tag() const { return FTag; }
  std::vector<std::string> Heard;

protected:
  ~TProbe() override { --Alive; }
  void BeforeDestruction() override {
    Log.push_back("before " + FTag);
    if (FFail)
      throw EAbort("fail " + FTag);
  }
  void OwnerNotification(TComponent* C, TOperation Op) override {
    // A probe that is heard about must still be a whole probe.
    auto* P = dynamic_cast<TProbe*>(C);
    Heard.push_back(std::string(Op == opInsert ? "+" : "-") + (P ? P->Tag() : "?"));
    TComponent::OwnerNotification(C, Op);
  }
  void AfterLoading() override { Log.push_back("loaded " + FTag); }

private:
  std::string FTag;
  bool FFail;
};

class ComponentsTest : public ::testing::Test {
protected:
  void SetUp() override {
    Log.clear();
    Alive = 0;
  }
  void TearDown() override { EXPECT_EQ(Alive, 0); }
};

TEST_F(ComponentsTest, FreeGoesLastFirstAndNotificationsSeeTheFullType) {
  TProbe* Root = NewComponent<TProbe>(nullptr, "root");
  TProbe* A = NewComponent<TProbe>(Root, "a");
  NewComponent<TProbe>(Root, "b");
  NewComponent<TProbe>(A, "a1");
  EXPECT_EQ(Root->Heard, (std::vector<std::string>{"+a", "+b"}));
  EXPECT_EQ(A->Heard, (std::vector<std::string>{"+a", "+b", "+a1"}));
  EXPECT_EQ(Root->ComponentCount(), 2);
  EXPECT_EQ(Root->Components(0), A);
  EXPECT_THROW(Root->Components(2), EListError);

  Root->Free();
  EXPECT_EQ(Log, (std::vector<std::string>{"before root", "before b", "before a", "before a1"}));
}

TEST_F(ComponentsTest, ExplicitFreeLeavesTheOwner) {
  TComponentPtr<TProbe> Root(NewComponent<TProbe>(nullptr, "root"));
  TProbe* A = NewComponent<TProbe>(Root.get(), "a");
  TProbe* B = NewComponent<TProbe>(Root.get(), "b");
  A->Free();
  EXPECT_EQ(Root->ComponentCount(), 1);
  EXPECT_EQ(Root->Components(0), B);
  EXPECT_EQ(B->Heard.back(), "-a");
}

TEST_F(ComponentsTest, FailingBeforeDestructionStillFreesEverythingAndRethrowsOnce) {
  TProbe* Root = NewComponent<TProbe>(nullptr, "root", true);
  NewComponent<TProbe>(Root, "a", true);
  NewComponent<TProbe>(NewComponent<TProbe>(Root, "b"), "b1", true);
  try {
    Root->Free();
    FAIL();
  } catch (const EAbort& E) {
    EXPECT_EQ(E.Message(), "fail root"); // the first failure
  }
  EXPECT_EQ(Log, (std::vector<std::string>{"before root", "before b", "before b1", "before a"}));
}

TEST_F(ComponentsTest, DeleterReportsToTheApplicationHandler) {
  std::vector<std::string> Reported;
  TApplicationExceptionHandler Old = SetApplicationExceptionHandler([&](std::exception_ptr E) {
    try {
      std::rethrow_exception(E);
    } catch (const Exception& X) {
      Reported.push_back(X.Message());
    }
  });
  {
    TComponentPtr<TProbe> P = MakeComponent<TProbe>("p", true);
    NewComponent<TProbe>(P.get(), "child");
  }
  SetApplicationExceptionHandler(std::move(Old));
  EXPECT_EQ(Reported, (std::vector<std::string>{"fail p"}));
}

TEST_F(ComponentsTest, NamesAreIdentifiersUniqueAmongSiblings) {
  TComponentPtr<TProbe> Root(NewComponent<TProbe>(nullptr, "root"));
  TProbe* A = NewComponent<TProbe>(Root.get(), "a");
  TProbe* B = NewComponent<TProbe>(Root.get(), "b");
  A->SetName("Table1");
  EXPECT_EQ(Root->FindComponent("TABLE1"), A);
  EXPECT_THROW(B->SetName("table1"), EComponentError);
  A->SetName("TABLE1"); // its own name in another case
  EXPECT_EQ(A->Name(), "TABLE1");
  for (const char* Bad : {"1a", "a b", "a-b", "\xE9t\xE9"})
    EXPECT_THROW(B->SetName(Bad), EComponentError) << Bad;
  B->SetName("_x9");
  B->SetName("");
  EXPECT_EQ(Root->FindComponent(""), nullptr);
  // Another owner's namespace is separate.
  TProbe* C = NewComponent<TProbe>(B, "c");
  C->SetName("Table1");
}

TEST_F(ComponentsTest, FreeNotificationGoesEitherWay) {
  TComponentPtr<TProbe> Watcher = MakeComponent<TProbe>("w");
  TProbe* Watched = NewComponent<TProbe>(nullptr, "x");
  Watcher->FreeNotification(Watched);
  Watcher->FreeNotification(Watched); // once only
  Watched->Free();
  EXPECT_EQ(Watcher->Heard, (std::vector<std::string>{"-x"}));

  // Freed first, the watcher is forgotten by what it watched: freeing that later must not
  // reach it (the sanitizer would catch the access).
  TProbe* Early = NewComponent<TProbe>(nullptr, "early");
  TProbe* Late = NewComponent<TProbe>(nullptr, "late");
  Early->FreeNotification(Late);
  Early->Free();
  Late->Free();
}

TEST_F(ComponentsTest, LoadingAndDesigningRunDownTheTree) {
  TComponentPtr<TProbe> Root(NewComponent<TProbe>(nullptr, "root"));
  TProbe* A = NewComponent<TProbe>(Root.get(), "a");
  Root->BeginLoading();
  TProbe* B = NewComponent<TProbe>(Root.get(), "b"); // joins a loading owner
  TProbe* A1 = NewComponent<TProbe>(A, "a1");
  EXPECT_TRUE(B->ComponentState() & csLoading);
  EXPECT_TRUE(A1->ComponentState() & csLoading);
  EXPECT_TRUE(A->IsBeingCreated());
  EXPECT_FALSE(Root->IsBeingCreated());
  Root->EndLoading();
  EXPECT_EQ(Log, (std::vector<std::string>{"loaded root", "loaded a", "loaded a1", "loaded b"}));
  EXPECT_FALSE(A->IsBeingCreated());
  EXPECT_EQ(A1->ComponentState() & csLoading, 0);

  Root->SetDesigning(true);
  EXPECT_TRUE(NewComponent<TProbe>(A1, "deep")->ComponentState() & csDesigning);
  Root->SetDesigning(false);
  EXPECT_EQ(A1->ComponentState() & csDesigning, 0);
}

TEST_F(ComponentsTest, ClassNameAndAssign) {
  TComponentPtr<TProbe> P = MakeComponent<TProbe>("p");
  TComponentPtr<TComponent> C = MakeComponent<TComponent>();
  EXPECT_EQ(P->ClassName(), "TProbe");
  EXPECT_EQ(C->ClassName(), "TComponent");
  try {
    P->Assign(*C);
    FAIL();
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "Cannot assign a TComponent to a TProbe");
  }
}

// A collection of named values that counts its change notifications.
class TItem : public TCollectionItem {
public:
  int Value = 0;
  void SetValue(int V) {
    Value = V;
    Changed();
  }
  void Assign(const TPersistent& Source) override {
    Value = dynamic_cast<const TItem&>(Source).Value;
  }
};

class TItems : public TCollection {
public:
  int Notified = 0;
  TItem& Add() { return static_cast<TItem&>(AddItem()); }
  TItem& At(int32_t I) const { return static_cast<TItem&>(Items(I)); }

protected:
  std::unique_ptr<TCollectionItem> NewItem() const override { return std::make_unique<TItem>(); }
  void ItemsChanged(TCollectionItem*) override { ++Notified; }
};

TEST(Collection, ItemsKeepTheirPositionAndChangesAreCounted) {
  TItems C;
  for (int I = 0; I < 4; ++I)
    C.Add().SetValue(I * 10);
  EXPECT_EQ(C.Notified, 8); // an add and a change each
  C.Delete(1);
  ASSERT_EQ(C.Count(), 3);
  for (int32_t I = 0; I < 3; ++I) {
    EXPECT_EQ(C.At(I).Index(), I);
    EXPECT_EQ(C.At(I).Collection(), &C);
  }
  EXPECT_EQ(C.At(1).Value, 20);
  EXPECT_THROW(C.Items(3), EListError);
  EXPECT_THROW(C.Delete(-1), EListError);

  C.Notified = 0;
  C.BeginUpdate();
  C.BeginUpdate();
  C.Add().SetValue(5);
  C.Delete(0);
  C.EndUpdate();
  EXPECT_EQ(C.Notified, 0);
  C.EndUpdate();
  EXPECT_EQ(C.Notified, 1);
  C.BeginUpdate();
  C.EndUpdate(); // nothing changed
  EXPECT_EQ(C.Notified, 1);

  TItems Copy;
  Copy.Add();
  Copy.Assign(C);
  EXPECT_EQ(Copy.Notified, 2); // the add, then one for the whole assignment
  ASSERT_EQ(Copy.Count(), C.Count());
  for (int32_t I = 0; I < C.Count(); ++I)
    EXPECT_EQ(Copy.At(I).Value, C.At(I).Value);
  C.Clear();
  EXPECT_EQ(C.Count(), 0);
}

} // namespace
