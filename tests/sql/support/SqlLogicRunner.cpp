// The runner of the .test files; the format is described in SqlLogicRunner.h.
#include "tests/sql/support/SqlLogicRunner.h"

#include <gtest/gtest.h>

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "classlib/DBFields.h"
#include "classlib/DateUtils.h"
#include "classlib/Strings.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanTypesRoutines.h"

namespace tolvan::test {
namespace {

std::string Trim(std::string_view S) {
  size_t B = 0, E = S.size();
  while (B < E && (S[B] == ' ' || S[B] == '\t' || S[B] == '\r'))
    ++B;
  while (E > B && (S[E - 1] == ' ' || S[E - 1] == '\t' || S[E - 1] == '\r'))
    --E;
  return std::string(S.substr(B, E - B));
}

std::vector<std::string> Split(std::string_view S, char By) {
  std::vector<std::string> Out;
  size_t Start = 0;
  for (size_t I = 0; I <= S.size(); ++I)
    if (I == S.size() || S[I] == By) {
      Out.emplace_back(S.substr(Start, I - Start));
      Start = I + 1;
    }
  return Out;
}

std::vector<std::string> Words(std::string_view S) {
  std::vector<std::string> Out;
  std::istringstream In{std::string(S)};
  for (std::string W; In >> W;)
    Out.push_back(W);
  return Out;
}

// The class name of an exception without its namespace.
std::string ClassNameOf(const std::exception& E) {
  int Status = 0;
  char* D = abi::__cxa_demangle(typeid(E).name(), nullptr, nullptr, &Status);
  std::string Name = Status == 0 && D ? D : typeid(E).name();
  std::free(D);
  const size_t Colon = Name.rfind("::");
  return Colon == std::string::npos ? Name : Name.substr(Colon + 2);
}

std::string EscapedLines(std::string_view S) {
  std::string Out;
  for (size_t I = 0; I < S.size(); ++I) {
    if (S[I] == '\r' && I + 1 < S.size() && S[I + 1] == '\n')
      continue;
    if (S[I] == '\n' || S[I] == '\r')
      Out += "\\n";
    else
      Out += S[I];
  }
  return Out;
}

std::string Hex(std::string_view Bytes) {
  static const char* const Digits = "0123456789ABCDEF";
  std::string Out;
  for (unsigned char C : Bytes) {
    Out += Digits[C >> 4];
    Out += Digits[C & 15];
  }
  return Out;
}

bool IsIntegerType(TFieldType T) {
  return T == ftSmallint || T == ftInteger || T == ftWord || T == ftAutoInc || T == ftLargeint;
}
bool IsFloatType(TFieldType T) {
  return T == ftFloat || T == ftCurrency || T == ftBCD || T == ftFMTBcd;
}
bool IsTextType(TFieldType T) {
  return T == ftString || T == ftFixedChar || T == ftWideString || T == ftMemo || T == ftFmtMemo;
}
bool IsDateType(TFieldType T) {
  return T == ftDate || T == ftTime || T == ftDateTime || T == ftTimeStamp;
}
bool IsBinaryType(TFieldType T) {
  return T == ftBytes || T == ftVarBytes || T == ftBlob || T == ftGraphic || T == ftTypedBinary;
}

// A value as the letter shows it; false (with a reason in Text) when the letter does not fit.
bool ShowValue(const TField& F, char Letter, std::string& Text) {
  const TFieldType T = F.DataType();
  bool Fits = false;
  switch (Letter) {
  case 'I':
    Fits = IsIntegerType(T);
    break;
  case 'R':
    Fits = IsFloatType(T);
    break;
  case 'T':
    Fits = IsTextType(T);
    break;
  case 'D':
    Fits = IsDateType(T);
    break;
  case 'B':
    Fits = T == ftBoolean;
    break;
  case 'X':
    Fits = IsBinaryType(T);
    break;
  default:
    break;
  }
  if (!Fits) {
    Text = std::string("type letter ") + Letter + " does not fit column " + F.FieldName() +
           " of field type " + std::to_string(int(T));
    return false;
  }
  if (F.IsNull()) {
    Text = "NULL";
    return true;
  }
  switch (Letter) {
  case 'I':
    Text = std::to_string(F.AsLargeInt());
    break;
  case 'R': {
    char B[64];
    std::snprintf(B, sizeof B, "%.3f", F.AsFloat());
    Text = B;
    break;
  }
  case 'T':
    Text = F.AsString();
    if (Text.empty())
      Text = "(empty)";
    break;
  case 'D':
    Text = FormatDateTime("yyyy-mm-dd hh:nn:ss", F.AsDateTime());
    break;
  case 'B':
    Text = F.AsBoolean() ? "true" : "false";
    break;
  default:
    Text = Hex(F.AsString());
    break;
  }
  return true;
}

struct TFixtureColumn {
  std::string Name;
  TTolvanFieldType Type = tftInteger;
  int32_t Size = 0;
};

struct TFixtureIndex {
  std::string Name, Fields, Desc, NoCase;
  TIndexOptions Options = 0;
};

struct TFixtureTable {
  std::string Name;
  std::vector<TFixtureColumn> Columns;
  std::vector<std::vector<std::string>> Rows;
  std::vector<TFixtureIndex> Indexes;
  int Line = 0;
};

class TRunner {
public:
  explicit TRunner(std::string Path) : FPath(std::move(Path)) {}

