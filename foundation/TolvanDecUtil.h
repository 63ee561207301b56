// TolvanDecUtil.h: binary data as text and back (hexadecimal, MIME base64, UU, XX, plain copy).
//
// A text format is a stateless object with virtual operations; each format class has exactly one
// constant instance, reached through Instance() or through the registry by its numeric id:
//
//   class                 id     display name
//   TStringFormat          1     "copy Input to Output"
//   TStringFormat_HEX     16     "Hexadecimal"            (upper-case digits)
//   TStringFormat_HEXL  1016     "Hexadecimal lowercase"
//   TStringFormat_MIME64 4196    "MIME Base 64"           (the default, id -1)
//   TStringFormat_UU   21845     "UU Coding"
//   TStringFormat_XX   22616     "XX Coding"
//
// Bytes travel in std::string (any byte values). Decode and Encode replace the contents of their
// output and write it in one pass into a buffer sized up front, so a caller that reuses its
// output string allocates nothing once it is large enough.
//
// Decoding is forgiving about layout and strict about structure: the separators of a format's
// character table (blanks, line breaks, brackets, punctuation) are skipped, but a text that
// cannot be the encoding of any bytes is refused with EStringFormat, never decoded in part:
//   - hexadecimal: an "X", "x" or "$" prefix is dropped, a trailing odd digit is dropped;
//   - MIME base64: "=" only after the last data character and at most as many as the last group
//     lacks (missing padding is accepted); a lone data character in the last group is refused;
//   - UU / XX: every line's count character must be at most 45 and the characters it announces,
//     (4 n + 2) / 3 of them, must all be present; padding characters (value 0) read as empty
//     lines, so padded and unpadded groups both decode.
//
// Threads: the format objects are constant and may be used from any thread. The registry is
// process-wide and guarded; formats registered in it are never freed while the process runs.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "classlib/SysUtils.h"

namespace tolvan {

class EStringFormat : public Exception {
public:
  using Exception::Exception;
};

// Index of the first occurrence of each character in a format's character table, -1 if absent.
struct TCharMap {
  int8_t Index[256];
  int Find(char C) const { return Index[static_cast<unsigned char>(C)]; }
};

constexpr TCharMap MakeCharMap(std::string_view Table) {
  TCharMap M{};
  for (int8_t& I : M.Index)
    I = -1;
  for (size_t I = Table.size(); I-- > 0;)
    M.Index[static_cast<unsigned char>(Table[I])] = static_cast<int8_t>(I);
  return M;
}

// The index of C among the first N characters of Table, -1 when it is not there.
int TableFind(char C, std::string_view Table, int N);

class TStringFormat {
public:
  TStringFormat(const TStringFormat&) = delete;
  TStringFormat& operator=(const TStringFormat&) = delete;

  static const TStringFormat& Instance();

  virtual void Decode(std::string_view Text, std::string& Bytes) const;
  virtual void Encode(std::string_view Bytes, std::string& Text) const;
  // The base gives "copy Input to Output" for itself and StringFormatShortName for a derived
  // class that has no name of its own.
  virtual std::string_view DisplayName() const;
  // -1 keeps a class out of the registry.
  virtual int32_t FormatID() const;
  virtual bool IsValid(std::string_view Data, bool ForDecoding) const;
  // Every format class names itself; StringFormatShortName reads it.
  virtual std::string_view ClassName() const;

protected:
  constexpr TStringFormat() = default;
  ~TStringFormat() = default;
};

class TStringFormat_HEX : public TStringFormat {
public:
  static const TStringFormat_HEX& Instance();

  // Every byte as two digits, high half first; no prefix or separators.
  void Encode(std::string_view Bytes, std::string& Text) const override;
  // Letters in either case are digits; the first "X", "x" or "$" discards what came before it
  // (a "0x" prefix), later ones and all other characters are skipped.
  void Decode(std::string_view Text, std::string& Bytes) const override;
  std::string_view DisplayName() const override;
  int32_t FormatID() const override;
  // For decoding: every character must be in CharTable.
  bool IsValid(std::string_view Data, bool ForDecoding) const override;
  std::string_view ClassName() const override;
  // The 16 digits, the prefix markers "X" and "$", then the separators decoding skips.
  virtual std::string_view CharTable() const;

protected:
  constexpr TStringFormat_HEX() = default;
  virtual const TCharMap& CharMap() const;
};

class TStringFormat_HEXL : public TStringFormat_HEX {
public:
  static const TStringFormat_HEXL& Instance();

