#include "schema/expr/TolvanExprDump.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "classlib/DateUtils.h"
#include "schema/expr/TolvanExprFunctions.h"
#include "schema/expr/TolvanExprValues.h"

namespace tolvan {

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& Out, uint8_t B) {
  Out += HexDigits[B >> 4];
  Out += HexDigits[B & 15];
}

void AppendChar(std::string& Out, uint32_t C) {
  if (C == '\'') {
    Out += "''";
  } else if (C == '\\') {
    Out += "\\\\";
  } else if (C >= 32 && C < 127) {
    Out += char(C);
  } else if (C < 256) {
    Out += "\\x";
    AppendHexByte(Out, uint8_t(C));
  } else {
    Out += "\\u";
    AppendHexByte(Out, uint8_t(C >> 8));
    AppendHexByte(Out, uint8_t(C));
  }
}

void AppendQuoted(std::string& Out, std::string_view Text) {
  Out += '\'';
  for (char C : Text)
    AppendChar(Out, uint8_t(C));
  Out += '\'';
}

void AppendQuoted(std::string& Out, std::u16string_view Text) {
  Out += '\'';
  for (char16_t C : Text)
    AppendChar(Out, C);
  Out += '\'';
}

template <class T> void AppendNumber(std::string& Out, T X) {
  char Buffer[64];
  const auto R = std::to_chars(Buffer, Buffer + sizeof Buffer, X);
  Out.append(Buffer, R.ptr);
}

void AppendTwo(std::string& Out, int N, int Width) {
  char Buffer[16];
  std::snprintf(Buffer, sizeof Buffer, "%0*d", Width, N);
  Out += Buffer;
}

void AppendDate(std::string& Out, TDateTime D) {
  int Y, M, Day;
  DecodeDate(D, Y, M, Day);
  AppendTwo(Out, Y, 4);
  Out += '-';
  AppendTwo(Out, M, 2);
  Out += '-';
  AppendTwo(Out, Day, 2);
}

void AppendTime(std::string& Out, TDateTime D) {
  int H, N, S, Ms;
  DecodeTime(D, H, N, S, Ms);
  AppendTwo(Out, H, 2);
  Out += ':';
  AppendTwo(Out, N, 2);
  Out += ':';
  AppendTwo(Out, S, 2);
  Out += '.';
  AppendTwo(Out, Ms, 3);
}

void AppendValue(std::string& Out, const TTolvanVariant& V) {
  if (V.IsNull()) {
    Out += "NULL";
    return;
  }
  const TTolvanValueType T = V.DataType();
  switch (T) {
  case tvtChar:
  case tvtString:
  case tvtMemo:
    AppendQuoted(Out, NarrowTextOf(V));
    return;
  case tvtWideChar:
  case tvtWideString:
  case tvtWideMemo: {
    WideString W;
    ReadWideText(V, W);
    AppendQuoted(Out, W);
    return;
  }
  case tvtSignedInt8:
  case tvtSignedInt16:
  case tvtInteger:
  case tvtSignedInt64:
  case tvtUnsignedInt8:
  case tvtUnsignedInt16:
  case tvtUnsignedInt32:
    AppendNumber(Out, IntegerOf(V));
    return;
  case tvtSingle:
    AppendNumber(Out, V.GetAsSingle());
    return;
  case tvtFloat:
    AppendNumber(Out, V.GetAsDouble());
    return;
  case tvtCurrency:
    AppendNumber(Out, V.GetAsCurrency());
    return;
  case tvtExtended:
    AppendNumber(Out, V.GetAsExtended());
    return;
  case tvtLogical:
    Out += V.GetAsBoolean() ? "TRUE" : "FALSE";
    return;
  case tvtDate:
  case tvtTime:
  case tvtDateTime: {
    std::string Text;
    try {
      if (T != tvtTime)
        AppendDate(Text, DateTimeOf(V));
      if (T == tvtDateTime)
        Text += ' ';
      if (T != tvtDate)
        AppendTime(Text, DateTimeOf(V));
    } catch (const Exception&) {
      const TTolvanStoredDateTime S = T == tvtDateTime ? V.GetAsStoredDateTime()
                                      : T == tvtDate
                                          ? TTolvanStoredDateTime{V.GetAsStoredDate(), 0}
                                          : TTolvanStoredDateTime{0, V.GetAsStoredTime()};
      Text = "#" + std::to_string(S.Date) + "," + std::to_string(S.Time);
    }
    Out += Text;
    return;
  }
  default: {
    Out += "x'";
    const uint8_t* B = static_cast<const uint8_t*>(V.Data());
    for (int32_t I = 0; I < V.DataSize(); ++I)
      AppendHexByte(Out, B[I]);
    Out += '\'';
    return;
  }
  }
}