  void Run() {
    std::ifstream In(FPath);
    ASSERT_TRUE(In) << "cannot read " << FPath;
    std::vector<std::string> Lines;
    for (std::string L; std::getline(In, L);)
      Lines.push_back(L.size() && L.back() == '\r' ? L.substr(0, L.size() - 1) : L);
    size_t I = 0;
    while (I < Lines.size()) {
      if (Trim(Lines[I]).empty() || Lines[I][0] == '#') {
        ++I;
        continue;
      }
      // A record runs to the next blank line; comment lines inside it are dropped.
      const int First = int(I) + 1;
      std::vector<std::string> Record;
      while (I < Lines.size() && !Trim(Lines[I]).empty()) {
        if (Lines[I][0] != '#')
          Record.push_back(Lines[I]);
        ++I;
      }
      if (ApplyReleaseLines(Record, First))
        Handle(Record, First);
    }
  }

private:
  std::string Where(int Line) const { return FPath + ":" + std::to_string(Line); }

  // Takes the release lines off the record's start; false when the record does not run under
  // the active release.
  bool ApplyReleaseLines(std::vector<std::string>& Record, int Line) const {
    const bool Is390 = Release390Active();
    bool Runs = true;
    std::string Head390;
    size_t N = 0;
    for (; N < Record.size(); ++N) {
      const std::vector<std::string> W = Words(Record[N]);
      if (W.size() == 2 && (W[0] == "onlyif" || W[0] == "skipif") && W[1] == "3.90")
        Runs = Runs && (W[0] == "onlyif") == Is390;
      else if (W.size() >= 2 && W[0] == "3.90")
        Head390 = Trim(Trim(Record[N]).substr(4));
      else
        break;
    }
    Record.erase(Record.begin(), Record.begin() + std::ptrdiff_t(N));
    if (Record.empty()) {
      ADD_FAILURE() << Where(Line) << ": a record of release lines only";
      return false;
    }
    if (Is390 && !Head390.empty())
      Record[0] = Head390;
    return Runs;
  }

  void Handle(const std::vector<std::string>& Record, int Line) {
    const std::vector<std::string> Head = Words(Record[0]);
    if (Head[0] == "table")
      ParseTable(Record, Line);
    else if (Head[0] == "index")
      ParseIndex(Record[0], Line);
    else if (Head[0] == "statement")
      Statement(Head, Record, Line);
    else if (Head[0] == "query")
      Query(Head, Record, Line);
    else
      ADD_FAILURE() << Where(Line) << ": unknown record '" << Record[0] << "'";
  }

  // --- fixtures ----------------------------------------------------------------------------------

