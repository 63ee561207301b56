// DBConsts.h: the dataset framework's message texts, and DatabaseError, which raises them.
//
// Threads: constants and a pure function.
#pragma once

#include <string_view>

#include "classlib/DB.h"

namespace tolvan {

class TComponent;

namespace DBConsts {
inline constexpr std::string_view SParameterNotFound = "Parameter '%s' not found";
inline constexpr std::string_view SFieldNotFound = "Field '%s' not found";
inline constexpr std::string_view SIndexNotFound = "Index '%s' not found";
inline constexpr std::string_view SNoIndexForFields = "No index for fields '%s'";
inline constexpr std::string_view SCircularDataLink = "Circular datalinks are not allowed";
inline constexpr std::string_view SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr std::string_view SDataSetClosed =
    "Cannot perform this operation on a closed dataset";
inline constexpr std::string_view SNotEditing = "Dataset not in edit or insert mode";
inline constexpr std::string_view SDataSetMissing = "Field '%s' has no dataset";
inline constexpr std::string_view SUnknownFieldType = "Field '%s' is of an unknown type";
inline constexpr std::string_view SInvalidFieldSize = "Invalid field size";
inline constexpr std::string_view SInvalidCalcType =
    "Field '%s' cannot be a calculated or lookup field";
inline constexpr std::string_view SFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr std::string_view SFieldValueError = "'%s' is not a valid value for field '%s'";
inline constexpr std::string_view SFieldRangeError =
    "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr std::string_view SFieldTooLong = "%d bytes do not fit field '%s' of %d bytes";
inline constexpr std::string_view SNoBlobStream = "Field '%s' has no BLOB stream";
inline constexpr std::string_view SBlobTooLarge =
    "Field '%s': a BLOB value of %d bytes is too large";
} // namespace DBConsts

// Raises EDatabaseError with Message, preceded by "<Name>: " when Component has a name.
[[noreturn]] void DatabaseError(std::string_view Message, const TComponent* Component = nullptr);

} // namespace tolvan
