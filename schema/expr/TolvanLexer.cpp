#include "schema/expr/TolvanLexer.h"

#include <climits>
#include <cstring>

#include "classlib/SysUtils.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }
bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// Characters that end a run of word characters: white space, ';' and the characters that start
// a new token after a word.
struct TWordBreaks {
  bool Table[256] = {};
  constexpr TWordBreaks() {
    for (unsigned char C : std::string_view(" \t\r\n;><=(),/*:|.+-"))
      Table[C] = true;
  }
};
constexpr TWordBreaks WordBreaks;

bool IsNumberChar(char C) {
  return IsDigit(C) || C == '.' || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F') || C == '+' ||
         C == '-';
}

// --- Keywords --------------------------------------------------------------------------------

// Upper-case keyword text to its first id, over the whole table; the active release's bound is
// applied on lookup. The releases' tables share their first ids, so the first match below the
// bound is the first match of a scan over the active table alone.
class TKeywordTable {
public:
  TKeywordTable() {
    for (int C = 0; C < 256; ++C)
      FUpper[C] = AnsiUpperChar(static_cast<char>(C));
    for (int16_t Id = 0; Id < SQLKeywordTableSize; ++Id) {
      const std::string_view K = SQLKeywords[Id];
      if (K.size() > FMaxLength)
        FMaxLength = K.size();
      const uint32_t H = Hash(K);
      size_t Slot = H & (SlotCount - 1);
      while (FSlots[Slot].Id >= 0 && SQLKeywords[FSlots[Slot].Id] != K)
        Slot = (Slot + 1) & (SlotCount - 1);
      if (FSlots[Slot].Id < 0)
        FSlots[Slot] = {H, Id};
    }
  }

  // -1 when Word (any case) is no keyword.
  int16_t Find(std::string_view Word) const {
    const size_t Length = Word.size();
    if (Length == 0 || Length > FMaxLength)
      return -1;
    char Upper[64];
    uint32_t H = HashSeed;
    for (size_t I = 0; I < Length; ++I) {
      const char C = FUpper[static_cast<unsigned char>(Word[I])];
      Upper[I] = C;
      H = HashStep(H, C);
    }
    for (size_t Slot = H & (SlotCount - 1); FSlots[Slot].Id >= 0;
         Slot = (Slot + 1) & (SlotCount - 1)) {
      const TSlot& E = FSlots[Slot];
      if (E.Hash == H && SQLKeywords[E.Id].size() == Length &&
          std::memcmp(SQLKeywords[E.Id].data(), Upper, Length) == 0)
        return E.Id;
    }
    return -1;
  }

private:
  static constexpr size_t SlotCount = 1024; // a power of two, well above twice the keywords
  static constexpr uint32_t HashSeed = 2166136261u;

  struct TSlot {
    uint32_t Hash = 0;
    int16_t Id = -1;
  };

  static uint32_t HashStep(uint32_t H, char C) {
    return (H ^ static_cast<unsigned char>(C)) * 16777619u;
  }
  static uint32_t Hash(std::string_view S) {
    uint32_t H = HashSeed;
    for (char C : S)
      H = HashStep(H, C);
    return H;
  }

  char FUpper[256];
  TSlot FSlots[SlotCount];
  size_t FMaxLength = 0;
};

const TKeywordTable& Keywords() {
  static const TKeywordTable Table;
  return Table;
}

} // namespace

int16_t KeywordIdOf(std::string_view Word) {
  const int16_t Id = Keywords().Find(Word);
  const int16_t None = NoKeywordId();
  return Id >= 0 && Id < None ? Id : None;
}

bool IsKeyword(const TToken& Token, int16_t KeywordId) {
  // The no-keyword id is also the first id past the active table: in 3.90 it is DATABASE's id
  // of 4.00. No id from there on names a keyword, so none of them may match one.
  return Token.Kind == tktReservedWord && KeywordId >= 0 && KeywordId < NoKeywordId() &&
         Token.KeywordID == KeywordId;
}

bool IsAnyKeyword(const TToken& Token) { return Token.Kind == tktReservedWord; }

