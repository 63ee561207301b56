#include "foundation/TolvanDecUtil.h"

#include <gtest/gtest.h>

#include "foundation/TolvanDecConst.h"
#include "foundation/TolvanMemory.h"

using namespace tolvan;

namespace {

// The test input of the reference texts below: byte i is (i * 37 + 11) mod 256.
std::string Pattern(size_t N) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I)
    S[I] = static_cast<char>((I * 37 + 11) & 0xFF);
  return S;
}

std::string AllBytes() {
  std::string S(256, '\0');
  for (int I = 0; I < 256; ++I)
    S[I] = static_cast<char>(I);
  return S;
}

std::string Encode(const TStringFormat& F, std::string_view Bytes) {
  std::string T;
  F.Encode(Bytes, T);
  return T;
}

std::string Decode(const TStringFormat& F, std::string_view Text) {
  std::string B;
  F.Decode(Text, B);
  return B;
}

std::string DecodeById(std::string_view Text, int32_t ID) {
  std::string B;
  DecodeStringFormat(Text, ID, B);
  return B;
}

std::string FailureOf(std::string_view Text, int32_t ID) {
  try {
    DecodeById(Text, ID);
  } catch (const EStringFormat& E) {
    return E.Message();
  }
  return "(no failure)";
}

const auto& Hex = TStringFormat_HEX::Instance();
const auto& HexL = TStringFormat_HEXL::Instance();
const auto& Mime = TStringFormat_MIME64::Instance();
const auto& UU = TStringFormat_UU::Instance();
const auto& XX = TStringFormat_XX::Instance();

// A format of the tests' own: copies, refuses every input for encoding, and has no display name
// of its own.
class TStringFormat_REFUSE : public TStringFormat {
public:
  constexpr explicit TStringFormat_REFUSE(int32_t ID) : FID(ID) {}
  int32_t FormatID() const override { return FID; }
  bool IsValid(std::string_view, bool ForDecoding) const override { return ForDecoding; }
  std::string_view ClassName() const override { return "TStringFormat_REFUSE"; }

private:
  int32_t FID;
};

} // namespace

TEST(StringFormatRegistry, ClassesIdsAndNames) {
  struct Case {
    int32_t ID;
    const TStringFormat* Class;
    std::string_view Display, Short;
  };
  const Case Cases[] = {
      {1, &TStringFormat::Instance(), "copy Input to Output", "TStringFormat"},
      {16, &Hex, "Hexadecimal", "HEX"},
      {1016, &HexL, "Hexadecimal lowercase", "HEXL"},
      {4196, &Mime, "MIME Base 64", "MIME64"},
      {21845, &UU, "UU Coding", "UU"},
      {22616, &XX, "XX Coding", "XX"},
  };
  for (const Case& C : Cases) {
    EXPECT_EQ(FindStringFormat(C.ID), C.Class) << C.ID;
    EXPECT_EQ(C.Class->FormatID(), C.ID);
    EXPECT_EQ(C.Class->DisplayName(), C.Display);
    EXPECT_EQ(StringFormatShortName(*C.Class), C.Short);
  }
  EXPECT_EQ(FindStringFormat(-1), &Mime);
  EXPECT_EQ(FindStringFormat(0), nullptr);
  EXPECT_EQ(FindStringFormat(7), nullptr);
}

TEST(StringFormatRegistry, RegisteringReplacesByIdAndSkipsMinusOne) {
  static constexpr TStringFormat_REFUSE Unlisted(-1), Replacement(16), Added(31001);
  RegisterStringFormatClasses({&Unlisted, &Replacement, &Added});
  EXPECT_EQ(FindStringFormat(16), &Replacement);
  EXPECT_EQ(FindStringFormat(31001), &Added);
  EXPECT_EQ(FindStringFormat(-1), &Mime);
  EXPECT_EQ(Added.DisplayName(), "REFUSE"); // no name of its own: the short class name

  std::string Text = "old";
  try {
    EncodeStringFormat("ab", 31001, Text);
    ADD_FAILURE();
  } catch (const EStringFormat& E) {
    EXPECT_EQ(E.Message(), "Input can not be convert to REFUSE Format.");
  }
  EXPECT_EQ(Text, "");

  RegisterStringFormatClasses({&Hex});
  EXPECT_EQ(FindStringFormat(16), &Hex);
}