  std::string_view DisplayName() const override;
  int32_t FormatID() const override;
  std::string_view ClassName() const override;
  std::string_view CharTable() const override;

protected:
  constexpr TStringFormat_HEXL() = default;
  const TCharMap& CharMap() const override;
};

class TStringFormat_MIME64 : public TStringFormat_HEX {
public:
  static const TStringFormat_MIME64& Instance();

  // Standard alphabet, "=" padding to a multiple of four, no line breaks.
  void Encode(std::string_view Bytes, std::string& Text) const override;
  // Characters outside the alphabet and "=" are skipped; see the header comment for what is
  // refused.
  void Decode(std::string_view Text, std::string& Bytes) const override;
  std::string_view DisplayName() const override;
  int32_t FormatID() const override;
  bool IsValid(std::string_view Data, bool ForDecoding) const override;
  std::string_view ClassName() const override;
  // The 64 alphabet characters, "=", then the separators.
  std::string_view CharTable() const override;

protected:
  constexpr TStringFormat_MIME64() = default;
  const TCharMap& CharMap() const override;
};

class TStringFormat_UU : public TStringFormat {
public:
  static const TStringFormat_UU& Instance();

  // Lines of at most 45 bytes, each a count character and four characters per three bytes (the
  // last group filled with zero bits); no line breaks between lines.
  void Encode(std::string_view Bytes, std::string& Text) const override;
  // Characters outside the alphabet are skipped.
  void Decode(std::string_view Text, std::string& Bytes) const override;
  std::string_view DisplayName() const override;
  int32_t FormatID() const override;
  // For decoding: every character in CharTable and the lines complete.
  bool IsValid(std::string_view Data, bool ForDecoding) const override;
  std::string_view ClassName() const override;
  // The 64 alphabet characters (value = index), then the separators.
  virtual std::string_view CharTable() const;

protected:
  constexpr TStringFormat_UU() = default;
  virtual const TCharMap& CharMap() const;
};

class TStringFormat_XX : public TStringFormat_UU {
public:
  static const TStringFormat_XX& Instance();

  std::string_view DisplayName() const override;
  int32_t FormatID() const override;
  std::string_view ClassName() const override;
  std::string_view CharTable() const override;

protected:
  constexpr TStringFormat_XX() = default;
  const TCharMap& CharMap() const override;
};

inline constexpr int32_t DefaultStringFormatID = 4196;

// Adds each class whose FormatID is not -1; a class with the id of a registered one takes its
// place. The six classes above are registered before the registry is first used. Classes must
// live for the rest of the process.
void RegisterStringFormatClasses(std::span<const TStringFormat* const> Classes);
void RegisterStringFormatClasses(std::initializer_list<const TStringFormat*> Classes);

// The registered class with that id (-1: the default, MIME base 64), nullptr if there is none.
const TStringFormat* FindStringFormat(int32_t ID);

// Text := empty; then nothing more when Bytes is null, ID is 0 or the length is 0. A negative
// Length means Bytes is zero-terminated. Raises EStringFormat for an unknown id or input the
// format refuses.
void EncodeStringFormat(const void* Bytes, int64_t Length, int32_t ID, std::string& Text);
void EncodeStringFormat(std::string_view Bytes, int32_t ID, std::string& Text);
// Bytes := empty; then the same rules, decoding.
void DecodeStringFormat(const char* Text, int64_t Length, int32_t ID, std::string& Bytes);
void DecodeStringFormat(std::string_view Text, int32_t ID, std::string& Bytes);

// The class name after its first "_", or the whole name when it has none.
std::string_view StringFormatShortName(const TStringFormat& Class);

// BLOB values and their text: EncodeStringFormat with the MIME base 64 id, and decoding of a
// hexadecimal or MIME base 64 text into a new block of the engine memory manager holding the
// bytes (its size is TTolvanMemoryManager::GetMemSize). The caller owns the block. A text that
// decodes to no bytes, the empty text included, gives nullptr.
void BlobToMime64Text(const void* Bytes, int64_t Length, std::string& Text);
void* HexTextToBlob(std::string_view Text);
void* Mime64TextToBlob(std::string_view Text);

} // namespace tolvan