bool IsEmptyQuotedString(const TToken& Token) {
  return Token.Kind == tktQuotedString && Token.Text.empty();
}

int32_t HexDigitValue(char C) {
  if (C >= '1' && C <= '9')
    return C - '0';
  if (C >= 'A' && C <= 'F')
    return C - 'A' + 10;
  if (C >= 'a' && C <= 'f')
    return C - 'a' + 10;
  return 0;
}

int64_t HexToInt64(std::string_view Text) {
  // The digits occupy disjoint nibbles, so the sum is exact in 64 bits; only a shift past bit 63
  // loses a digit.
  uint64_t Sum = 0;
  const size_t N = Text.size();
  for (size_t I = 0; I < N; ++I) {
    const uint64_t Digit = static_cast<uint64_t>(HexDigitValue(Text[I]));
    if (Digit == 0)
      continue;
    const size_t After = N - 1 - I;
    if (After >= 16)
      throw EIntOverflow(std::string(SysConst::SIntOverflow));
    Sum |= Digit << (4 * After);
  }
  return static_cast<int64_t>(Sum);
}

// --- Scanning one statement -------------------------------------------------------------------

// The scan of one statement, from the lexer's StatementStart to the next ';' or the end of the
// text. The open token, when there is one, is the last of the lexer's tokens.
struct TTolvanLexer::TScan {
  TTolvanLexer& L;
  const TTolvanReleaseProfile& Profile; // fixed while a statement is scanned
  // Every token's line is the statement's number, and so is the line of every position a
  // message reports, also one reached across a comment's line feeds.
  const bool StatementLines;
  const TKeywordTable& KeywordTable;
  const char* P;
  size_t N;
  size_t I;
  int32_t Line = 1;
  int32_t Column = 1;
  char Prev = ' ';
  bool Open = false; // the last token takes further characters
  bool Hex = false;  // the open number is hexadecimal
  int32_t Depth = 0;
  int32_t OpenLine = 0, OpenColumn = 0;   // the last '('
  int32_t CloseLine = 0, CloseColumn = 0; // the last ')'
  bool Unterminated = false;
  int32_t StringLine = 0, StringColumn = 0;

  TScan(TTolvanLexer& Lexer)
      : L(Lexer), Profile(Release()), StatementLines(Profile.TokenLineIsStatementNumber),
        KeywordTable(Keywords()), P(Lexer.FText.data()), N(Lexer.FText.size()),
        I(static_cast<size_t>(Lexer.FStatementStart)) {}

  TToken& Last() { return L.FTokens.back(); }

  void Move(char C) {
    if (C == '\n') {
      ++Line;
      Column = 1;
    } else if (C != '\r') {
      ++Column;
    }
  }
  void Step() {
    Prev = P[I];
    Move(P[I]);
    ++I;
  }
  bool NextIs(char C) const { return I + 1 < N && P[I + 1] == C; }
  int32_t ReportedLine() const { return StatementLines ? L.FStatementNumber : Line; }

  // Returns the position after the statement's ';', or the end of the text.
  size_t Run() {
    while (I < N) {
      const char C = P[I];
      if (C == ';') {
        CloseStatement();
        return I + 1;
      }
      if (C == '-' && NextIs('-')) {
        SkipLineComment();
      } else if (C == '/' && NextIs('*')) {
        SkipBlockComment();
      } else if (IsBlank(C)) {
        if (Open)
          Finish();
        Step();
      } else if (!Open || StartsToken(C)) {
        if (Open)
          Finish();
        Start();
      } else if (Last().Kind == tktString) {
        AppendWordRun();
      } else {
        Append(C);
        Step();
      }
    }
    CloseStatement();
    return N;
  }

  // An open word takes every character up to the next break at once; none of them moves to a
  // new line.
  void AppendWordRun() {
    size_t End = I + 1;
    while (End < N && !WordBreaks.Table[static_cast<unsigned char>(P[End])])
      ++End;
    Last().Text.append(P + I, End - I);
    Column += static_cast<int32_t>(End - I);
    Prev = P[End - 1];
    I = End;
  }

