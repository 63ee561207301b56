#include "foundation/TolvanDecUtil.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "classlib/Format.h"
#include "foundation/TolvanDecConst.h"
#include "foundation/TolvanMemory.h"
#include "platform/TolvanPlatform.h"

namespace tolvan {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view HexTable = "0123456789ABCDEF"
                                      "X$"
                                      " abcdefhHx()[]{},;:-_/\\*+\"'\t\n\r"sv;
constexpr std::string_view HexLTable = "0123456789abcdef"
                                       "X$"
                                       " ABCDEFhHx()[]{},;:-_/\\*+\"'\t\n\r"sv;
constexpr std::string_view Mime64Table =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    "="
    " $()[]{},;:-_\\*\"'\t\n\r"sv;
constexpr std::string_view UUTable =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_"
    " \t\n\r"sv;
constexpr std::string_view XXTable =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
    " \"()[]'\t\n\r"sv;

static_assert(HexTable.size() == 48 && HexLTable.size() == 48);
static_assert(Mime64Table.size() == 85 && UUTable.size() == 68 && XXTable.size() == 74);

constexpr TCharMap HexMap = MakeCharMap(HexTable);
constexpr TCharMap HexLMap = MakeCharMap(HexLTable);
constexpr TCharMap Mime64Map = MakeCharMap(Mime64Table);
constexpr TCharMap UUMap = MakeCharMap(UUTable);
constexpr TCharMap XXMap = MakeCharMap(XXTable);

constexpr int HexMarker = 16; // "X" or "$"
constexpr int Mime64Pad = 64; // "="
constexpr int Alphabet = 64;
constexpr int UULineBytes = 45;

// A character upper-cased (ASCII only) and looked up among the digits and markers of the
// hexadecimal table: 0..15 a digit, 16 or 17 a marker, -1 anything else.
constexpr TCharMap MakeHexDigitMap() {
  TCharMap M{};
  for (int C = 0; C < 256; ++C) {
    const int U = C >= 'a' && C <= 'z' ? C - 'a' + 'A' : C;
    const int I = HexMap.Index[U];
    M.Index[C] = static_cast<int8_t>(I >= 0 && I < 18 ? I : -1);
  }
  return M;
}
constexpr TCharMap HexDigitMap = MakeHexDigitMap();

bool AllInTable(std::string_view Data, const TCharMap& Map) {
  for (char C : Data)
    if (Map.Find(C) < 0)
      return false;
  return true;
}

[[noreturn]] void RaiseInvalid(const TStringFormat& Format) {
  throw EStringFormat(tolvan::Format(SStringFormatInvalidInput, Format.DisplayName()));
}

// MIME base 64 decoding, also run without output to validate. Returns false when the text
// cannot be base 64: a data character after "=", a lone data character in the last group, or
// more "=" than the last group lacks. N receives the number of bytes.
bool Mime64Scan(std::string_view Text, uint8_t* Out, size_t& N) {
  uint32_t Acc = 0;
  int InGroup = 0, Pads = 0;
  size_t W = 0;
  for (char C : Text) {
    const int V = Mime64Map.Find(C);
    if (V < 0 || V > Mime64Pad)
      continue;
    if (V == Mime64Pad) {
      ++Pads;
      continue;
    }
    if (Pads > 0)
      return false;
    Acc = (Acc << 6) | static_cast<uint32_t>(V);
    if (++InGroup == 4) {
      if (Out) {
        Out[W] = static_cast<uint8_t>(Acc >> 16);
        Out[W + 1] = static_cast<uint8_t>(Acc >> 8);
        Out[W + 2] = static_cast<uint8_t>(Acc);
      }
      W += 3;
      InGroup = 0;
      Acc = 0;
    }
  }
  switch (InGroup) {
  case 0:
    if (Pads != 0)
      return false;
    break;
  case 1:
    return false;
  case 2:
    if (Pads > 2)
      return false;
    if (Out)
      Out[W] = static_cast<uint8_t>(Acc >> 4);
    W += 1;
    break;
  case 3:
    if (Pads > 1)
      return false;
    if (Out) {
      Out[W] = static_cast<uint8_t>(Acc >> 10);
      Out[W + 1] = static_cast<uint8_t>(Acc >> 2);
    }
    W += 2;
    break;
  }
  N = W;
  return true;
}

// UU / XX decoding, also run without output to validate. Characters outside the alphabet are
// skipped. Each line is a count character n <= 45 followed by (4 n + 2) / 3 data characters,
// enough bits for n bytes; returns false on a larger count or a line cut short by the end of
// the text.
bool UUScan(std::string_view Text, const TCharMap& Map, uint8_t* Out, size_t& N) {
  const char* P = Text.data();
  const char* const End = P + Text.size();
  auto NextValue = [&]() -> int {
    while (P < End) {
      const int V = Map.Find(*P++);
      if (V >= 0 && V < Alphabet)
        return V;
    }
    return -1;
  };
  size_t W = 0;
  for (;;) {
    const int Count = NextValue();
    if (Count < 0)
      break;
    if (Count > UULineBytes)
      return false;
    int Due = Count;
    while (Due > 0) {
      // A group of up to four characters carries up to three bytes; a short last group needs
      // only as many characters as its bytes need bits.
      const int Bytes = std::min(Due, 3);
      uint32_t Acc = 0;
      for (int I = 0; I < Bytes + 1; ++I) {
        const int V = NextValue();
        if (V < 0)
          return false;
        Acc |= static_cast<uint32_t>(V) << (18 - 6 * I);
      }
      if (Out)
        for (int I = 0; I < Bytes; ++I)
          Out[W + I] = static_cast<uint8_t>(Acc >> (16 - 8 * I));
      W += Bytes;
      Due -= Bytes;
    }
  }
  N = W;
  return true;
}

uint8_t* BytesOf(std::string& S) { return reinterpret_cast<uint8_t*>(S.data()); }

struct TRegistry {
  TPlatformLock Lock;
  std::vector<const TStringFormat*> Classes;

