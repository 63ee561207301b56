#include <gtest/gtest.h>

#include <random>

#include "classlib/DataLinks.h"
#include "tests/classlib/FakeDataSet.h"

namespace tolvan::test {
namespace {

using TFakePtr = TComponentPtr<TFakeDataSet>;

TFakePtr MakeFake(std::initializer_list<int32_t> Ids = {}) {
  TFakePtr DS = MakeComponent<TFakeDataSet>();
  DS->Fill(Ids);
  return DS;
}

// The hooks called while Action runs, in order.
template <class F> std::string Logged(TFakeDataSet& DS, F&& Action) {
  DS.Log.clear();
  DS.Logging = true;
  Action();
  DS.Logging = false;
  return DS.Log;
}

std::vector<int32_t> Ids(const TFakeDataSet& DS) {
  std::vector<int32_t> R;
  for (const auto& Row : DS.Rows)
    R.push_back(TFakeDataSet::IdOf(Row));
  return R;
}

TEST(DataSet, PhaseOrder) {
  TFakePtr DS = MakeFake({1, 2, 3});
  std::string Events;
  DS->SetBeforeOpen([&](TDataSet&) { Events += "BO "; });
  DS->SetAfterOpen([&](TDataSet&) { Events += "AO "; });
  DS->SetBeforeClose([&](TDataSet&) { Events += "BC "; });
  DS->SetAfterClose([&](TDataSet&) { Events += "AC "; });
  EXPECT_EQ(Logged(*DS, [&] { DS->Open(); }),
            "OpenEngineCursor OpenData RecordBufferSize NewRecordBuffer NewRecordBuffer "
            "NewRecordBuffer MoveToBegin FetchRecord");
  EXPECT_EQ(DS->State(), dsBrowse);
  EXPECT_EQ(DS->ShownId(), 1);
  EXPECT_EQ(DS->Fields().Count(), 3);
  EXPECT_TRUE(DS->DefaultFields());
  EXPECT_EQ(DS->Live.size(), 3u);

  EXPECT_EQ(Logged(*DS, [&] { DS->Insert(); }),
            "InitNewRecord InitRecordBuffer BeginInsertRecord");
  DS->FieldByName("ID").SetAsInteger(9);
  EXPECT_EQ(Logged(*DS, [&] { DS->Post(); }), "PostRecord FetchRecord");
  EXPECT_EQ(Ids(*DS), (std::vector<int32_t>{9, 1, 2, 3}));
  EXPECT_EQ(DS->ShownId(), 9);

  DS->Next();
  EXPECT_EQ(Logged(*DS, [&] { DS->Edit(); }), "EditRecord");
  DS->FieldByName("V").SetAsInteger(77);
  EXPECT_EQ(Logged(*DS, [&] { DS->Cancel(); }), "CancelRecord FetchRecord");
  EXPECT_EQ(DS->FieldByName("V").AsInteger(), 1);
  EXPECT_EQ(Logged(*DS, [&] { DS->Delete(); }), "DeleteRecord FetchRecord");
  EXPECT_EQ(Ids(*DS), (std::vector<int32_t>{9, 2, 3}));
  EXPECT_EQ(DS->ShownId(), 2);

  EXPECT_EQ(DS->NewBuffers, 3);
  EXPECT_EQ(Logged(*DS, [&] { DS->Close(); }),
            "CloseEngineCursor CloseData DisposeRecordBuffer DisposeRecordBuffer "
            "DisposeRecordBuffer");
  EXPECT_TRUE(DS->Live.empty());
  EXPECT_EQ(DS->Fields().Count(), 0); // default fields go with the close
  EXPECT_EQ(Events, "BO AO BC AC ");
  EXPECT_EQ(DS->ActiveBuffer(), nullptr);
}

TEST(DataSet, CloseDropsAPendingChangeWithoutCancelRecord) {
  TFakePtr DS = MakeFake({1});
  DS->Open();
  DS->Edit();
  DS->FieldByName("V").SetAsInteger(5);
  EXPECT_EQ(Logged(*DS, [&] { DS->Close(); }).find("CancelRecord"), std::string::npos);
  EXPECT_EQ(DS->Rows[0].Data[16], 1);
}

TEST(DataSet, OpenWithoutCursorStaysClosedQuietly) {
  TFakePtr DS = MakeFake({1});
  DS->NoCursor = true;
  EXPECT_EQ(Logged(*DS, [&] { DS->Open(); }), "OpenEngineCursor CloseEngineCursor CloseData");
  EXPECT_FALSE(DS->Active());
  EXPECT_EQ(DS->NewBuffers, 0);
}

// Each operation in each state: the state it leaves, or 'E' for EDatabaseError.
TEST(DataSet, StateTable) {
  struct TOp {
    const char* Name;
    void (*Run)(TFakeDataSet&);
  };
  const TOp Ops[] = {
      {"Insert", [](TFakeDataSet& D) { D.Insert(); }},
      {"Append", [](TFakeDataSet& D) { D.Append(); }},
      {"Edit", [](TFakeDataSet& D) { D.Edit(); }},
      {"Post", [](TFakeDataSet& D) { D.Post(); }},
      {"Cancel", [](TFakeDataSet& D) { D.Cancel(); }},
      {"Delete", [](TFakeDataSet& D) { D.Delete(); }},
      {"Next", [](TFakeDataSet& D) { D.Next(); }},
      {"Refresh", [](TFakeDataSet& D) { D.Refresh(); }},
  };
  // Start states: closed, browse, edit (unmodified / modified), insert, empty browse.
  struct TCase {
    const char* Start;
    const char* Expected; // one character per operation: state number or E
  };
  const TCase Cases[] = {
      {"closed", "EEEEEEEE"}, {"browse", "332E1111"}, {"edit", "33211111"},
      {"editmod", "33211111"}, {"insert", "33311111"}, {"empty", "33EE1E11"},
  };
  for (const TCase& C : Cases) {
    for (size_t I = 0; I < std::size(Ops); ++I) {
      TFakePtr DS = MakeFake();
      if (std::string(C.Start) != "empty")
        DS->Fill({1, 2});
      const std::string S = C.Start;
      if (S != "closed")
        DS->Open();
      if (S == "edit" || S == "editmod")
        DS->Edit();
      if (S == "editmod")
        DS->FieldByName("V").SetAsInteger(8);
      if (S == "insert")
        DS->Insert();
      char Got;
      try {
        Ops[I].Run(*DS);
        Got = static_cast<char>('0' + DS->State());
      } catch (const EDatabaseError&) {
        Got = 'E';
      }
      EXPECT_EQ(Got, C.Expected[I]) << C.Start << " " << Ops[I].Name;
    }
  }
}

TEST(DataSet, FieldWritesFollowTheWriteStates) {
  TFakePtr DS = MakeFake({1});
  DS->Open();
  TField& V = DS->FieldByName("V");
  for (int S : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}) {
    const auto State = static_cast<TDataSetState>(S);
    const TDataSetState Old = DS->SetTempState(State);
    const bool Writable = (S >= 2 && S <= 7) || S == 11;
    if (Writable)
      EXPECT_NO_THROW(V.SetAsInteger(3)) << S;
    else
      EXPECT_THROW(V.SetAsInteger(3), EDatabaseError) << S;
    DS->RestoreState(Old);
  }
}

TEST(DataSet, ModifiedAndOnChangeFollowTheState) {
  TFakePtr DS = MakeFake({1});
  DS->Open();
  int Changes = 0;
  DS->FieldByName("V").SetOnChange([&](TField&) { ++Changes; });
  DS->Edit();
  EXPECT_FALSE(DS->Modified());
  DS->FieldByName("V").SetAsInteger(4);
  EXPECT_TRUE(DS->Modified());
  EXPECT_EQ(Changes, 1);
  DS->Post();
  EXPECT_FALSE(DS->Modified());
  EXPECT_EQ(DS->FieldByName("V").AsInteger(), 4);
  // A read-only dataset refuses changes before any hook runs.
  DS->ReadOnly = true;
  EXPECT_THROW(DS->Edit(), EDatabaseError);
  EXPECT_THROW(DS->Insert(), EDatabaseError);
  EXPECT_THROW(DS->Delete(), EDatabaseError);
  EXPECT_EQ(DS->State(), dsBrowse);
}

TEST(DataSet, EndsAndEdges) {
  TFakePtr DS = MakeFake({1, 2, 3});
  DS->Open();
  EXPECT_TRUE(DS->Bof());
  EXPECT_FALSE(DS->Eof());
  DS->Prior(); // nothing before the first
  EXPECT_TRUE(DS->Bof());
  EXPECT_EQ(DS->ShownId(), 1);
  EXPECT_EQ(DS->MoveBy(5), 2);
  EXPECT_TRUE(DS->Eof());
  EXPECT_EQ(DS->ShownId(), 3); // the last record stays shown at the end
  DS->Prior();                 // back from the end: the record before the shown one
  EXPECT_EQ(DS->ShownId(), 2);
  EXPECT_FALSE(DS->Eof());
  DS->Last();
  EXPECT_TRUE(DS->Eof());
  EXPECT_FALSE(DS->Bof());
  EXPECT_EQ(DS->ShownId(), 3);

  // Insert then Cancel comes back to the shown record; Append alike, from the last.
  DS->First();
  DS->Next();
  DS->Insert();
  DS->FieldByName("ID").SetAsInteger(50);
  DS->Cancel();
  EXPECT_EQ(DS->ShownId(), 2);
  DS->Append();
  EXPECT_TRUE(DS->FieldByName("ID").IsNull());
  DS->Cancel();
  EXPECT_EQ(DS->ShownId(), 3);
  EXPECT_TRUE(DS->Eof());
  DS->Append();
  DS->FieldByName("ID").SetAsInteger(4);
  DS->Post();
  EXPECT_EQ(Ids(*DS), (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(DS->ShownId(), 4);

  // Deleting the last record shows the one before; deleting the only one empties.
  DS->Delete();
  EXPECT_EQ(DS->ShownId(), 3);
  DS->First();
  DS->Delete();
  DS->Delete();
  EXPECT_EQ(DS->ShownId(), 3);
  DS->Delete();
  EXPECT_TRUE(DS->IsEmpty());
  EXPECT_TRUE(DS->Bof() && DS->Eof());
  EXPECT_TRUE(DS->FieldByName("ID").IsNull());
  EXPECT_THROW(DS->Edit(), EDatabaseError);
  EXPECT_THROW(DS->Delete(), EDatabaseError);
  // Insert into the empty dataset, then Cancel: still empty.
  DS->Insert();
  EXPECT_FALSE(DS->IsEmpty());
  DS->Cancel();
  EXPECT_TRUE(DS->IsEmpty());
  DS->Insert();
  DS->FieldByName("ID").SetAsInteger(7);
  DS->Post();
  EXPECT_EQ(DS->ShownId(), 7);
  EXPECT_FALSE(DS->Bof() || DS->Eof());
}

TEST(DataSet, Bookmarks) {
  TFakePtr DS = MakeFake({1, 2, 3});
  DS->Open();
  DS->Next();
  const TBookmark B2 = DS->GetBookmark();
  ASSERT_EQ(B2.size(), 4u);
  DS->Last();
  const TBookmark B3 = DS->GetBookmark();
  EXPECT_EQ(DS->CompareBookmarks(B2, B3), -1);
  EXPECT_EQ(DS->CompareBookmarks(B3, B2), 1);
  EXPECT_EQ(DS->CompareBookmarks(B2, B2), 0);
  EXPECT_EQ(DS->CompareBookmarks({}, B2), 1);
  EXPECT_EQ(DS->CompareBookmarks({}, {}), 0);
  EXPECT_THROW(DS->CompareBookmarks({1, 2}, B2), EDatabaseError);
  int Scrolls = 0;
  DS->SetAfterScroll([&](TDataSet&) { ++Scrolls; });
  DS->GotoBookmark(B2);
  EXPECT_EQ(DS->ShownId(), 2);
  EXPECT_EQ(Scrolls, 1);
  DS->Insert();
  EXPECT_TRUE(DS->GetBookmark().empty());
  DS->Cancel();
  DS->Delete();
  EXPECT_FALSE(DS->BookmarkValid(B2));
  EXPECT_TRUE(DS->BookmarkValid(B3));
  EXPECT_THROW(DS->GotoBookmark(B2), EDatabaseError);
  EXPECT_EQ(DS->ShownId(), 3); // the shown record stays; the next move starts from it
  DS->Prior();
  EXPECT_EQ(DS->ShownId(), 1);
  EXPECT_THROW(DS->GotoBookmark({1}), EDatabaseError);
}

// A seeded walk against a model: the rows, the shown row, Bof and Eof after every step.
TEST(DataSet, RandomWalkMatchesModel) {
  std::mt19937 Rng(12345);
  TFakePtr DS = MakeFake({1, 2, 3, 4, 5});
  DS->Open();
  std::vector<int32_t> Model{1, 2, 3, 4, 5};
  int32_t Cur = 0; // index into Model, when not empty
  bool Bof = true, Eof = false;
  int32_t NextKey = 100;
  std::vector<std::pair<TBookmark, int32_t>> Marks;
  for (int Step = 0; Step < 3000; ++Step) {
    const int Op = static_cast<int>(Rng() % 11);
    const bool Empty = Model.empty();
    switch (Op) {
    case 0:
      DS->First();
      Cur = 0, Bof = true, Eof = Empty;
      break;
    case 1:
      DS->Last();
      Cur = static_cast<int32_t>(Model.size()) - 1, Eof = true, Bof = Empty;
      break;
    case 2:
      DS->Next();
      if (!Eof) {
        Bof = false;
        if (Cur + 1 < static_cast<int32_t>(Model.size()))
          ++Cur;
        else
          Eof = true;
      }
      break;
    case 3:
      DS->Prior();
      if (!Bof) {
        Eof = false;
        if (Cur > 0)
          --Cur;
        else
          Bof = true;
      }
      break;
    case 4:
    case 5: {
      const bool Append = Op == 5;
      Append ? DS->Append() : DS->Insert();
      DS->FieldByName("ID").SetAsInteger(NextKey);
      if (Rng() % 4 == 0) {
        DS->Cancel();
        if (Append && !Empty)
          Cur = static_cast<int32_t>(Model.size()) - 1, Eof = true, Bof = false;
        break;
      }
      DS->Post();
      const int32_t At = Append || Empty ? static_cast<int32_t>(Model.size()) : Cur;
      Model.insert(Model.begin() + At, NextKey++);
      Cur = At, Bof = Eof = false;
      break;
    }
    case 6:
      if (Empty) {
        EXPECT_THROW(DS->Edit(), EDatabaseError);
        break;
      }
      DS->Edit();
      DS->FieldByName("ID").SetAsInteger(NextKey);
      if (Rng() % 3 == 0) {
        DS->Cancel();
      } else {
        DS->Post();
        // A bookmark names the record, whatever its key becomes.
        for (auto& M : Marks)
          if (M.second == Model[static_cast<size_t>(Cur)])
            M.second = NextKey;
        Model[static_cast<size_t>(Cur)] = NextKey++;
      }
      Bof = Eof = false;
      break;
    case 7:
      if (Empty) {
        EXPECT_THROW(DS->Delete(), EDatabaseError);
        break;
      }
      DS->Delete();
      Model.erase(Model.begin() + Cur);
      if (Model.empty())
        Bof = Eof = true, Cur = 0;
      else if (Cur == static_cast<int32_t>(Model.size()))
        --Cur, Bof = Eof = false;
      else
        Bof = Eof = false;
      break;
    case 8:
      if (!Empty)
        Marks.emplace_back(DS->GetBookmark(), Model[static_cast<size_t>(Cur)]);
      break;
    case 9: {
      if (Marks.empty())
        break;
      const auto& [Mark, Key] = Marks[Rng() % Marks.size()];
      const auto It = std::find(Model.begin(), Model.end(), Key);
      if (It == Model.end()) {
        EXPECT_FALSE(DS->BookmarkValid(Mark));
        break;
      }
      DS->GotoBookmark(Mark);
      Cur = static_cast<int32_t>(It - Model.begin()), Bof = Eof = false;
      break;
    }
    case 10: {
      if (Empty)
        break;
      const int32_t Key = Model[Rng() % Model.size()];
      EXPECT_TRUE(DS->Locate("ID", Key, 0));
      Cur = static_cast<int32_t>(std::find(Model.begin(), Model.end(), Key) - Model.begin());
      Bof = Eof = false;
      break;
    }
    }
    ASSERT_EQ(Ids(*DS), Model) << "step " << Step;
    ASSERT_EQ(DS->IsEmpty(), Model.empty()) << "step " << Step;
    if (!Model.empty()) {
      ASSERT_EQ(DS->ShownId(), Model[static_cast<size_t>(Cur)]) << "step " << Step;
    }
    ASSERT_EQ(DS->Bof(), Bof) << "step " << Step << " op " << Op;
    ASSERT_EQ(DS->Eof(), Eof) << "step " << Step << " op " << Op;
  }
  EXPECT_EQ(DS->NewBuffers, 3);
}

// Every hook call of a scripted run raises once: the dataset stays valid, a failed move keeps
// the shown record, a failed open ends closed after one CloseEngineCursor with no buffer left.
TEST(DataSet, FaultInjectionAtEveryHook) {
  int64_t K = 1;
  for (;; ++K) {
    TFakePtr DS = MakeFake({1, 2, 3});
    DS->FailAt = K;
    DS->Logging = true;
    bool Failed = false;
    std::string Step;
    int32_t Before = 0;
    auto Move = [&](const char* Name, auto&& Action) {
      Step = Name;
      Before = DS->ShownId();
      Action();
    };
    try {
      Step = "open";
      DS->Open();
      Move("next", [&] { DS->Next(); });
      Move("last", [&] { DS->Last(); });
      Move("prior", [&] { DS->Prior(); });
      Step = "bookmark";
      const TBookmark B = DS->GetBookmark();
      Move("first", [&] { DS->First(); });
      Move("goto", [&] { DS->GotoBookmark(B); });
      Step = "insert";
      DS->Insert();
      DS->FieldByName("ID").SetAsInteger(10);
      DS->Post();
      Step = "edit";
      DS->Edit();
      DS->FieldByName("V").SetAsInteger(11);
      DS->Post();
      Step = "delete";
      DS->Delete();
      Move("locate", [&] { DS->Locate("ID", 3, 0); });
      Step = "close";
      DS->Close();
    } catch (const TInjectedFault&) {
      Failed = true;
    }
    if (!Failed)
      break;
    SCOPED_TRACE("fault at hook " + std::to_string(K) + " during " + Step);
    if (Step == "open") {
      EXPECT_FALSE(DS->Active());
      size_t Closes = 0;
      for (size_t P = 0; (P = DS->Log.find("CloseEngineCursor", P)) != std::string::npos; ++P)
        ++Closes;
      EXPECT_EQ(Closes, DS->Log.find("OpenEngineCursor") == 0 ? 1u : 0u);
    }
    if (Step == "close") {
      EXPECT_FALSE(DS->Active());
    }
    if (DS->Active()) {
      EXPECT_NE(DS->ActiveBuffer(), nullptr);
      EXPECT_EQ(DS->Live.size(), 3u);
      if (Step == "next" || Step == "last" || Step == "prior" || Step == "first" ||
          Step == "goto" || Step == "locate") {
        EXPECT_EQ(DS->State(), dsBrowse);
        EXPECT_EQ(DS->ShownId(), Before);
      }
      // The dataset still works: close it and read everything again.
      DS->FailAt = 0;
      DS->Close();
      DS->Open();
      std::vector<int32_t> Seen;
      for (; !DS->Eof(); DS->Next())
        Seen.push_back(DS->ShownId());
      EXPECT_EQ(Seen, Ids(*DS));
    } else {
      EXPECT_TRUE(DS->Live.empty());
      EXPECT_EQ(DS->ActiveBuffer(), nullptr);
    }
  }
  EXPECT_GT(K, 30);
}

TEST(DataSet, CalculatedFields) {
  TFakePtr DS = MakeFake({1, 2});
  auto* Id = NewComponent<TIntegerField>(DS.get());
  Id->SetFieldName("ID");
  Id->SetDataSet(DS.get());
  auto* V = NewComponent<TIntegerField>(DS.get());
  V->SetFieldName("V");
  V->SetDataSet(DS.get());
  auto* Twice = NewComponent<TIntegerField>(DS.get());
  Twice->SetFieldName("TWICE");
  Twice->SetFieldKind(fkCalculated);
  Twice->SetDataSet(DS.get());
  auto* Tag = NewComponent<TStringField>(DS.get());
  Tag->SetFieldName("TAG");
  Tag->SetSize(4);
  Tag->SetFieldKind(fkCalculated);
  Tag->SetDataSet(DS.get());
  int Calcs = 0;
  DS->SetOnCalcFields([&](TDataSet& D) {
    ++Calcs;
    EXPECT_EQ(D.State(), dsCalcFields);
    Twice->SetAsInteger(V->AsInteger() * 2);
  });
  DS->Open();
  EXPECT_FALSE(DS->DefaultFields());
  EXPECT_EQ(Twice->Offset(), 0);
  EXPECT_EQ(Tag->Offset(), 5);
  EXPECT_EQ(DS->CalcFieldsSize(), 11);
  EXPECT_LT(Twice->FieldNo(), 0);
  EXPECT_EQ(V->FieldNo(), 3);
  EXPECT_EQ(Calcs, 1);
  EXPECT_EQ(Twice->AsInteger(), 2);
  EXPECT_TRUE(Tag->IsNull());
  DS->Next();
  EXPECT_EQ(Calcs, 2);
  EXPECT_EQ(Twice->AsInteger(), 4);
  DS->Next(); // no record: no calculation
  EXPECT_EQ(Calcs, 2);
  // A field change while editing recalculates the shown record.
  DS->Edit();
  V->SetAsInteger(21);
  EXPECT_EQ(Twice->AsInteger(), 42);
  DS->SetAutoCalcFields(false);
  V->SetAsInteger(5);
  EXPECT_EQ(Twice->AsInteger(), 42);
  DS->Cancel();
  EXPECT_EQ(Twice->AsInteger(), 4);
  DS->Close();
  EXPECT_EQ(DS->Fields().Count(), 4); // persistent fields stay
}

struct TLinkFixture {
  TFakePtr Master = MakeFake({1, 2, 3});
  TFakePtr Detail = MakeFake({1});
  TComponentPtr<TDataSource> Source = MakeComponent<TDataSource>();
  TMasterDataLink Link{Detail.get()};
  int Changes = 0, Disables = 0;
  TLinkFixture() {
    Source->SetDataSet(Master.get());
    Detail->Open();
    Link.SetFieldNames("ID");
    Link.SetOnMasterChange([this] { ++Changes; });
    Link.SetOnMasterDisable([this] { ++Disables; });
    Link.SetDataSource(Source.get());
  }
};

TEST(DataLinks, MasterLinkFollowsTheMaster) {
  TLinkFixture F;
  EXPECT_FALSE(F.Link.Active());
  F.Master->Open();
  EXPECT_TRUE(F.Link.Active());
  ASSERT_EQ(F.Link.Fields().size(), 1u);
  EXPECT_EQ(F.Link.Fields()[0], &F.Master->FieldByName("ID"));
  EXPECT_EQ(F.Changes, 1); // activation
  F.Master->Next();
  EXPECT_EQ(F.Changes, 2); // scroll
  F.Master->Edit();
  const int AfterEdit = F.Changes;
  F.Master->FieldByName("V").SetAsInteger(9); // not a link field
  EXPECT_EQ(F.Changes, AfterEdit);
  F.Master->FieldByName("ID").SetAsInteger(9);
  EXPECT_EQ(F.Changes, AfterEdit + 1);
  F.Master->Post();
  EXPECT_EQ(F.Changes, AfterEdit + 2);

  // Several moves with controls disabled: one change afterwards.
  const int Before = F.Changes;
  F.Master->DisableControls();
  F.Master->First();
  F.Master->Next();
  F.Master->Next();
  EXPECT_EQ(F.Changes, Before);
  F.Master->EnableControls();
  EXPECT_EQ(F.Changes, Before + 1);

  // Not while the master edits a key.
  F.Master->Enter(dsSetKey);
  F.Master->DataEvent(deDataSetChange);
  EXPECT_EQ(F.Changes, Before + 1);
  F.Master->Enter(dsBrowse);

  // A disabled source: the link goes inactive.
  F.Source->SetEnabled(false);
  EXPECT_EQ(F.Disables, 1);
  F.Source->SetEnabled(true);
  EXPECT_EQ(F.Changes, Before + 2);
  F.Master->Close();
  EXPECT_FALSE(F.Link.Active());
  EXPECT_TRUE(F.Link.Fields().empty());
  EXPECT_EQ(F.Disables, 2);
  // An unknown field name refuses activation.
  F.Link.SetFieldNames("NOPE");
  EXPECT_THROW(F.Master->Open(), EDatabaseError);
}

TEST(DataLinks, IsLinkedToWalksMasterChains) {
  TFakePtr A = MakeFake(), B = MakeFake(), C = MakeFake(), X = MakeFake();
  auto SA = MakeComponent<TDataSource>(), SB = MakeComponent<TDataSource>();
  SA->SetDataSet(A.get());
  SB->SetDataSet(B.get());
  EXPECT_TRUE(A->IsLinkedTo(SA.get()));
  EXPECT_FALSE(B->IsLinkedTo(SA.get()));
  EXPECT_FALSE(A->IsLinkedTo(nullptr));
  B->MasterSource = SA.get(); // B is a detail of A
  EXPECT_TRUE(A->IsLinkedTo(SB.get()));
  EXPECT_FALSE(C->IsLinkedTo(SB.get()));
  A->MasterSource = SB.get(); // a cycle A -> B -> A
  EXPECT_FALSE(X->IsLinkedTo(SB.get()));
  EXPECT_TRUE(B->IsLinkedTo(SA.get()));
}

TEST(DataLinks, FreeingDetachesAndCloses) {
  TLinkFixture F;
  F.Master->Open();
  F.Master->SetBeforeClose([](TDataSet&) { ADD_FAILURE() << "no BeforeClose while freeing"; });
  F.Master->Logging = true;
  TFakeDataSet* Raw = F.Master.get();
  std::string Log;
  // The hooks run on the dataset being freed; read its log before it goes.
  F.Master->SetAfterScroll(nullptr);
  F.Link.SetOnMasterDisable([&] {
    ++F.Disables;
    Log = Raw->Log;
  });
  F.Master.reset();
  EXPECT_EQ(F.Source->DataSet(), nullptr);
  EXPECT_FALSE(F.Link.Active());
  EXPECT_EQ(F.Disables, 1);
  EXPECT_EQ(Log.find("CloseEngineCursor"), 0u);

  // A freed source leaves its links without one.
  F.Source.reset();
  EXPECT_EQ(F.Link.DataSource(), nullptr);

  // A link destroyed first leaves its source.
  auto S = MakeComponent<TDataSource>();
  {
    TDataLink L;
    L.SetDataSource(S.get());
    EXPECT_EQ(S->LinkCount(), 1);
  }
  EXPECT_EQ(S->LinkCount(), 0);
}

TEST(DataSet, FreeingAFieldClosesTheDataSet) {
  TFakePtr DS = MakeFake({1});
  auto* Id = NewComponent<TIntegerField>(nullptr);
  Id->SetFieldName("ID");
  Id->SetDataSet(DS.get());
  DS->Open();
  Id->Free();
  EXPECT_FALSE(DS->Active());
  EXPECT_EQ(DS->Fields().Count(), 0);
  EXPECT_TRUE(DS->Live.empty());
}

} // namespace
} // namespace tolvan::test