TEST(StringFormatTables, CharTablesAndTableFind) {
  EXPECT_EQ(Hex.CharTable(),
            std::string_view("0123456789ABCDEFX$ abcdefhHx()[]{},;:-_/\\*+\"'\t\n\r"));
  EXPECT_EQ(HexL.CharTable(),
            std::string_view("0123456789abcdefX$ ABCDEFhHx()[]{},;:-_/\\*+\"'\t\n\r"));
  EXPECT_EQ(Mime.CharTable().size(), 85u);
  EXPECT_EQ(Mime.CharTable().substr(62, 3), "+/=");
  EXPECT_EQ(Mime.CharTable().substr(65), std::string_view(" $()[]{},;:-_\\*\"'\t\n\r"));
  EXPECT_EQ(UU.CharTable().size(), 68u);
  EXPECT_EQ(UU.CharTable().substr(0, 2), "`!");
  EXPECT_EQ(UU.CharTable().substr(63), std::string_view("_ \t\n\r"));
  EXPECT_EQ(XX.CharTable(), std::string_view("+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn"
                                             "opqrstuvwxyz \"()[]'\t\n\r"));

  EXPECT_EQ(TableFind('X', Hex.CharTable(), 18), 16);
  EXPECT_EQ(TableFind('x', Hex.CharTable(), 18), -1);
  EXPECT_EQ(TableFind('x', Hex.CharTable(), 48), 27);
  EXPECT_EQ(TableFind('\r', Hex.CharTable(), 48), 47);
  EXPECT_EQ(TableFind('0', Hex.CharTable(), 0), -1);
  EXPECT_EQ(TableFind('G', Hex.CharTable(), 100), -1);
}