  TRegistry() {
    Add(&TStringFormat::Instance());
    Add(&TStringFormat_HEX::Instance());
    Add(&TStringFormat_HEXL::Instance());
    Add(&TStringFormat_MIME64::Instance());
    Add(&TStringFormat_UU::Instance());
    Add(&TStringFormat_XX::Instance());
  }

  void Add(const TStringFormat* Class) {
    const int32_t ID = Class->FormatID();
    if (ID == -1)
      return;
    for (const TStringFormat*& C : Classes)
      if (C->FormatID() == ID) {
        C = Class;
        return;
      }
    Classes.push_back(Class);
  }
};

TRegistry& Registry() {
  static TRegistry R;
  return R;
}

} // namespace

int TableFind(char C, std::string_view Table, int N) {
  const size_t Limit = N <= 0 ? 0 : std::min(Table.size(), static_cast<size_t>(N));
  const void* Hit = std::memchr(Table.data(), C, Limit);
  return Hit ? static_cast<int>(static_cast<const char*>(Hit) - Table.data()) : -1;
}

// ---- TStringFormat: plain copy -------------------------------------------------------------

const TStringFormat& TStringFormat::Instance() {
  static constexpr TStringFormat I{};
  return I;
}

void TStringFormat::Decode(std::string_view Text, std::string& Bytes) const { Bytes.assign(Text); }
void TStringFormat::Encode(std::string_view Bytes, std::string& Text) const { Text.assign(Bytes); }

std::string_view TStringFormat::DisplayName() const {
  if (ClassName() == TStringFormat::ClassName())
    return "copy Input to Output";
  return StringFormatShortName(*this);
}

int32_t TStringFormat::FormatID() const { return 1; }
bool TStringFormat::IsValid(std::string_view, bool) const { return true; }
std::string_view TStringFormat::ClassName() const { return "TStringFormat"; }