  void ParseTable(const std::vector<std::string>& Record, int Line) {
    const std::string& H = Record[0];
    const size_t Open = H.find('('), Close = H.rfind(')');
    if (Open == std::string::npos || Close == std::string::npos || Close < Open) {
      ADD_FAILURE() << Where(Line) << ": bad table line";
      return;
    }
    TFixtureTable T;
    T.Line = Line;
    T.Name = Trim(H.substr(5, Open - 5));
    // Columns: split at commas outside parentheses.
    std::string Body = H.substr(Open + 1, Close - Open - 1);
    int Depth = 0;
    std::string Cur;
    std::vector<std::string> Specs;
    for (char C : Body) {
      Depth += C == '(' ? 1 : C == ')' ? -1 : 0;
      if (C == ',' && Depth == 0) {
        Specs.push_back(Cur);
        Cur.clear();
      } else {
        Cur += C;
      }
    }
    Specs.push_back(Cur);
    for (const std::string& S : Specs) {
      const std::vector<std::string> W = Words(S);
      if (W.size() < 2) {
        ADD_FAILURE() << Where(Line) << ": bad column '" << S << "'";
        return;
      }
      TFixtureColumn C;
      C.Name = W[0];
      std::string Type = W[1];
      for (size_t K = 2; K < W.size(); ++K)
        Type += W[K];
      if (const size_t P = Type.find('('); P != std::string::npos) {
        C.Size = std::stoi(Type.substr(P + 1));
        Type = Type.substr(0, P);
      }
      bool Found = false;
      for (const TSQLFieldType& F : TSQLFieldTypes)
        if (AnsiSameText(F.SQLName, Type)) {
          C.Type = F.FieldType;
          Found = true;
          break;
        }
      if (!Found) {
        ADD_FAILURE() << Where(Line) << ": unknown type '" << Type << "'";
        return;
      }
      T.Columns.push_back(C);
    }
    for (size_t R = 1; R < Record.size(); ++R)
      T.Rows.push_back(Split(Record[R], '\t'));
    FPending.push_back(std::move(T));
  }

  void ParseIndex(const std::string& H, int Line) {
    const size_t Open = H.find('('), Close = H.rfind(')');
    const std::vector<std::string> W = Words(H.substr(0, Open));
    if (Open == std::string::npos || Close == std::string::npos || W.size() < 3) {
      ADD_FAILURE() << Where(Line) << ": bad index line";
      return;
    }
    TFixtureIndex X;
    X.Name = W[2];
    if (W.size() > 3 && AnsiSameText(W[3], "unique"))
      X.Options |= ixUnique;
    for (const std::string& Part : Split(H.substr(Open + 1, Close - Open - 1), ',')) {
      const std::vector<std::string> P = Words(Part);
      if (P.empty())
        continue;
      auto Append = [](std::string& List, const std::string& N) {
        List += (List.empty() ? "" : ";") + N;
      };
      Append(X.Fields, P[0]);
      for (size_t K = 1; K < P.size(); ++K) {
        if (AnsiSameText(P[K], "DESC"))
          Append(X.Desc, P[0]);
        else if (AnsiSameText(P[K], "NOCASE"))
          Append(X.NoCase, P[0]);
      }
    }
    for (TFixtureTable& T : FPending)
      if (AnsiSameText(T.Name, W[1])) {
        T.Indexes.push_back(X);
        return;
      }
    try {
      TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
      T->SetInMemory(true);
      T->SetTableName(W[1]);
      T->AddIndex(X.Name, X.Fields, X.Options, X.Desc, X.NoCase);
    } catch (const std::exception& E) {
      ADD_FAILURE() << Where(Line) << ": index not added: " << E.what();
    }
  }

  void SetCell(TField& F, TTolvanFieldType Type, const std::string& V) {
    if (V == "NULL")
      return;
    switch (Type) {
    case tftShortInt:
    case tftSmallInt:
    case tftInteger:
    case tftLargeInt:
    case tftByte:
    case tftWord:
    case tftCardinal:
      F.SetAsLargeInt(std::stoll(V));
      break;
    case tftSingle:
    case tftDouble:
    case tftExtended:
    case tftCurrency:
      F.SetAsFloat(std::stod(V));
      break;
    case tftBoolean:
      F.SetAsBoolean(V == "true" || V == "TRUE" || V == "1");
      break;
    case tftDate:
    case tftTime:
    case tftDateTime:
    case tftTimeStamp: {
      int Y = 0, Mo = 0, D = 0, H = 0, Mi = 0, S = 0;
      std::sscanf(V.c_str(), "%d-%d-%d %d:%d:%d", &Y, &Mo, &D, &H, &Mi, &S);
      F.SetAsDateTime(EncodeDate(Y, Mo, D) + EncodeTime(H, Mi, S, 0));
      break;
    }
    default:
      F.SetAsString(V == "(empty)" ? std::string() : V);
      break;
    }
  }