  void SkipLineComment() {
    const void* LF = std::memchr(P + I + 2, '\n', N - I - 2);
    if (!LF) {
      I = N;
      return;
    }
    I = static_cast<size_t>(static_cast<const char*>(LF) - P) + 1;
    ++Line;
    Column = 1;
  }

  void SkipBlockComment() {
    Move(P[I]);
    Move(P[I + 1]);
    I += 2;
    while (I < N) {
      if (P[I] == '*' && NextIs('/')) {
        Move(P[I]);
        Move(P[I + 1]);
        I += 2;
        return;
      }
      Move(P[I]);
      ++I;
    }
  }

  // With a token open: does C start the next one?
  bool StartsToken(char C) {
    switch (C) {
    case '>':
    case '<':
    case '=':
    case '(':
    case ')':
    case ',':
    case '/':
    case '*':
    case ':':
    case '|':
      return true;
    default:
      break;
    }
    const TTokenType Kind = Last().Kind;
    if (Kind == tktDot)
      return !IsDigit(C);
    if (C == '.')
      return Kind != tktInt;
    if (C == '+' || C == '-')
      return Kind == tktString || (Kind == tktInt && Prev != 'E' && Prev != 'e');
    return false;
  }

  void Append(char C) {
    TToken& T = Last();
    if (T.Kind == tktDot) { // only a digit gets here: .5
      T.Kind = tktInt;
    } else if (T.Kind == tktInt) {
      if (C == 'x') {
        T.Text.resize(T.ParamPrefix ? 1 : 0);
        Hex = true;
        return;
      }
      if (!IsNumberChar(C))
        throw ETolvanException::CreateFmt(30062, SInvalidNumericSymbol, std::string_view(&C, 1),
                                          ReportedLine(), Column);
    }
    T.Text.push_back(C);
  }

  void Start() {
    TToken& T = L.FTokens.emplace_back();
    T.KeywordID = Profile.KeywordCount;
    if (StatementLines)
      Line = L.FStatementNumber;
    T.Line = Line;
    T.Column = Column;
    Hex = false;
    char C = P[I];
    if (C == ':') {
      T.ParamPrefix = true;
      T.Text.push_back(':');
      Step();
      if (I >= N || IsBlank(P[I])) { // the empty name
        T.Kind = tktString;
        Open = true;
        return;
      }
      C = P[I];
      if (C == ':') {
        T.Kind = tktString;
        T.Text.push_back(':');
        Step();
        Open = true;
        return;
      }
    }
    StartBody(T, C);
  }

  // Takes the current character, and the next when it completes a two-character operator.
  void Take(TToken& T, TTokenType Kind, const char* Pair) {
    T.Kind = Kind;
    T.Text.push_back(P[I]);
    Step();
    if (Pair && I < N && std::strchr(Pair, P[I]) && P[I] != '\0') {
      T.Text.push_back(P[I]);
      Step();
    }
  }

  void StartBody(TToken& T, char C) {
    switch (C) {
    case '\'':
    case '"':
      ReadString(T, tktQuotedString, C);
      return;
    case '`':
      ReadString(T, tktBackQuotedString, '`');
      return;
    case '[':
      ReadString(T, tktBracketedString, ']');
      return;
    case '$':
      T.Kind = tktInt;
      Hex = true;
      Step();
      Open = true;
      return;
    case '(':
      OpenLine = Line;
      OpenColumn = Column;
      ++Depth;
      Take(T, tktLeftParenthesis, nullptr);
      break;
    case ')':
      CloseLine = Line;
      CloseColumn = Column;
      --Depth;
      Take(T, tktRightParenthesis, nullptr);
      break;
    case ',':
      Take(T, tktComma, nullptr);
      break;
    case '.':
      Take(T, tktDot, nullptr);
      Open = true;
      return;
    case '!':
      Take(T, tktString, "=");
      break;
    case '~':
    case '-':
    case '+':
    case '*':
    case '/':
      Take(T, tktString, nullptr);
      break;
    case '=':
      Take(T, tktString, "=");
      break;
    case '|':
      Take(T, tktString, "|");
      break;
    case '<':
      Take(T, tktString, "=><");
      break;
    case '>':
      Take(T, tktString, "=>");
      break;
    case '&':
      Take(T, tktString, "&");
      Open = true;
      return;
    default:
      Take(T, IsDigit(C) ? tktInt : tktString, nullptr);
      Open = true;
      return;
    }
    Finish();
  }

