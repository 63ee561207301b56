// TolvanMessages.h: the engine's message catalogue.
//
// Every error text the engine raises is a named constant here (SInvalidPointer, SIndexNotFound,
// ...), defined once in TolvanMessages.def. Texts are byte-exact, typos and trailing blanks
// included: users and tests match on them. Raise sites pass a constant and their own native
// code to ETolvanException. MessageCatalogue lists all entries in catalogue order.
//
// Threads: constant data.
#pragma once

#include <string_view>

namespace tolvan {

#define TOLVAN_MSG(Name, Text) inline constexpr std::string_view Name = Text;
#include "foundation/TolvanMessages.def"
#undef TOLVAN_MSG

struct TMessageEntry {
  const char* Name;
  std::string_view Text;
};

inline constexpr int MessageCatalogueCount = 0
#define TOLVAN_MSG(Name, Text) +1
#include "foundation/TolvanMessages.def"
#undef TOLVAN_MSG
    ;

extern const TMessageEntry MessageCatalogue[MessageCatalogueCount];

// Texts of failures the engine reports beyond the catalogue above.
inline constexpr std::string_view SLockUpgradeDeadlock =
    "Lock upgrade refused: another reading thread is already waiting to write (owner %s)";
inline constexpr std::string_view SInvalidKeyShift =
    "Error setting Key, invalid KeyShift = %d. KeyShift should be >= 0 and <= %d";
inline constexpr std::string_view SInvalidSetBitCount = "Invalid set bit count = %d, counted = %d";
inline constexpr std::string_view SPageNotAllocated =
    "Page %d is not allocated or was already released";
inline constexpr std::string_view SCannotRollBackChangedPages =
    "Cannot roll back pages changed in place";
inline constexpr std::string_view SInvalidPageStoreField = "Invalid page store field %s = %d";
inline constexpr std::string_view SCursorHasNoRecordBuffer = "The cursor has no record buffer";
inline constexpr std::string_view SIndexKeyTooLarge =
    "Index '%s' key size %d exceeds the maximum of %d bytes";
inline constexpr std::string_view SIndexFieldWithoutOrder =
    "Index '%s' cannot include field '%s' of type %s";
// Record stores read from a stream.
inline constexpr std::string_view SInvalidRecordStoreField = "Invalid record store field %s = %d";
// Table streams read from a stream.
inline constexpr std::string_view SInvalidTableStreamField = "Invalid table stream field %s = %d";
// Local sessions and cursors.
inline constexpr std::string_view SDatabaseNotFound = "Database '%s' not found";
inline constexpr std::string_view SCursorSessionNotConnected =
    "Cannot open table '%s'. The session is not connected to a database";
inline constexpr std::string_view SCursorNotOpen = "Table '%s' is not open";

} // namespace tolvan