  // Creates the pending tables with their indexes and rows.
  void FlushFixtures() {
    for (const TFixtureTable& Fx : FPending) {
      try {
        TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
        T->SetInMemory(true);
        T->SetTableName(Fx.Name);
        for (const TFixtureColumn& C : Fx.Columns)
          T->AdvFieldDefs().Add(C.Name, C.Type, C.Size, false);
        for (const TFixtureIndex& X : Fx.Indexes) {
          TIndexDef& D = T->IndexDefs().Add(X.Name, X.Fields, X.Options);
          D.SetDescFields(X.Desc);
          D.SetCaseInsFields(X.NoCase);
        }
        T->CreateTable();
        T->Open();
        for (const std::vector<std::string>& Row : Fx.Rows) {
          T->Append();
          for (size_t I = 0; I < Row.size() && I < Fx.Columns.size(); ++I)
            SetCell(T->FieldByName(Fx.Columns[I].Name), Fx.Columns[I].Type, Row[I]);
          T->Post();
        }
        T->Close();
      } catch (const std::exception& E) {
        ADD_FAILURE() << Where(Fx.Line) << ": table " << Fx.Name << " not made: " << E.what();
      }
    }
    FPending.clear();
  }

  // --- statements and queries --------------------------------------------------------------------

  static std::string Joined(const std::vector<std::string>& Lines, size_t From, size_t To) {
    std::string S;
    for (size_t I = From; I < To; ++I)
      S += (S.empty() ? "" : "\n") + Lines[I];
    return S;
  }

  // The failure of Fn as "<code> <text>" or "<class> <text>"; empty when it succeeds.
  template <class F> static std::string FailureOf(F&& Fn) {
    try {
      Fn();
    } catch (const ETolvanException& E) {
      // The message without the " - Native error: NNNNN" that every engine error ends with.
      std::string Text = E.Message();
      if (const size_t P = Text.rfind(" - Native error: "); P != std::string::npos)
        Text.resize(P);
      return std::to_string(E.NativeError()) + " " + EscapedLines(Text);
    } catch (const Exception& E) {
      return ClassNameOf(E) + " " + EscapedLines(E.Message());
    } catch (const std::exception& E) {
      return ClassNameOf(E) + " " + EscapedLines(E.what());
    }
    return {};
  }

  void Statement(const std::vector<std::string>& Head, const std::vector<std::string>& Record,
                 int Line) {
    FlushFixtures();
    // A query record whose head a release replaced by a statement: its rows are not read.
    size_t End = 1;
    while (End < Record.size() && Record[End] != "----")
      ++End;
    const std::string Sql = Joined(Record, 1, End);
    int64_t Rows = -1;
    const std::string Failure = FailureOf([&] {
      TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
      Q->SetInMemory(true);
      Q->SetSQLText(Sql);
      Q->ExecSQL();
      Rows = Q->RowsAffected64();
    });
    if (Head.size() >= 2 && Head[1] == "ok") {
      if (!Failure.empty())
        ADD_FAILURE() << Where(Line) << ": statement failed\nSQL: " << Sql
                      << "\nerror: " << Failure;
      else if (Head.size() >= 3 && std::to_string(Rows) != Head[2])
        ADD_FAILURE() << Where(Line) << ": rows affected " << Rows << ", expected " << Head[2]
                      << "\nSQL: " << Sql;
      return;
    }
    // statement error <code or class> [message]
    const std::string& H = Record[0];
    std::string Expected = Trim(H.substr(H.find("error") + 5));
    if (Failure.empty()) {
      ADD_FAILURE() << Where(Line) << ": statement succeeded\nSQL: " << Sql
                    << "\nexpected error: " << Expected;
      return;
    }
    const bool WithText = Expected.find(' ') != std::string::npos;
    const std::string Got = WithText ? Failure : Failure.substr(0, Failure.find(' '));
    if (Got != Expected)
      ADD_FAILURE() << Where(Line) << ": wrong error\nSQL: " << Sql << "\nexpected: " << Expected
                    << "\nactual:   " << Failure;
  }