// Reference texts written by Python's binascii (hexlify, b2a_uu with backtick=True, its lines
// joined without line breaks). binascii has no XX coder; the XX texts are the UU texts with
// every character mapped from its UU value to the XX alphabet.
TEST(StringFormatReference, HexUUAndXXAgainstBinascii) {
  struct Case {
    size_t N;
    std::string_view Hex, UU, XX;
  };
  const Case Cases[] = {
      {1, "0B", R"~(!"P``)~", "-0k++"},
      {2, "0B30", R"~(""S``)~", "00n++"},
      {3, "0B3055", R"~(#"S!5)~", "10n-J"},
      {4, "0B30557A", R"~($"S!5>@``)~", "20n-JSU++"},
      {44,
       "0B30557A9FC4E90E33587DA2C7EC11365B80A5CAEF14395E83A8CDF2173C6186ABD0F51A3F6489AED3F81D42",
       R"~(L"S!5>I_$Z0XS6'VBQ^P1-EN`I<KO%#E>@ZC-\A<\88:KT/4:/V2)KM/X'4(`)~",
       "g0n-JSdz2uEsnK5qWlykFBZi+dQfj31ZSUuXBwVQwMMOfoDIODqG7fhDs5I6+"},
      {45,
       "0B30557A9FC4E90E33587DA2C7EC11365B80A5CAEF14395E83A8CDF2173C6186ABD0F51A3F6489AED3F81D4267",
       R"~(M"S!5>I_$Z0XS6'VBQ^P1-EN`I<KO%#E>@ZC-\A<\88:KT/4:/V2)KM/X'4)G)~",
       "h0n-JSdz2uEsnK5qWlykFBZi+dQfj31ZSUuXBwVQwMMOfoDIODqG7fhDs5I7b"},
      {46,
       "0B30557A9FC4E90E33587DA2C7EC11365B80A5CAEF14395E83A8CDF2173C6186ABD0F51A3F6489AED3F81D4267"
       "8C",
       R"~(M"S!5>I_$Z0XS6'VBQ^P1-EN`I<KO%#E>@ZC-\A<\88:KT/4:/V2)KM/X'4)G!C```)~",
       "h0n-JSdz2uEsnK5qWlykFBZi+dQfj31ZSUuXBwVQwMMOfoDIODqG7fhDs5I7b-X+++"},
      {91,
       "0B30557A9FC4E90E33587DA2C7EC11365B80A5CAEF14395E83A8CDF2173C6186ABD0F51A3F6489AED3F81D4267"
       "8CB1D6FB20456A8FB4D9FE23486D92B7DC01264B7095BADF04294E7398BDE2072C51769BC0E50A2F54799EC3E8"
       "0D",
       R"~(M"S!5>I_$Z0XS6'VBQ^P1-EN`I<KO%#E>@ZC-\A<\88:KT/4:/V2)KM/X'4)GMC+'6^R!%:H^TV?XC2&V2M]P!)DMPE;K?!"E.<YB]X@<L47:;P.4*+U1YGL/H!#0``)~",
       "h0n-JSdz2uEsnK5qWlykFBZi+dQfj31ZSUuXBwVQwMMOfoDIODqG7fhDs5I7bhX95Kym-3OcyoqTsXG4qGhxk-7YhkZ"
       "PfT-0ZCQtWxsUQgILOPkCI89pFtbgDc-1E++"},
  };
  for (const Case& C : Cases) {
    const std::string Bytes = Pattern(C.N);
    EXPECT_EQ(Encode(Hex, Bytes), C.Hex) << C.N;
    EXPECT_EQ(Encode(UU, Bytes), C.UU) << C.N;
    EXPECT_EQ(Encode(XX, Bytes), C.XX) << C.N;
    EXPECT_EQ(DecodeById(C.Hex, 16), Bytes) << C.N;
    EXPECT_EQ(DecodeById(C.UU, 21845), Bytes) << C.N;
    EXPECT_EQ(DecodeById(C.XX, 22616), Bytes) << C.N;
  }

  const std::string All = AllBytes();
  const std::string AllHex = Encode(Hex, All);
  EXPECT_EQ(AllHex.substr(0, 8), "00010203");
  EXPECT_EQ(AllHex.substr(504), "FCFDFEFF");
  EXPECT_EQ(
      Encode(UU, All),
      R"~(M``$"`P0%!@<("0H+#`T.#Q`1$A,4%187&!D:&QP='A\@(2(C)"4F)R@I*BLLM+2XO,#$R,S0U-C<X.3H[/#T^/T!!0D-$149'2$E*2TQ-3D]045)35%565UA9M6EM<75Y?8&%B8V1E9F=H:6IK;&UN;W!Q<G-T=79W>'EZ>WQ]?G^`@8*#A(6&MAXB)BHN,C8Z/D)&2DY25EI>8F9J;G)V>GZ"AHJ.DI::GJ*FJJZRMKJ^PL;*SMM+6VM[BYNKN\O;Z_P,'"P\3%QL?(R<K+S,W.S]#1TM/4U=;7V-G:V]S=WM_@?X>+CY.7FY^CIZNOL[>[O\/'R\_3U]O?X^?K[_/W^_P``)~");
  EXPECT_EQ(Encode(XX, All),
            "h++20+kE3-UQ60Ec91+oC1l+F2VAI3FML4-YO4lkR5VwU6G6X70Ia7mUd8Wggh9GsjA12mAnEpBXQsCHcvD1"
            "oyDo--EYB2FIN5G2Z8GolBHYxEIJ7HJ3JKJpVNhKZhQLJtTM43WMqFZNaRcOKdfP4piPr-lQbBoRLNrS5ZuSr"
            "lxTby+UM81V6K4hVsW7WciAXMuDY74GYtGJZdSMaNePb7qSbu0VceCYdOObe8aeeumhfeykgP8nhh9KqhvWt"
            "ifiwjPuzkA50kwH3lgT6mQf9nArCnx1FohDIpRPLqBbOqxnRrhzUTsS9XtCLatyXduijgvSvjwD5mwzHpxjTs"
            "yTfvzDryzk++");
  const TStringFormat* const Formats[] = {&Hex, &HexL, &Mime, &UU, &XX};
  for (const TStringFormat* F : Formats)
    EXPECT_EQ(Decode(*F, Encode(*F, All)), All) << F->DisplayName();
}

TEST(HexFormat, EncodeAndDecode) {
  const std::string ZeroFF("\x00\xFF", 2);
  std::string Text;
  EncodeStringFormat(ZeroFF, 16, Text);
  EXPECT_EQ(Text, "00FF");
  EncodeStringFormat(ZeroFF, 1016, Text);
  EXPECT_EQ(Text, "00ff");
  EXPECT_EQ(Encode(Hex, "foobar"), "666F6F626172"); // RFC 4648 base 16

  struct Case {
    std::string_view Text;
    std::string_view Bytes;
  };
  const Case Cases[] = {
      {"00FF", std::string_view("\x00\xFF", 2)},
      {"00 ff", std::string_view("\x00\xFF", 2)},
      {"0x00FF", std::string_view("\x00\xFF", 2)},
      {"$00FF", std::string_view("\x00\xFF", 2)},
      {"ABC", "\xAB"},               // a trailing single digit is dropped
      {"12X34", "\x34"},             // the first marker drops what came before it
      {"x12$34X56", "\x12\x34\x56"}, // later markers are skipped
      {"1{2}-(3)[4],\r\n", "\x12\x34"},
      {"A", ""},
  };
  for (const Case& C : Cases) {
    EXPECT_EQ(DecodeById(C.Text, 16), C.Bytes) << C.Text;
    EXPECT_EQ(DecodeById(C.Text, 1016), C.Bytes) << C.Text;
  }
  EXPECT_EQ(FailureOf("12G4", 16), "Input is not an valid Hexadecimal Format.");
  EXPECT_EQ(FailureOf("12g4", 1016), "Input is not an valid Hexadecimal lowercase Format.");
  EXPECT_FALSE(Hex.IsValid("0x1g", true));
  EXPECT_TRUE(Hex.IsValid("0x1g", false));
}

TEST(Mime64Format, Rfc4648Vectors) {
  const std::pair<std::string_view, std::string_view> Vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (auto [Bytes, Text] : Vectors) {
    EXPECT_EQ(Encode(Mime, Bytes), Text);
    EXPECT_EQ(Decode(Mime, Text), Bytes) << Text;
    EXPECT_EQ(DecodeById(Text, -1), Bytes) << Text;
  }
  // Every byte value, against Python's base64.b64encode.
  EXPECT_EQ(Encode(Mime, AllBytes()),
            "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+"
            "P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn"
            "+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/"
            "wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+"
            "/w==");
}

TEST(Mime64Format, DecodingRules) {
  const std::pair<std::string_view, std::string_view> Accepted[] = {
      {"Zm9v\r\nYmFy", "foobar"},                      // line breaks
      {" Zm9v YmFy ", "foobar"},  {"Zm 9vYg", "foob"}, // separators inside a group; missing padding
      {"Zm9vYg=", "foob"},        {"Zm9vYg =\n=", "foob"},
  };
  for (auto [Text, Bytes] : Accepted) {
    EXPECT_TRUE(Mime.IsValid(Text, true)) << Text;
    EXPECT_EQ(DecodeById(Text, 4196), Bytes) << Text;
  }
  // "=" before data, too much padding, a lone data character, a character outside the table.
  for (std::string_view Text :
       {"Zg==Zg==", "Zm=9v", "=", "Zm9v=", "Zg===", "Zm8==", "Z", "Zm9vY", "Zm9v!"}) {
    EXPECT_FALSE(Mime.IsValid(Text, true)) << Text;
    EXPECT_EQ(FailureOf(Text, 4196), "Input is not an valid MIME Base 64 Format.") << Text;
  }
  // Decode called directly skips what is not in the alphabet but still refuses the structure.
  EXPECT_EQ(Decode(Mime, "Zm9v!"), "foo");
  EXPECT_THROW(Decode(Mime, "Zm=9v"), EStringFormat);
}

TEST(UUFormat, LineStructure) {
  // Python's text with its line breaks decodes as it stands; unpadded short groups do too.
  const std::string Bytes = Pattern(46);
  EXPECT_EQ(
      DecodeById("M\"S!5>I_$Z0XS6'VBQ^P1-EN`I<KO%#E>@ZC-\\A<\\88:KT/4:/V2)KM/X'4)G\n!C``\n", 21845),
      Bytes);
  EXPECT_EQ(DecodeById("!80", 21845), "a");
  EXPECT_EQ(DecodeById("\"86(", 21845), "ab");
  EXPECT_EQ(DecodeById("!80!80\r\n", 21845), "aa");
  EXPECT_EQ(DecodeById("-0k", 22616), Bytes.substr(0, 1));
  EXPECT_EQ(DecodeById("````", 21845), ""); // empty lines

  // A count above 45, a line cut short, characters outside the table.
  const std::pair<std::string_view, int32_t> Refused[] = {
      {"N", 21845},    {"a", 21845}, {"M", 21845},   {"#\"S!", 21845}, {"!8", 21845},
      {"!80~", 21845}, {"i", 22616}, {"h0n", 22616}, {"-0k!", 22616},
  };
  for (auto [Text, ID] : Refused) {
    const TStringFormat& F = *FindStringFormat(ID);
    EXPECT_FALSE(F.IsValid(Text, true)) << Text;
    EXPECT_EQ(FailureOf(Text, ID),
              "Input is not an valid " + std::string(F.DisplayName()) + " Format.")
        << Text;
  }
  EXPECT_THROW(Decode(UU, "M"), EStringFormat);
  EXPECT_THROW(Decode(XX, "h0n"), EStringFormat);
}

TEST(StringFormatConversions, EntryPoints) {
  std::string Text = "old";
  EncodeStringFormat("ab", 2, 0, Text);
  EXPECT_EQ(Text, "");
  Text = "old";
  EncodeStringFormat(nullptr, 5, 16, Text);
  EXPECT_EQ(Text, "");
  EncodeStringFormat("ab\0cd", -1, 16, Text); // zero-terminated
  EXPECT_EQ(Text, "6162");
  EncodeStringFormat("ab\0cd", 5, 16, Text);
  EXPECT_EQ(Text, "6162006364");
  EncodeStringFormat("ab", 0, 16, Text);
  EXPECT_EQ(Text, "");
  EncodeStringFormat("ab", 2, 1, Text);
  EXPECT_EQ(Text, "ab");
  BlobToMime64Text("foob", 4, Text);
  EXPECT_EQ(Text, "Zm9vYg==");

  try {
    EncodeStringFormat("ab", 2, 7, Text);
    ADD_FAILURE();
  } catch (const EStringFormat& E) {
    EXPECT_EQ(E.Message(), "String Format \"7\" not exists.");
  }
  EXPECT_EQ(FailureOf("00", 7), "String Format \"7\" not exists.");

  std::string Bytes = "old";
  DecodeStringFormat("", 0, 16, Bytes);
  EXPECT_EQ(Bytes, "");
  DecodeStringFormat("6162", -1, 16, Bytes);
  EXPECT_EQ(Bytes, "ab");
  DecodeStringFormat("6162", 2, 16, Bytes);
  EXPECT_EQ(Bytes, "a");
  DecodeStringFormat(nullptr, 4, 16, Bytes);
  EXPECT_EQ(Bytes, "");
}

TEST(StringFormatConversions, LargeRoundTripsReuseTheOutput) {
  std::string Bytes(200000, '\0');
  uint32_t X = 12345;
  for (char& C : Bytes) {
    X = X * 1103515245u + 12345u;
    C = static_cast<char>(X >> 24);
  }
  std::string Text, Back;
  for (int32_t ID : {1, 16, 1016, 4196, 21845, 22616}) {
    EncodeStringFormat(Bytes, ID, Text);
    DecodeStringFormat(Text, ID, Back);
    EXPECT_EQ(Back, Bytes) << ID;
    // Decoding a shorter text into the same string replaces, never appends.
    DecodeStringFormat(std::string_view(Text).substr(0, 0), ID, Back);
    EXPECT_EQ(Back, "");
  }
}

TEST(StringFormatConversions, BlobWrappers) {
  struct Case {
    void* (*ToBlob)(std::string_view);
    std::string_view Text, Bytes;
  };
  const Case Cases[] = {
      {HexTextToBlob, "0x666F6F", "foo"},     {HexTextToBlob, "", ""},    {HexTextToBlob, "A", ""},
      {Mime64TextToBlob, "Zm9vYg==", "foob"}, {Mime64TextToBlob, "", ""},
  };
  for (const Case& C : Cases) {
    void* Blob = C.ToBlob(C.Text);
    if (C.Bytes.empty()) {
      EXPECT_EQ(Blob, nullptr) << C.Text;
      continue;
    }
    ASSERT_NE(Blob, nullptr) << C.Text;
    EXPECT_EQ(std::string_view(static_cast<const char*>(Blob),
                               size_t(TTolvanMemoryManager::GetMemSize(Blob))),
              C.Bytes);
    TTolvanMemoryManager::FreeAndNillMem(Blob);
  }
  EXPECT_THROW(HexTextToBlob("12G4"), EStringFormat);
  EXPECT_THROW(Mime64TextToBlob("Zg==Zg=="), EStringFormat);
}
