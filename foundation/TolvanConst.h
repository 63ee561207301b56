// TolvanConst.h: the engine's constant tables: SQL keywords and tuning constants.
//
// SQLKeywords holds the reserved words of the SQL tokenizer; a keyword's id is its index. The
// table is not sorted (it keeps the order in which ids were assigned), so lookups scan it from
// id 0 and take the first equal entry. Only the first Release().KeywordCount entries are
// keywords of the active release.
//
// Threads: constant data, apart from TempPageCacheSize, which the memory unit sets once at
// start-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace tolvan {

inline constexpr int SQLKeywordTableSize = 292;
extern const std::string_view SQLKeywords[SQLKeywordTableSize];

// The keyword with the given id; an id outside the active release's table raises ERangeError.
std::string_view KeywordByIndex(int16_t Id);

// Tuning constants.
inline constexpr int32_t PageCacheMaxPages = 200;         // committed pages a page manager caches
inline constexpr int32_t MemoryPageSize = 4096;           // page size of the memory page store
inline constexpr int32_t TemporaryPageSize = 4096;        // page size of the temporary page store
inline constexpr int32_t DefaultMemoryTableAllocBy = 1000; // records per in-memory table growth
// The longest index key. Three leaf entries (key and 6-byte record id each) and the 18-byte
// B-tree page header fit in 4096 bytes (3 x 1359 + 18 = 4095); with room for only two, a split
// of three entries leaves a full right page and ascending keys would add a level per insert.
inline constexpr int32_t MaxIndexKeySize = 1353;
inline constexpr uint32_t RowHashSeed = 0xF37ADE3B;       // row hash of DISTINCT, parameter hash
inline constexpr uint32_t ValueHashSeed = 0xDE3C6A08;     // hash seed of a non-null value
inline constexpr uint32_t NullValueHash = 0x73B58EAF;     // hash of a null value
inline constexpr int32_t EmptyDateValue = INT32_MIN;      // stored date meaning "no date"
inline constexpr int32_t HashValueSize = 4;               // bytes of a stored hash / entry count
inline constexpr int32_t HashValueBits = 32;              // bits of a hash value
inline constexpr int32_t HashPointerSize = 4;             // bytes of a bucket's entry reference

// Pages a temporary page store keeps in memory before it spills: 1000 until the memory unit
// starts, then available physical memory / 10 / 4096.
inline std::atomic<int32_t> TempPageCacheSize{1000};

// The one-line strings of the tokenizer and the SQL export.
inline constexpr std::string_view LF = "\n";
inline constexpr std::string_view CR = "\r";
inline constexpr std::string_view CRLF = "\r\n";
inline constexpr std::string_view TAB = "\t";

} // namespace tolvan