  void Query(const std::vector<std::string>& Head, const std::vector<std::string>& Record,
             int Line) {
    FlushFixtures();
    if (Head.size() < 3 || (Head[2] != "nosort" && Head[2] != "rowsort")) {
      ADD_FAILURE() << Where(Line) << ": query needs <types> <nosort|rowsort>";
      return;
    }
    const std::string Types = Head[1];
    const bool RowSort = Head[2] == "rowsort";
    const std::vector<std::string> Names(Head.begin() + 3, Head.end());
    size_t Sep = 1;
    while (Sep < Record.size() && Record[Sep] != "----")
      ++Sep;
    const std::string Sql = Joined(Record, 1, Sep);
    std::vector<std::string> Expected(Record.begin() + std::min(Sep + 1, Record.size()),
                                      Record.end());
    std::vector<std::string> Actual, ActualNames;
    std::string Problem;
    const std::string Failure = FailureOf([&] {
      TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
      Q->SetInMemory(true);
      Q->SetSQLText(Sql);
      Q->Open();
      const int32_t Count = Q->Fields().Count();
      for (int32_t C = 0; C < Count; ++C)
        ActualNames.push_back(Q->Fields()[C].FieldName());
      if (size_t(Count) != Types.size()) {
        Problem = "the result has " + std::to_string(Count) + " columns, the types name " +
                  std::to_string(Types.size());
        return;
      }
      for (Q->First(); !Q->Eof(); Q->Next()) {
        std::string Row;
        for (int32_t C = 0; C < Count; ++C) {
          std::string Text;
          if (!ShowValue(Q->Fields()[C], Types[size_t(C)], Text)) {
            Problem = Text;
            return;
          }
          Row += (C ? "\t" : "") + Text;
        }
        Actual.push_back(Row);
      }
      Q->Close();
    });
    auto Show = [](const std::vector<std::string>& Rows) {
      std::string S;
      for (const std::string& R : Rows)
        S += "  " + R + "\n";
      return S.empty() ? std::string("  (no rows)\n") : S;
    };
    if (!Failure.empty() || !Problem.empty()) {
      ADD_FAILURE() << Where(Line) << ": query failed\nSQL: " << Sql
                    << "\nerror: " << (Failure.empty() ? Problem : Failure) << "\nexpected:\n"
                    << Show(Expected);
      return;
    }
    if (RowSort) {
      std::sort(Expected.begin(), Expected.end());
      std::sort(Actual.begin(), Actual.end());
    }
    std::string NameProblem;
    if (!Names.empty() && Names != ActualNames) {
      NameProblem = "\ncolumn names expected:";
      for (const std::string& N : Names)
        NameProblem += " " + N;
      NameProblem += "\ncolumn names actual:  ";
      for (const std::string& N : ActualNames)
        NameProblem += " " + N;
    }
    if (Expected != Actual || !NameProblem.empty())
      ADD_FAILURE() << Where(Line) << ": wrong result\nSQL: " << Sql << NameProblem
                    << "\nexpected:\n"
                    << Show(Expected) << "actual:\n"
                    << Show(Actual);
  }

  std::string FPath;
  std::vector<TFixtureTable> FPending;
};

} // namespace

std::vector<std::string> SqlLogicTestFiles() {
  std::vector<std::string> Files;
  for (const auto& E : std::filesystem::directory_iterator(TOLVAN_SQL_TEST_DIR))
    if (E.path().extension() == ".test")
      Files.push_back(E.path().stem().string());
  std::sort(Files.begin(), Files.end());
  return Files;
}

void RunSqlLogicFile(const std::string& Stem) {
  TRunner((std::filesystem::path(TOLVAN_SQL_TEST_DIR) / (Stem + ".test")).string()).Run();
}

} // namespace tolvan::test