  // Reads quoted, bracketed or back-quoted text to its closing character.
  void ReadString(TToken& T, TTokenType Kind, char Closing) {
    T.Kind = Kind;
    StringLine = Line;
    StringColumn = Column;
    Step();
    while (I < N) {
      // Copy the run up to the next closing character in one go.
      const void* Hit = std::memchr(P + I, Closing, N - I);
      const size_t End = Hit ? static_cast<size_t>(static_cast<const char*>(Hit) - P) : N;
      T.Text.append(P + I, End - I);
      for (; I < End; ++I)
        Move(P[I]);
      if (I >= N)
        break;
      if (NextIs(Closing)) {
        T.Text.push_back(Closing);
        Step();
        Step();
        continue;
      }
      Step();
      Finish();
      return;
    }
    Unterminated = true;
  }

  // Closes the open token (or a token that closes at once).
  void Finish() {
    Open = false;
    TToken& T = Last();
    switch (T.Kind) {
    case tktInt: {
      std::string_view Body(T.Text);
      if (T.ParamPrefix)
        Body.remove_prefix(1);
      if (Body.find_first_of(".eE") != std::string_view::npos)
        T.Kind = tktFloat;
      if (Hex) {
        const std::string Decimal = IntToStr(HexToInt64(Body));
        T.Text.resize(T.ParamPrefix ? 1 : 0);
        T.Text += Decimal;
      }
      return;
    }
    case tktString:
    case tktQuotedString:
    case tktBackQuotedString:
      if (T.ParamPrefix) {
        T.Kind = tktParameter;
        T.Text.erase(0, 1);
        if (L.FParams) {
          const TTolvanSQLParam* Param = L.FParams->FindByName(T.Text);
          if (!Param)
            throw ETolvanException::CreateFmt(30358, SParameterValueNotFound, T.Text);
          auto Value = std::make_shared<TTolvanVariant>();
          Value->Assign(*Param, true);
          T.Value = std::move(Value);
        }
      } else if (T.Kind == tktString) {
        const int16_t Id = KeywordTable.Find(T.Text);
        if (Id >= 0 && Id < Profile.KeywordCount) {
          T.Kind = tktReservedWord;
          T.KeywordID = Id;
        }
      }
      return;
    default:
      return;
    }
  }

  void CloseStatement() {
    if (Open)
      Finish();
    if (Depth > 0)
      throw ETolvanException::CreateFmt(30059, SMissingClosingParenthesis, OpenLine, OpenColumn);
    if (Depth < 0)
      throw ETolvanException::CreateFmt(30060, SUnexpectedClosingParenthesis, CloseLine,
                                        CloseColumn);
    if (Unterminated)
      throw ETolvanException::CreateFmt(30061, SUnterminatedString, StringLine, StringColumn);
  }
};

// --- TTolvanLexer ------------------------------------------------------------------------------

TTolvanLexer::TTolvanLexer(std::string_view Text, const TTolvanSQLParams* Params)
    : FParams(Params) {
  // Positions are 32-bit; a column or line can reach the text's length plus one.
  if (Text.size() >= static_cast<size_t>(INT32_MAX))
    throw ERangeError(std::string(SysConst::SRangeError));
  FText = Text;
}

void TTolvanLexer::ScanStatement() {
  TScan Scan(*this);
  try {
    FStatementStart = static_cast<int32_t>(Scan.Run());
  } catch (...) {
    // The rest of the text cannot be trusted to start where the failed statement ended.
    FStatementStart = TextLength();
    FEnded = true;
    throw;
  }
}

bool TTolvanLexer::NextStatement() {
  FTokenIndex = 0;
  if (FEnded) {
    FTokens.clear();
    return false;
  }
  do {
    FTokens.clear();
    ++FStatementIndex;
    ++FStatementNumber;
    ScanStatement();
    if (!FTokens.empty())
      return true;
  } while (FStatementStart < TextLength());
  FEnded = true;
  return false;
}