// ---- TStringFormat_HEX / HEXL --------------------------------------------------------------

const TStringFormat_HEX& TStringFormat_HEX::Instance() {
  static constexpr TStringFormat_HEX I{};
  return I;
}

void TStringFormat_HEX::Encode(std::string_view Bytes, std::string& Text) const {
  const char* Digits = CharTable().data();
  Text.resize(Bytes.size() * 2);
  char* Out = Text.data();
  for (unsigned char B : Bytes) {
    *Out++ = Digits[B >> 4];
    *Out++ = Digits[B & 15];
  }
}

void TStringFormat_HEX::Decode(std::string_view Text, std::string& Bytes) const {
  Bytes.resize(Text.size() / 2 + 1);
  uint8_t* Out = BytesOf(Bytes);
  size_t W = 0;
  bool High = true, MarkerSeen = false;
  uint8_t Half = 0;
  for (char C : Text) {
    const int V = HexDigitMap.Find(C);
    if (V < 0)
      continue;
    if (V >= HexMarker) {
      if (!MarkerSeen) {
        MarkerSeen = true;
        W = 0;
        High = true;
      }
      continue;
    }
    if (High) {
      Half = static_cast<uint8_t>(V << 4);
    } else {
      Out[W++] = static_cast<uint8_t>(Half | V);
    }
    High = !High;
  }
  Bytes.resize(W);
}

std::string_view TStringFormat_HEX::DisplayName() const { return "Hexadecimal"; }
int32_t TStringFormat_HEX::FormatID() const { return 16; }

bool TStringFormat_HEX::IsValid(std::string_view Data, bool ForDecoding) const {
  return !ForDecoding || AllInTable(Data, CharMap());
}

std::string_view TStringFormat_HEX::ClassName() const { return "TStringFormat_HEX"; }
std::string_view TStringFormat_HEX::CharTable() const { return HexTable; }
const TCharMap& TStringFormat_HEX::CharMap() const { return HexMap; }

const TStringFormat_HEXL& TStringFormat_HEXL::Instance() {
  static constexpr TStringFormat_HEXL I{};
  return I;
}

std::string_view TStringFormat_HEXL::DisplayName() const { return "Hexadecimal lowercase"; }
int32_t TStringFormat_HEXL::FormatID() const { return 1016; }
std::string_view TStringFormat_HEXL::ClassName() const { return "TStringFormat_HEXL"; }
std::string_view TStringFormat_HEXL::CharTable() const { return HexLTable; }
const TCharMap& TStringFormat_HEXL::CharMap() const { return HexLMap; }

// ---- TStringFormat_MIME64 ------------------------------------------------------------------

const TStringFormat_MIME64& TStringFormat_MIME64::Instance() {
  static constexpr TStringFormat_MIME64 I{};
  return I;
}

void TStringFormat_MIME64::Encode(std::string_view Bytes, std::string& Text) const {
  const char* A = Mime64Table.data();
  const auto* In = reinterpret_cast<const uint8_t*>(Bytes.data());
  const size_t N = Bytes.size();
  Text.resize((N + 2) / 3 * 4);
  char* Out = Text.data();
  size_t I = 0;
  for (; I + 3 <= N; I += 3) {
    const uint32_t V = (uint32_t(In[I]) << 16) | (uint32_t(In[I + 1]) << 8) | In[I + 2];
    *Out++ = A[V >> 18];
    *Out++ = A[(V >> 12) & 63];
    *Out++ = A[(V >> 6) & 63];
    *Out++ = A[V & 63];
  }
  if (const size_t Rest = N - I; Rest > 0) {
    const uint32_t V = (uint32_t(In[I]) << 16) | (Rest == 2 ? uint32_t(In[I + 1]) << 8 : 0);
    *Out++ = A[V >> 18];
    *Out++ = A[(V >> 12) & 63];
    *Out++ = Rest == 2 ? A[(V >> 6) & 63] : '=';
    *Out++ = '=';
  }
}

