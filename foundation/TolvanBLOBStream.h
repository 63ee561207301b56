// TolvanBLOBStream.h: one BLOB value presented as a stream over a host stream.
//
// TTolvanCompressedBLOBStream reads and writes a value whose bytes live in a host stream that the
// caller owns and keeps alive for the stream's life (the temporary engine gives every BLOB a
// temporary stream of its own). A TTolvanBLOBDescriptor, kept by the caller with the record,
// says where the value starts and how it is stored; the stream works on a copy and keeps it
// current, and the caller stores Descriptor() back after a change.
//
// Two ways of storing a value:
//   - plain (algorithm 0): the bytes lie unchanged in the host from StartOffset on;
//   - compressed (algorithms 1-3): the value is cut into blocks of BlockSize uncompressed bytes,
//     each compressed by itself and stored behind a 20-byte block header, one after another from
//     StartOffset with no gaps. Every block but the last holds exactly BlockSize bytes, the last
//     1 to BlockSize, so the block holding position p is p div BlockSize.
//
// Block header in the host, packed little-endian:
//
//   offset  width  field
//   0       4      CompressedSize    signed; bytes of compressed data that follow the header
//   4       4      UncompressedSize  signed; bytes the block holds once decompressed
//   8       4      Crc32             UpdateCrc32 from 0 over the uncompressed bytes
//   12      8      Span              signed; 20 + CompressedSize, the distance to the next header
//
// Reading goes anywhere. A compressed value is written append-only: a write before the end
// writes nothing, a write past the end first fills the gap with zeros, and only the last partial
// block is ever recompressed. SetSize grows with zeros or truncates; the host is cut behind the
// value's last byte (plain) or last block (compressed), so bytes of dropped blocks never stay in
// the stored value. A plain value may also be overwritten in place.
//
// Block headers read from the host are checked before use (sizes within the host, spans that
// chain, block sizes that fit the layout); a damaged one raises 10082 when the stream is opened.
// A block whose data fails to decompress or to match its CRC raises on the read that needs it
// (10087 / 10088 / 10089) and leaves the stream usable: other blocks still read.
//
// The stream keeps the last block it decompressed, so reads in small pieces decompress each block
// once. It assumes that nothing else changes the host while it is open.
//
// Threads: the stream takes no lock of its own and must not be used from two threads at once;
// callers that share it bracket its use with Lock / Unlock. The host is used under the same rule.
#pragma once

#include <cstdint>
#include <memory>

#include "classlib/Classes.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanStreams.h"
#include "foundation/TolvanTypes.h"

namespace tolvan {

// Native codes of the compressed BLOB stream.
inline constexpr int32_t ErrBLOBLoadHeadersPosition = 10080;
inline constexpr int32_t ErrBLOBPlainHostTooSmall = 10081;
inline constexpr int32_t ErrBLOBDamaged = 10082; // host too short, or a damaged header
inline constexpr int32_t ErrBLOBLoadHeadersSeek = 10083;
inline constexpr int32_t ErrBLOBCompress = 10085;
inline constexpr int32_t ErrBLOBReadBlock = 10086;
inline constexpr int32_t ErrBLOBDecompress = 10087;
inline constexpr int32_t ErrBLOBDecompressSize = 10088;
inline constexpr int32_t ErrBLOBChecksum = 10089;
inline constexpr int32_t ErrBLOBReadSize = 10090;
inline constexpr int32_t ErrBLOBExtendPosition = 10091;
inline constexpr int32_t ErrBLOBExtendSize = 10092;
inline constexpr int32_t ErrBLOBTruncateHostSize = 10093;
inline constexpr int32_t ErrBLOBTruncatePosition = 10094;
inline constexpr int32_t ErrBLOBTruncateHeader = 10095;
inline constexpr int32_t ErrBLOBTruncateData = 10096;
inline constexpr int32_t ErrBLOBExtendWrite = 10097;
inline constexpr int32_t ErrBLOBExtensionSize = 10098;
inline constexpr int32_t ErrBLOBWriteBlockPosition = 10099;
inline constexpr int32_t ErrBLOBWriteHeader = 10100;
inline constexpr int32_t ErrBLOBWriteData = 10101;
inline constexpr int32_t ErrBLOBAppendPosition = 10102;
inline constexpr int32_t ErrBLOBStartPosition = 10103;

inline constexpr int32_t BLOBDescriptorSize = 32;
inline constexpr int32_t BLOBBlockHeaderSize = 20;

// Where and how one BLOB value is stored. Its stored form, packed little-endian:
//
//   offset  width  field
//   0       4      BlockSize         signed; uncompressed bytes per block (0 in a new descriptor:
//                                    the stream chooses by Mode)
//   4       8      BlockCount        signed; number of compressed blocks
//   12      8      UncompressedSize  signed; the value's length
//   20      8      StartOffset       signed; host offset of the first byte (plain) or of the
//                                    first block header (compressed)
//   28      1      Algorithm         TTolvanCompressionAlgorithm
//   29      1      Mode              compression mode 0-9
//   30      2      spare             written as zero
struct TTolvanBLOBDescriptor {
  int32_t BlockSize = 0;
  int64_t BlockCount = 0;
  int64_t UncompressedSize = 0;
  int64_t StartOffset = 0;
  TTolvanCompressionAlgorithm Algorithm = caNone;
  uint8_t Mode = 0;

  // From / to the 32-byte stored form.
  static TTolvanBLOBDescriptor Load(const void* Source) noexcept;
  void Store(void* Dest) const noexcept;

