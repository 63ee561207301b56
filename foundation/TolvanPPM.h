// TolvanPPM.h: the PPM coder, compression algorithm 3.
//
// PPMEncodeBuffer codes a whole buffer with a PPMII model (PPMd variant G) and its carryless
// range coder; PPMDecodeBuffer gives the bytes back. A coded buffer is self-describing:
//
//   offset  width  meaning
//   0       4      info word, little-endian: bits 0-3 model order - 1, bits 4-11 model memory
//                  in MiB - 1, bits 12-15 the variant (6), bits 16-31 zero
//   4       n      range-coded data: the bytes, an end symbol that matches no byte, then the
//                  coder's 4 flush bytes
//
// There is no length field: the end symbol ends the data, so the decoder needs no mode and only
// a capacity for its output.
//
// Memory: every call takes its own model arena of (model memory) MiB from the run-time heap and
// returns it before it returns. The arena is not cleared; the model reads only what it wrote.
// Neither call writes past the capacity its caller names, nor reads past its input.
//
// Threads: every call keeps its whole state (model, arena, coder) to itself, so any number of
// threads may code at once.
#pragma once

#include <cstdint>

namespace tolvan {

inline constexpr int PPMMinOrder = 2;
inline constexpr int PPMMaxOrder = 16;
inline constexpr int PPMMinMemoryMiB = 1;
inline constexpr int PPMMaxMemoryMiB = 100;

// The output capacity the compression layer gives the encoder for InSize input bytes.
inline constexpr int64_t PPMEncodeCapacity(int64_t InSize) { return InSize + InSize / 20 + 50; }

// Codes InSize bytes of InBuf into OutBuf, info word included, and returns the number of bytes
// written. Returns 0 when MaxOrder or MemoryMiB is out of range, when the model memory cannot be
// had, or when the coded form would not fit in OutCapacity bytes.
int32_t PPMEncodeBuffer(const void* InBuf, int32_t InSize, void* OutBuf, int MaxOrder,
                        int MemoryMiB, int32_t OutCapacity);

// Decodes a coded buffer of InSize bytes into OutBuf and returns the number of bytes produced.
// Returns 0 when the info word is not one this coder writes (another variant, order 1, more
// than PPMMaxMemoryMiB), when the model memory cannot be had, when the data would decode to
// more than OutCapacity bytes, or when the data is damaged (it does not end exactly where its
// end symbol and flush bytes say).
int32_t PPMDecodeBuffer(const void* InBuf, int32_t InSize, void* OutBuf, int32_t OutCapacity);

class TCompressionOutput;

// The same, into Out from its start: the block grows as the data needs (TCompressionOutput::Grow
// by Step) up to Limit bytes, so that a large expected size need not be allocated before the data
// shows it is real. Raises EOutOfMemory when a growth is refused.
int32_t PPMDecodeBuffer(const void* InBuf, int32_t InSize, TCompressionOutput& Out, int64_t Step,
                        int64_t Limit);

} // namespace tolvan