void TStringFormat_MIME64::Decode(std::string_view Text, std::string& Bytes) const {
  Bytes.resize(Text.size() / 4 * 3 + 3);
  size_t N = 0;
  if (!Mime64Scan(Text, BytesOf(Bytes), N)) {
    Bytes.clear();
    RaiseInvalid(*this);
  }
  Bytes.resize(N);
}

std::string_view TStringFormat_MIME64::DisplayName() const { return "MIME Base 64"; }
int32_t TStringFormat_MIME64::FormatID() const { return 4196; }

bool TStringFormat_MIME64::IsValid(std::string_view Data, bool ForDecoding) const {
  size_t N;
  return !ForDecoding || (AllInTable(Data, Mime64Map) && Mime64Scan(Data, nullptr, N));
}

std::string_view TStringFormat_MIME64::ClassName() const { return "TStringFormat_MIME64"; }
std::string_view TStringFormat_MIME64::CharTable() const { return Mime64Table; }
const TCharMap& TStringFormat_MIME64::CharMap() const { return Mime64Map; }

// ---- TStringFormat_UU / XX -----------------------------------------------------------------

const TStringFormat_UU& TStringFormat_UU::Instance() {
  static constexpr TStringFormat_UU I{};
  return I;
}

void TStringFormat_UU::Encode(std::string_view Bytes, std::string& Text) const {
  const char* A = CharTable().data();
  const auto* In = reinterpret_cast<const uint8_t*>(Bytes.data());
  const size_t N = Bytes.size();
  const size_t Last = N % UULineBytes;
  Text.resize(N / UULineBytes * 61 + (Last ? 1 + (Last + 2) / 3 * 4 : 0));
  char* Out = Text.data();
  for (size_t Line = 0; Line < N; Line += UULineBytes) {
    const size_t LineEnd = std::min(N, Line + UULineBytes);
    *Out++ = A[LineEnd - Line];
    for (size_t I = Line; I < LineEnd; I += 3) {
      uint32_t V = uint32_t(In[I]) << 16;
      if (I + 1 < LineEnd)
        V |= uint32_t(In[I + 1]) << 8;
      if (I + 2 < LineEnd)
        V |= In[I + 2];
      *Out++ = A[V >> 18];
      *Out++ = A[(V >> 12) & 63];
      *Out++ = A[(V >> 6) & 63];
      *Out++ = A[V & 63];
    }
  }
}

void TStringFormat_UU::Decode(std::string_view Text, std::string& Bytes) const {
  // A line of n bytes takes at least 1 + 4n/3 characters, so the bytes never exceed 3/4 of
  // the text.
  Bytes.resize(Text.size() / 4 * 3 + 3);
  size_t N = 0;
  if (!UUScan(Text, CharMap(), BytesOf(Bytes), N)) {
    Bytes.clear();
    RaiseInvalid(*this);
  }
  Bytes.resize(N);
}

std::string_view TStringFormat_UU::DisplayName() const { return "UU Coding"; }
int32_t TStringFormat_UU::FormatID() const { return 21845; }

bool TStringFormat_UU::IsValid(std::string_view Data, bool ForDecoding) const {
  size_t N;
  return !ForDecoding || (AllInTable(Data, CharMap()) && UUScan(Data, CharMap(), nullptr, N));
}

std::string_view TStringFormat_UU::ClassName() const { return "TStringFormat_UU"; }
std::string_view TStringFormat_UU::CharTable() const { return UUTable; }
const TCharMap& TStringFormat_UU::CharMap() const { return UUMap; }

const TStringFormat_XX& TStringFormat_XX::Instance() {
  static constexpr TStringFormat_XX I{};
  return I;
}

std::string_view TStringFormat_XX::DisplayName() const { return "XX Coding"; }
int32_t TStringFormat_XX::FormatID() const { return 22616; }
std::string_view TStringFormat_XX::ClassName() const { return "TStringFormat_XX"; }
std::string_view TStringFormat_XX::CharTable() const { return XXTable; }
const TCharMap& TStringFormat_XX::CharMap() const { return XXMap; }

