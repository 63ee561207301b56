// TolvanSQLParams.h: the values that ':name' parameters of an SQL text take.
//
// TTolvanSQLParam is a typed value with a name; its name hash (NameHash of the name) is kept
// beside the name and recomputed whenever the name is set. TTolvanSQLParams is an ordered list
// that owns its parameters. Names match without regard to case over Windows-1252: by hash
// first, then by text.
//
// Stream form of one parameter (little-endian):
//   offset  width  content                                   write / read code
//   0       4      name length n, signed                      11192 / 11190
//   4       n      name characters (absent when n is 0)       11193 / 11191
//   4 + n   var    the value's own stream form (TolvanVariant.h)
// A length that is negative or runs past the end of the stream is refused with 11190 before
// anything is allocated; a failed read leaves the parameter as it was.
//
// Hash() is what a prepared statement compares between executions: 0 for an empty list,
// otherwise UpdateCrc32 seeded with RowHashSeed over the parameters' value hashes, each as 4
// little-endian bytes, in list order.
//
// Threads: a list and its parameters belong to one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/Strings.h"
#include "foundation/TolvanVariant.h"

namespace tolvan {

class TTolvanSQLParam : public TTolvanVariant {
public:
  TTolvanSQLParam() = default;

  const AnsiString& Name() const noexcept { return FName; }
  void SetName(std::string_view Value);
  uint32_t NameHash() const noexcept { return FNameHash; }

  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;
  // The value as the parent copies it; from another parameter also its name and hash.
  void Assign(const TTolvanVariant& Source, bool Copy) override;

private:
  AnsiString FName;
  uint32_t FNameHash = 0;
};

class TTolvanSQLParams {
public:
  TTolvanSQLParams() = default;
  TTolvanSQLParams(const TTolvanSQLParams&) = delete;
  TTolvanSQLParams& operator=(const TTolvanSQLParams&) = delete;

  int32_t Count() const noexcept { return static_cast<int32_t>(FItems.size()); }
  // A bad index raises EListError "List index out of bounds (%d)".
  TTolvanSQLParam& Items(int32_t Index) const;
  // Appends a parameter holding a null of type 0 and returns it; the list owns it.
  TTolvanSQLParam& Add();
  void Clear() noexcept { FItems.clear(); }

  // The first parameter of that name ignoring case, or nil.
  TTolvanSQLParam* FindByName(std::string_view Name) const;
  // Position of the first parameter of that name ignoring case, or -1. Binding goes through
  // this rather than IndexOfNameHash: two names may share a hash.
  int32_t IndexOfName(std::string_view Name) const;
  // Position of the first parameter with that name hash, or -1.
  int32_t IndexOfNameHash(uint32_t Hash) const;

  uint32_t Hash() const;

private:
  std::vector<std::unique_ptr<TTolvanSQLParam>> FItems;
};

} // namespace tolvan