std::string TypeName(TTolvanValueType T) {
  return T == tvtNone ? std::string("NONE") : std::string(ValueTypeToSQLName(T));
}

void AppendFlags(std::string& Out, const TTolvanExprNode& Node) {
  std::string F;
  if (Node.CaseInsensitive())
    F += 'i';
  if (Node.Partial())
    F += 'p';
  switch (Node.Kind()) {
  case enkComparison:
    if (static_cast<const TTolvanExprNodeComparison&>(Node).KeepNullCodes())
      F += 'k';
    break;
  case enkAggregated:
    if (static_cast<const TTolvanExprNodeAggregated&>(Node).Distinct())
      F += 'd';
    break;
  case enkSubQuery:
  case enkSubQueryIN:
  case enkSubQueryExists:
    if (static_cast<const TTolvanExprNodeSubQuery&>(Node).Negated())
      F += 'n';
    break;
  default:
    break;
  }
  if (!F.empty())
    Out += "[" + F + "]";
}

void AppendName(std::string& Out, const AnsiString& Table, const AnsiString& Field) {
  if (!Table.empty())
    Out += Table + ".";
  Out += Field;
}

void AppendNode(std::string& Out, const TTolvanExprNode& Node) {
  Out += '(';
  switch (Node.Kind()) {
  case enkConst: {
    const auto& C = static_cast<const TTolvanExprNodeConst&>(Node);
    Out += C.IsParam() ? "PARAM" : "CONST";
    AppendFlags(Out, Node);
    if (C.IsParam()) {
      Out += " :";
      Out += C.ParamName();
    }
    Out += ' ';
    Out += TypeName(C.Value().DataType());
    Out += ' ';
    AppendValue(Out, C.Value());
    break;
  }
  case enkField: {
    const auto& F = static_cast<const TTolvanExprNodeField&>(Node);
    Out += "FIELD";
    AppendFlags(Out, Node);
    Out += ' ';
    AppendName(Out, F.TableName(), F.FieldName());
    break;
  }
  case enkSubQuery:
  case enkSubQueryIN:
  case enkSubQueryExists: {
    const auto& Q = static_cast<const TTolvanExprNodeSubQuery&>(Node);
    Out += Node.Kind() == enkSubQuery     ? "SUBQUERY"
           : Node.Kind() == enkSubQueryIN ? "IN SUBQUERY"
                                          : "EXISTS";
    AppendFlags(Out, Node);
    Out += ' ';
    AppendQuoted(Out, std::string_view(Q.SQL()));
    break;
  }
  case enkSystem: {
    const auto& S = static_cast<const TTolvanExprNodeSystem&>(Node);
    Out += OperatorName(Node.Operator());
    AppendFlags(Out, Node);
    Out += ' ';
    AppendName(Out, S.TableName(), S.FieldName());
    break;
  }
  case enkBLOBFunction:
    Out += OperatorName(Node.Operator());
    AppendFlags(Out, Node);
    Out += ' ';
    AppendValue(Out, Node.Value());
    break;
  case enkCast:
    Out += OperatorName(Node.Operator());
    AppendFlags(Out, Node);
    Out += ' ';
    Out += FieldTypeToSQLName(static_cast<const TTolvanExprNodeCast&>(Node).TargetType());
    break;
  case enkDateFunction: {
    Out += OperatorName(Node.Operator());
    AppendFlags(Out, Node);
    if (Node.Operator() == eoToDate || Node.Operator() == eoToString) {
      Out += ' ';
      AppendQuoted(
          Out, std::string_view(static_cast<const TTolvanExprNodeDateFunction&>(Node).Format()));
    }
    break;
  }
  default:
    Out += OperatorName(Node.Operator());
    AppendFlags(Out, Node);
    break;
  }
  for (int32_t I = 0; I < Node.ChildCount(); ++I) {
    Out += ' ';
    AppendNode(Out, *Node.Child(I));
  }
  Out += ')';
}

} // namespace

std::string DumpExprTree(const TTolvanExprNode* Node) {
  if (!Node)
    return "(EMPTY)";
  std::string Out;
  AppendNode(Out, *Node);
  return Out;
}

std::string DumpExprValue(const TTolvanVariant& Value) {
  std::string Out;
  AppendValue(Out, Value);
  return Out;
}

} // namespace tolvan