  friend bool operator==(const TTolvanBLOBDescriptor&, const TTolvanBLOBDescriptor&) = default;
};

// The block size a new compressed value gets when its descriptor says 0: 102400 for mode 0,
// 524288 for 1-3, 1048576 for 4-6, 1572864 for 7 and above.
int32_t DefaultBLOBBlockSize(uint8_t Mode) noexcept;

class TTolvanCompressedBLOBStream : public TTolvanStream {
public:
  // One block's header (the stored form is in the header comment).
  using TBlockHeader = TTolvanCompressedBlockHeader;

  // Opens the value Descriptor describes in Host (IsNew: a new, empty value). The host is
  // borrowed. Failures:
  //   10103  StartOffset negative or past the host's end;
  //   10081  a plain value longer than the host holds (unless AllowShort: the value is then
  //          what the host holds);
  //   10082  a compressed value whose headers run past the host (unless AllowShort: the value
  //          keeps the whole blocks before) or are damaged, or an existing compressed value
  //          with a block size or block count that cannot be;
  //   10083  a block header's span leads to a position the host refuses.
  TTolvanCompressedBLOBStream(TStream& Host, bool AllowShort, bool IsNew,
                              const TTolvanBLOBDescriptor& Descriptor);
  ~TTolvanCompressedBLOBStream() override;

  int64_t GetSize() override { return FUncompressedSize; }
  // Grows with zeros or truncates; a negative size counts as 0. The position stays unless it
  // lay beyond the new end.
  void SetSize(int64_t NewSize) override;
  // Reads up to Count bytes from Position. A damaged block raises; Position has then advanced
  // over the blocks delivered before it.
  int64_t Read(void* Buffer, int64_t Count) override;
  // Compressed: appends at the end (0 when Position is before the end), after zero-filling a gap;
  // returns Count or raises. Plain: writes at Position, zero-filling a gap; returns what the
  // host took.
  int64_t Write(const void* Buffer, int64_t Count) override;
  // Any position from 0 up; a target below 0 gives 0. An offset that overflows is refused: the
  // result is -1 and the position stays. An unknown origin keeps the position.
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;

  int64_t GetHostSize() { return FHost.Size(); }
  TStream& Host() const { return FHost; }
  // The descriptor as the value now stands; the caller stores it with the record.
  const TTolvanBLOBDescriptor& Descriptor() const { return FDescriptor; }
  TTolvanCompressionAlgorithm Algorithm() const { return FAlgorithm; }
  uint8_t Mode() const { return FMode; }
  int64_t UncompressedSize() const { return FUncompressedSize; }
  int64_t CurrentBlock() const { return FCurrentBlock; }
  bool Compressed() const { return FAlgorithm != caNone; }

  // The block index of a compressed value: block I's header and the host offset of that header.
  int64_t HeaderCount() const { return FBlocks.Count(); }
  const TBlockHeader& BlockHeader(int64_t I) const { return FBlocks.Headers()[I]; }
  int64_t BlockPosition(int64_t I) const { return FBlocks.Positions()[I]; }

  std::string_view ClassName() const override { return "TTolvanCompressedBLOBStream"; }

  // The stored form of a block header.
  static TBlockHeader LoadBlockHeader(const void* Source) noexcept;
  static void StoreBlockHeader(const TBlockHeader& Header, void* Dest) noexcept;

private:
  // A block compressed by CompressBlock: its header and the output, which the run-time heap
  // owns (freed by the destructor).
  struct TCompressedBlock;

  void InitCompressed(bool IsNew);
  void LoadBlockHeaders();
  void CheckBlockHeader(const TBlockHeader& Header, int64_t Index) const;

  int64_t EndOfBlocks() const; // host offset behind the last block

  // Makes block I's bytes the cached block; returns them (FCacheSize of them).
  uint8_t* DecompressBlock(int64_t I);
  void ReserveCache(int64_t Size);
  void CompressBlock(const uint8_t* Data, int32_t Size, TCompressedBlock& Out) const;
  // Compresses Size bytes and writes them as block I with its header at host offset Position;
  // I is an existing block or the next one.
  void WriteBlock(int64_t I, int64_t Position, const uint8_t* Data, int32_t Size);
  // Cuts the host at End when it is longer.
  void CutHost(int64_t End, int32_t ErrorCode);

  int64_t ReadPlain(void* Buffer, int64_t Count);
  int64_t WritePlain(const void* Buffer, int64_t Count);
  int64_t WriteCompressed(const uint8_t* Buffer, int64_t Count);
  void ExtendTo();
  void ExtendWithZeros(int64_t NewSize);
  void Truncate(int64_t NewSize);
  void SyncDescriptor();

  TStream& FHost;
  TTolvanBLOBDescriptor FDescriptor;
  TTolvanCompressionAlgorithm FAlgorithm;
  uint8_t FMode;
  bool FAllowShort;
  int64_t FBlockBytes = 0; // the value's block size (the inherited BlockSize may be changed)
  int64_t FUncompressedSize = 0;
  int64_t FPosition = 0;
  int64_t FCurrentBlock = 0;

  template <class T> using TEngineBlock = std::unique_ptr<T, TTolvanMemDeleter>;

  TTolvanCompressedStreamBlockHeadersArray FBlocks;

  // Working buffers from engine memory, kept for the stream's life.
  TEngineBlock<uint8_t> FCache; // the bytes of block FCacheBlock (-1: none)
  int64_t FCacheBlock = -1;
  int64_t FCacheSize = 0;
  int64_t FCacheCapacity = 0;
  TEngineBlock<uint8_t> FInput; // compressed bytes read from the host
  int64_t FInputCapacity = 0;
};

} // namespace tolvan