bool TTolvanLexer::CurrentToken(TToken& Token) const {
  if (FTokenIndex < 0 || FTokenIndex >= TokenCount()) {
    Token.Kind = tktNone;
    return false;
  }
  Token = FTokens[static_cast<size_t>(FTokenIndex)];
  return true;
}

bool TTolvanLexer::PeekToken(TToken& Token) const {
  const int64_t Next = int64_t(FTokenIndex) + 1;
  if (Next < 0 || Next >= TokenCount()) {
    Token.Kind = tktNone;
    return false;
  }
  Token = FTokens[static_cast<size_t>(Next)];
  return true;
}

bool TTolvanLexer::NextToken(TToken& Token) {
  const bool Found = PeekToken(Token);
  if (FTokenIndex < INT32_MAX)
    ++FTokenIndex;
  return Found;
}

bool TTolvanLexer::SetPosition(int32_t Index, TToken& Token) {
  FTokenIndex = Index;
  return CurrentToken(Token);
}

void TTolvanLexer::ReleaseTokenValues() noexcept {
  for (TToken& T : FTokens)
    T.Value.reset();
}

// --- Rewriting '?' -----------------------------------------------------------------------------

AnsiString ReplaceQuestionMarkParams(std::string_view Text) {
  TTolvanLexer Lexer(Text, nullptr);
  AnsiString Out;
  Out.reserve(Text.size() + Text.size() / 4 + 16);
  int32_t Counter = 0;
  while (Lexer.NextStatement()) {
    for (const TToken& T : Lexer.Tokens()) {
      if (T.Kind == tktString && T.Text == "?") {
        Out += ":Tolvan_MS_Param";
        Out += IntToStr(Counter++);
      } else {
        AppendTokenText(Out, T);
      }
      Out += ' ';
    }
    Out += "; ";
  }
  return Counter == 0 ? AnsiString(Text) : Out;
}

void AppendQuoted(AnsiString& Out, std::string_view Text, char Opening, char Closing) {
  Out.push_back(Opening);
  for (char C : Text) {
    Out.push_back(C);
    if (C == Closing)
      Out.push_back(C);
  }
  Out.push_back(Closing);
}

namespace {

// A number's text is its decimal value, which reads back as the same token except for a
// negative value ("-1" is two tokens) and a hexadecimal float without '.', 'e' or 'E' (its
// digits read as an integer). Those go back to hexadecimal; a '.' in hexadecimal digits counts
// as a zero digit and makes the number a float.
void AppendNumber(AnsiString& Out, const TToken& T) {
  std::string_view Body(T.Text);
  if (T.ParamPrefix && !Body.empty())
    Body.remove_prefix(1);
  const bool Negative = Body.starts_with('-');
  const bool HexFloat = T.Kind == tktFloat && Body.find_first_of(".eE") == std::string_view::npos;
  int64_t Value = 0;
  if ((Negative || HexFloat) && TryStrToInt64(Body, Value)) {
    const std::string Digits = IntToHex(Value, 1);
    if (T.ParamPrefix)
      Out += ':';
    Out += '$';
    if (T.Kind == tktFloat && Digits.find('E') == std::string::npos)
      Out += '.';
    Out += Digits;
    return;
  }
  Out += T.Text;
}

} // namespace

void AppendTokenText(AnsiString& Out, const TToken& T) {
  switch (T.Kind) {
  case tktQuotedString:
    AppendQuoted(Out, T.Text, '\'', '\'');
    break;
  case tktBracketedString:
    AppendQuoted(Out, T.Text, '[', ']');
    break;
  case tktBackQuotedString:
    AppendQuoted(Out, T.Text, '`', '`');
    break;
  case tktParameter:
    Out += ':';
    AppendQuoted(Out, T.Text, '`', '`');
    break;
  case tktInt:
  case tktFloat:
    AppendNumber(Out, T);
    break;
  default:
    Out += T.Text;
    break;
  }
}

} // namespace tolvan