// ---- Registry and conversions --------------------------------------------------------------

void RegisterStringFormatClasses(std::span<const TStringFormat* const> Classes) {
  TRegistry& R = Registry();
  std::lock_guard<TPlatformLock> Guard(R.Lock);
  for (const TStringFormat* C : Classes)
    if (C)
      R.Add(C);
}

void RegisterStringFormatClasses(std::initializer_list<const TStringFormat*> Classes) {
  RegisterStringFormatClasses(
      std::span<const TStringFormat* const>(Classes.begin(), Classes.size()));
}

const TStringFormat* FindStringFormat(int32_t ID) {
  if (ID == -1)
    ID = DefaultStringFormatID;
  TRegistry& R = Registry();
  std::lock_guard<TPlatformLock> Guard(R.Lock);
  for (const TStringFormat* C : R.Classes)
    if (C->FormatID() == ID)
      return C;
  return nullptr;
}

namespace {

const TStringFormat& FindOrRaise(int32_t ID) {
  const TStringFormat* C = FindStringFormat(ID);
  if (!C)
    throw EStringFormat(Format(SStringFormatNotExists, ID));
  return *C;
}

} // namespace

void EncodeStringFormat(std::string_view Bytes, int32_t ID, std::string& Text) {
  Text.clear();
  if (ID == 0 || Bytes.empty())
    return;
  const TStringFormat& C = FindOrRaise(ID);
  if (!C.IsValid(Bytes, false))
    throw EStringFormat(Format(SStringFormatCannotEncode, C.DisplayName()));
  C.Encode(Bytes, Text);
}

void EncodeStringFormat(const void* Bytes, int64_t Length, int32_t ID, std::string& Text) {
  Text.clear();
  if (!Bytes || ID == 0)
    return;
  const char* P = static_cast<const char*>(Bytes);
  EncodeStringFormat(Length < 0 ? std::string_view(P) : std::string_view(P, size_t(Length)), ID,
                     Text);
}

void DecodeStringFormat(std::string_view Text, int32_t ID, std::string& Bytes) {
  Bytes.clear();
  if (ID == 0 || Text.empty())
    return;
  const TStringFormat& C = FindOrRaise(ID);
  if (!C.IsValid(Text, true))
    throw EStringFormat(Format(SStringFormatInvalidInput, C.DisplayName()));
  C.Decode(Text, Bytes);
}

void DecodeStringFormat(const char* Text, int64_t Length, int32_t ID, std::string& Bytes) {
  Bytes.clear();
  if (!Text || ID == 0)
    return;
  DecodeStringFormat(Length < 0 ? std::string_view(Text) : std::string_view(Text, size_t(Length)),
                     ID, Bytes);
}

std::string_view StringFormatShortName(const TStringFormat& Class) {
  const std::string_view Name = Class.ClassName();
  const size_t P = Name.find('_');
  return P == std::string_view::npos ? Name : Name.substr(P + 1);
}

void BlobToMime64Text(const void* Bytes, int64_t Length, std::string& Text) {
  EncodeStringFormat(Bytes, Length, DefaultStringFormatID, Text);
}

namespace {

void* TextToBlob(std::string_view Text, int32_t ID) {
  std::string Bytes;
  DecodeStringFormat(Text, ID, Bytes);
  if (Bytes.empty())
    return nullptr;
  void* Blob = TTolvanMemoryManager::GetMem(static_cast<int64_t>(Bytes.size()));
  std::memcpy(Blob, Bytes.data(), Bytes.size());
  return Blob;
}

} // namespace

void* HexTextToBlob(std::string_view Text) { return TextToBlob(Text, 16); }
void* Mime64TextToBlob(std::string_view Text) { return TextToBlob(Text, DefaultStringFormatID); }

} // namespace tolvan
