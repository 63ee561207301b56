// TolvanPPM.cpp: the PPMII model (variant G), its sub-allocator and its carryless range coder.
//
// The model lives in one arena. Every reference stored inside the arena is a 32-bit offset from
// the arena's base, and the arena keeps 12 spare bytes in front of its first unit so that offset
// 0 can mean "none" while logical position 0 stays allocatable. Those 12 bytes are zero, so a
// record read through "none" reads as an empty record.
//
// Records (little-endian, at any alignment):
//
//   symbol state, 6 bytes (two per 12-byte unit)
//   0  1  symbol
//   1  1  frequency
//   2  4  successor: a context record, or none
//
//   context record, 12 bytes (one unit)
//   0  2  number of symbols: >= 2 ordinary, 1 binary, 0 pending (a placeholder successor)
//   2  2  frequency total (symbol frequencies plus the escape weight)
//   4  4  the state array (ordinary contexts)
//   8  4  the suffix context; none only for the root
//   A binary context keeps its one state inline at bytes 2-7, over the total and the array.
//
// The position at which the model runs out of memory decides when it restarts, and so the coded
// bytes; the sub-allocator therefore hands out blocks exactly as the format requires, with size
// classes, LIFO free lists and a reserve released once per model start.
#include "foundation/TolvanPPM.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "foundation/TolvanCompressionBuffer.h"

namespace tolvan {
namespace {

constexpr uint32_t UnitSize = 12;
constexpr int NumClasses = 38;
constexpr uint32_t MaxFreq = 124;
constexpr uint32_t IntervalBits = 7;
constexpr uint32_t BinTotalBits = 14;
constexpr uint32_t BinTotal = 1u << BinTotalBits;
constexpr uint32_t RangeTop = 1u << 24;
constexpr uint32_t RangeBottom = 1u << 15;
constexpr uint32_t ArenaBias = UnitSize; // spare bytes in front: offset 0 means "none"
constexpr uint32_t ReserveBlocks = 128;
constexpr uint32_t ReserveBlockUnits = 128;
constexpr uint32_t ReserveBytes = ReserveBlocks * ReserveBlockUnits * UnitSize;
constexpr uint32_t InfoVariant = 6;

struct TTables {
  uint8_t Indx2Units[NumClasses];
  uint8_t Units2Indx[128]; // by units - 1
  uint8_t NS2Indx[256];    // by unmasked symbols - 1
  uint8_t NS2BSIndx[256];  // by symbols of the suffix - 1
};

constexpr TTables MakeTables() {
  TTables T{};
  int k = 0;
  for (int u = 1; u <= 4; ++u)
    T.Indx2Units[k++] = uint8_t(u);
  for (int u = 6; u <= 12; u += 2)
    T.Indx2Units[k++] = uint8_t(u);
  for (int u = 15; u <= 24; u += 3)
    T.Indx2Units[k++] = uint8_t(u);
  for (int u = 28; u <= 128; u += 4)
    T.Indx2Units[k++] = uint8_t(u);
  for (int n = 1, c = 0; n <= 128; ++n) {
    if (T.Indx2Units[c] < n)
      ++c;
    T.Units2Indx[n - 1] = uint8_t(c);
  }
  for (int i = 0; i < 256; ++i) {
    T.NS2Indx[i] = uint8_t(i < 4    ? i
                           : i < 12 ? 4 + (i - 4) / 2
                           : i < 44 ? 8 + (i - 12) / 4
                                    : 16 + (i - 44) / 8);
    T.NS2BSIndx[i] = uint8_t(i < 6 ? 2 * i : i < 50 ? 12 : 14);
  }
  return T;
}

constexpr TTables Tables = MakeTables();
static_assert(Tables.Indx2Units[NumClasses - 1] == 128);

constexpr uint16_t InitBinEsc[16] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x5FFB, 0x5545,
                                     0x63D1, 0x5D9D, 0x64A1, 0x5ABC, 0x6632, 0x6051,
                                     0x68F6, 0x549B, 0x6BCA, 0x3AB0};
constexpr uint8_t ExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};

inline uint32_t ClassOf(uint32_t Units) { return Tables.Units2Indx[Units - 1]; }
inline uint32_t ClassBytes(uint32_t Class) { return Tables.Indx2Units[Class] * UnitSize; }

inline uint16_t Ld16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void St16(uint8_t* p, uint32_t v) {
  uint16_t w = uint16_t(v);
  std::memcpy(p, &w, 2);
}
inline uint32_t Ld32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void St32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// Context record fields.
inline uint32_t NumStats(const uint8_t* c) { return Ld16(c); }
inline void SetNumStats(uint8_t* c, uint32_t v) { St16(c, v); }
inline uint32_t SummFreq(const uint8_t* c) { return Ld16(c + 2); }
inline void SetSummFreq(uint8_t* c, uint32_t v) { St16(c + 2, v); }
inline uint8_t* OneState(uint8_t* c) { return c + 2; }

// Symbol state fields: byte 0 symbol, byte 1 frequency.
constexpr uint32_t StateSize = 6;
inline uint32_t Successor(const uint8_t* s) { return Ld32(s + 2); }
inline void SetSuccessor(uint8_t* s, uint32_t r) { St32(s + 2, r); }
inline void SwapStates(uint8_t* a, uint8_t* b) {
  uint8_t t[StateSize];
  std::memcpy(t, a, StateSize);
  std::memcpy(a, b, StateSize);
  std::memcpy(b, t, StateSize);
}

// Thrown inside a call when the coded form does not fit, the input is damaged, or the model is
// found inconsistent; the call then returns 0.
struct TCodeFailure {};

// Secondary escape estimation cell.
struct TSee {
  uint16_t Summ;
  uint8_t Shift;
  uint8_t Count;
};

class TPPMModel {
public:
  TPPMModel(int MaxOrder, int MemoryMiB) : FMaxOrder(MaxOrder) {
    const uint32_t Size = uint32_t(MemoryMiB) << 20;
    const uint32_t End = Size / UnitSize * UnitSize;
    // Not zero-filled: the model reads only what it has written since its last start.
    FBase = static_cast<uint8_t*>(std::malloc(ArenaBias + End));
    if (FBase)
      std::memset(FBase, 0, ArenaBias);
    FEnd = ArenaBias + End;
  }
  ~TPPMModel() { std::free(FBase); }
  TPPMModel(const TPPMModel&) = delete;
  TPPMModel& operator=(const TPPMModel&) = delete;

  bool Allocated() const { return FBase != nullptr; }

protected:
  uint8_t* At(uint32_t Ref) const { return FBase + Ref; }
  uint32_t RefOf(const uint8_t* p) const { return uint32_t(p - FBase); }
  uint8_t* Stats(const uint8_t* c) const { return At(Ld32(c + 4)); }
  void SetStats(uint8_t* c, const uint8_t* s) { St32(c + 4, RefOf(s)); }
  uint8_t* Suffix(const uint8_t* c) const { return At(Ld32(c + 8)); }
  static bool HasSuffix(const uint8_t* c) { return Ld32(c + 8) != 0; }
  void SetSuffix(uint8_t* c, const uint8_t* s) { St32(c + 8, RefOf(s)); }

  // The state of Sym in ordinary context c; the model guarantees it is there.
  static uint8_t* FindState(uint8_t* Stats, uint32_t NS, uint32_t Sym) {
    for (uint8_t* p = Stats; NS; --NS, p += StateSize)
      if (p[0] == Sym)
        return p;
    throw TCodeFailure();
  }

  // ---- sub-allocator

  void PushFree(uint8_t* Block, uint32_t Class) {
    St32(Block, FFreeList[Class]);
    FFreeList[Class] = RefOf(Block);
  }
  uint8_t* PopFree(uint32_t Class) {
    uint8_t* Block = At(FFreeList[Class]);
    FFreeList[Class] = Ld32(Block);
    return Block;
  }

  // Returns the tail of a block of class From that a block of class To does not use to the
  // free lists, as at most two blocks.
  void SplitBlock(uint8_t* Block, uint32_t From, uint32_t To) {
    uint32_t Diff = Tables.Indx2Units[From] - Tables.Indx2Units[To];
    uint8_t* p = Block + Tables.Indx2Units[To] * UnitSize;
    uint32_t c = ClassOf(Diff);
    if (Tables.Indx2Units[c] != Diff) {
      PushFree(p, c - 1);
      p += ClassBytes(c - 1);
      Diff -= Tables.Indx2Units[c - 1];
    }
    PushFree(p, ClassOf(Diff));
  }

  uint8_t* AllocUnits(uint32_t Units) {
    const uint32_t Class = ClassOf(Units);
    if (FFreeList[Class])
      return PopFree(Class);
    const uint32_t Bytes = ClassBytes(Class);
    if (FHiUnit - FLoUnit >= Bytes) {
      uint8_t* Block = At(FLoUnit);
      FLoUnit += Bytes;
      return Block;
    }
    if (FReserveHeld) {
      for (uint32_t i = 0; i < ReserveBlocks; ++i)
        PushFree(At(ArenaBias + i * ReserveBlockUnits * UnitSize), NumClasses - 1);
      FReserveHeld = false;
    }
    // The requested class itself is deliberately not searched again here: the format fixes
    // the moment of exhaustion this way.
    for (uint32_t c = Class + 1; c < NumClasses; ++c)
      if (FFreeList[c]) {
        uint8_t* Block = PopFree(c);
        SplitBlock(Block, c, Class);
        return Block;
      }
    return nullptr;
  }

  // Context records come from the top of the gap while it is open.
  uint8_t* AllocContext() {
    if (FHiUnit != FLoUnit) {
      FHiUnit -= UnitSize;
      return At(FHiUnit);
    }
    return AllocUnits(1);
  }

  // Makes room for one more state in an array of 2 x Units states; nullptr when memory is out.
  uint8_t* ExpandUnits(uint8_t* Old, uint32_t Units) {
    const uint32_t C0 = ClassOf(Units);
    if (C0 == ClassOf(Units + 1))
      return Old;
    uint8_t* New = AllocUnits(Units + 1);
    if (New) {
      std::memcpy(New, Old, Units * UnitSize);
      PushFree(Old, C0);
    }
    return New;
  }

  uint8_t* ShrinkUnits(uint8_t* Old, uint32_t OldUnits, uint32_t NewUnits) {
    const uint32_t C0 = ClassOf(OldUnits), C1 = ClassOf(NewUnits);
    if (C0 == C1)
      return Old;
    if (FFreeList[C1]) {
      uint8_t* New = PopFree(C1);
      std::memcpy(New, Old, NewUnits * UnitSize);
      PushFree(Old, C0);
      return New;
    }
    SplitBlock(Old, C0, C1);
    return Old;
  }

  // ---- model start

  void StartModel() {
    std::memset(FFreeList, 0, sizeof(FFreeList));
    FReserveHeld = true;
    FLoUnit = ArenaBias + ReserveBytes;
    FHiUnit = FEnd;

    uint8_t* Root = AllocContext();
    St32(Root + 8, 0);
    SetNumStats(Root, 256);
    SetSummFreq(Root, 257);
    uint8_t* RootStats = AllocUnits(128);
    SetStats(Root, RootStats);
    for (uint32_t i = 0; i < 256; ++i) {
      uint8_t* s = RootStats + i * StateSize;
      s[0] = uint8_t(i);
      s[1] = 1;
      SetSuccessor(s, 0);
    }
    FPrevSuccess = 0;

    // A history of zero bytes: one context per order, the last a pending one.
    uint8_t* State = RootStats;
    uint8_t* Ctx = Root;
    uint8_t* C = Root;
    for (int i = 1; i <= FMaxOrder; ++i) {
      C = AllocContext();
      SetNumStats(C, 1);
      SetSuffix(C, Ctx);
      SetSuccessor(State, RefOf(C));
      if (i < FMaxOrder) {
        State = OneState(C);
        State[0] = 0;
        State[1] = 1;
        Ctx = C;
      }
    }
    SetNumStats(C, 0);
    FMaxCtx = C;
    FMinCtx = FMedCtx = Suffix(C);
    FOrderFall = 1;

    for (uint32_t i = 0; i < 128; ++i)
      for (uint32_t k = 0; k < 16; ++k)
        FBinSumm[i][k] = uint16_t(BinTotal - InitBinEsc[k] / (i + 2));
    for (uint32_t i = 0; i < 43; ++i)
      for (uint32_t k = 0; k < 8; ++k)
        FSee[i][k] = TSee{uint16_t((4 * i + 10) << 3), 3, 3};
    for (uint32_t k = 0; k < 8; ++k)
      FSee[43][k] = TSee{0, 7, 0}; // the fixed cell of 256-symbol contexts never adapts
    ClearMask();
  }

  void ClearMask() {
    std::memset(FCharMask, 0, sizeof(FCharMask));
    FEscCount = 1;
  }

  // ---- coding steps shared by both directions

  uint16_t& BinProb(const uint8_t* s) {
    const uint32_t SuffixNS = NumStats(Suffix(FMinCtx));
    return FBinSumm[(s[1] - 1) & 127][FPrevSuccess + Tables.NS2BSIndx[(SuffixNS - 1) & 255]];
  }

  void BinHit(uint8_t* s, uint16_t& b) {
    if (s[1] < 128)
      ++s[1];
    b = uint16_t(b + (1u << IntervalBits) - ((b + 32u) >> IntervalBits));
    FPrevSuccess = 1;
    FFound = s;
  }

  void BinEscape(const uint8_t* s, uint16_t& b) {
    b = uint16_t(b - ((b + 32u) >> IntervalBits));
    FInitEsc = ExpEscape[b >> 10];
    FNumMasked = 1;
    FCharMask[s[0]] = FEscCount;
    FPrevSuccess = 0;
    FFound = nullptr;
  }

  // First attempt found the first state.
  void Update1First(uint8_t* p) {
    p[1] = uint8_t(p[1] + 4);
    SetSummFreq(FMinCtx, SummFreq(FMinCtx) + 4);
    FFound = p;
    if (p[1] > MaxFreq)
      Rescale();
  }

  // First attempt found a later state: it may move one place forward.
  void Update1(uint8_t* p) {
    p[1] = uint8_t(p[1] + 4);
    SetSummFreq(FMinCtx, SummFreq(FMinCtx) + 4);
    FFound = p;
    if (p[1] > p[1 - int(StateSize)]) {
      SwapStates(p, p - StateSize);
      FFound = p - StateSize;
      if (FFound[1] > MaxFreq)
        Rescale();
    }
  }

  void MaskAll(const uint8_t* Stats, uint32_t NS) {
    for (; NS; --NS, Stats += StateSize)
      FCharMask[Stats[0]] = FEscCount;
  }

  // Escape weight of a masked context, and the cell that learns from the outcome.
  uint32_t SeeEscape(const uint8_t* Ctx, uint32_t NS, uint32_t Diff, TSee*& See) {
    if (NS == 256) {
      See = &FSee[43][0];
      return 1;
    }
    if (Diff - 1 > 255)
      throw TCodeFailure();
    const int SuffixNS = int(NumStats(Suffix(Ctx)));
    const uint32_t Col = uint32_t(int(Diff) < SuffixNS - int(NS)) +
                         2 * uint32_t(SummFreq(Ctx) < 11 * NS) + 4 * uint32_t(FNumMasked > Diff);
    See = &FSee[Tables.NS2Indx[Diff - 1]][Col];
    uint32_t r = See->Summ >> See->Shift;
    See->Summ = uint16_t(See->Summ - r);
    r &= 1023;
    return r ? r : 1;
  }

  static void SeeHit(TSee* See) {
    if (See->Shift < 7 && --See->Count == 0) {
      See->Summ = uint16_t(See->Summ * 2);
      See->Count = uint8_t(3 << See->Shift);
      ++See->Shift;
    }
  }

  void Update2(uint8_t* p) {
    p[1] = uint8_t(p[1] + 4);
    SetSummFreq(FMinCtx, SummFreq(FMinCtx) + 4);
    FFound = p;
    if (p[1] > MaxFreq)
      Rescale();
    ++FEscCount;
  }

  void MaskedEscape(TSee* See, uint32_t Total, uint32_t NS) {
    See->Summ = uint16_t(See->Summ + Total);
    FNumMasked = NS;
    FFound = nullptr;
  }

  // Moves to the next context that has unmasked symbols; false past the root.
  bool NextContext() {
    do {
      ++FOrderFall;
      if (!HasSuffix(FMinCtx))
        return false;
      FMinCtx = Suffix(FMinCtx);
    } while (NumStats(FMinCtx) == FNumMasked);
    return true;
  }

  // After a symbol was coded: the fast path at the maximal order, or the full update.
  void ModelStep() {
    uint8_t* Succ = At(Successor(FFound));
    if (FOrderFall == 0 && NumStats(Succ) != 0) {
      FMinCtx = FMedCtx = Succ;
      return;
    }
    if (!UpdateModel())
      StartModel(); // memory is used up: start afresh in the same arena
    else if (FEscCount == 0)
      ClearMask();
  }

  // ---- frequency rescaling

  void Rescale() {
    uint8_t* Ctx = FMinCtx;
    const uint32_t OldNS = NumStats(Ctx);
    uint32_t NS = OldNS;
    uint8_t* S = Stats(Ctx);
    for (uint8_t* p = FFound; p != S; p -= StateSize)
      SwapStates(p, p - StateSize);
    S[1] = uint8_t(S[1] + 4);
    uint32_t Sf = uint16_t(SummFreq(Ctx) + 4);
    int EscFreq = int(Sf) - int(S[1]);
    const uint32_t Adder = FOrderFall != 0;
    S[1] = uint8_t((S[1] + Adder) >> 1);
    Sf = S[1];
    for (uint32_t j = 1; j < NS; ++j) {
      uint8_t* p = S + j * StateSize;
      EscFreq -= p[1];
      p[1] = uint8_t((p[1] + Adder) >> 1);
      Sf += p[1];
      if (p[1] > p[1 - int(StateSize)]) {
        uint8_t Tmp[StateSize];
        std::memcpy(Tmp, p, StateSize);
        uint8_t* q = p;
        do {
          std::memcpy(q, q - StateSize, StateSize);
          q -= StateSize;
        } while (q != S && Tmp[1] > q[1 - int(StateSize)]);
        std::memcpy(q, Tmp, StateSize);
      }
    }
    if (S[(NS - 1) * StateSize + 1] == 0) {
      uint32_t Zeros = 0;
      while (Zeros < NS - 1 && S[(NS - 1 - Zeros) * StateSize + 1] == 0)
        ++Zeros;
      EscFreq += int(Zeros);
      NS -= Zeros;
      SetNumStats(Ctx, NS);
      if (NS == 1) {
        uint8_t T[StateSize];
        std::memcpy(T, S, StateSize);
        do {
          T[1] = uint8_t(T[1] - (T[1] >> 1));
          EscFreq >>= 1;
        } while (EscFreq > 1);
        PushFree(S, ClassOf((OldNS + 1) / 2));
        std::memcpy(OneState(Ctx), T, StateSize);
        FFound = OneState(Ctx);
        return;
      }
    }
    EscFreq -= EscFreq >> 1;
    SetSummFreq(Ctx, Sf + uint32_t(EscFreq));
    const uint32_t U0 = (OldNS + 1) / 2, U1 = (NS + 1) / 2;
    if (U0 != U1) {
      S = ShrinkUnits(S, U0, U1);
      SetStats(Ctx, S);
    }
    FFound = S;
  }

  // ---- model update

  // Builds the missing contexts along the suffix chain for the pending successor of FFound.
  bool CreateSuccessors(int Skip, uint8_t* P1) {
    uint8_t* Stack[PPMMaxOrder + 1];
    int Depth = 0;
    const uint32_t Pending = Successor(FFound);
    const uint32_t Sym = FFound[0];
    uint8_t* C = FMinCtx;
    uint8_t* T = nullptr;
    bool Walk = true;
    if (Skip == 0) {
      Stack[Depth++] = FFound;
      if (!HasSuffix(C))
        Walk = false;
    } else if (Skip == 2) {
      C = Suffix(C);
    }
    if (Walk) {
      bool Have = false;
      if (P1) {
        T = P1;
        C = Suffix(C);
        Have = true;
      }
      for (;;) {
        if (!Have) {
          C = Suffix(C);
          T = NumStats(C) == 1 ? OneState(C) : FindState(Stats(C), NumStats(C), Sym);
        }
        Have = false;
        if (Successor(T) != Pending) {
          C = At(Successor(T));
          break;
        }
        if (Depth > PPMMaxOrder)
          throw TCodeFailure();
        Stack[Depth++] = T;
        if (!HasSuffix(C))
          break;
      }
    }

    uint8_t* U = At(Pending);
    const uint8_t USym = U[2];
    const uint32_t USucc = Ld32(U + 4);
    uint8_t UFreq;
    if (NumStats(C) != 1) {
      const uint8_t* t = FindState(Stats(C), NumStats(C), USym);
      const uint32_t Cf = t[1] - 1u;
      const uint32_t S0 = SummFreq(C) - NumStats(C) - Cf;
      uint32_t F;
      if (2 * Cf <= S0) {
        F = 5 * Cf > S0;
      } else {
        if (S0 == 0)
          throw TCodeFailure();
        F = (2 * Cf + 3 * S0 - 1) / (2 * S0);
      }
      UFreq = uint8_t(1 + F);
    } else {
      UFreq = C[3];
    }
    U[3] = UFreq;

    while (Depth) {
      T = Stack[--Depth];
      uint8_t* N = AllocContext();
      if (!N)
        return false;
      SetNumStats(N, 1);
      SetSuffix(N, C);
      SetSuccessor(T, RefOf(N));
      N[2] = USym;
      N[3] = UFreq;
      St32(N + 4, USucc);
      C = N;
    }
    if (FOrderFall == 0) {
      SetNumStats(U, 1);
      SetSuffix(U, C);
    }
    return true;
  }

  // Adds the coded symbol to the contexts that escaped and moves to the next context. False
  // when the memory is used up; the caller then restarts the model.
  bool UpdateModel() {
    const uint32_t FsSym = FFound[0];
    const uint32_t FsFreq = FFound[1];
    const uint32_t FsSucc = Successor(FFound);
    uint8_t* P1 = nullptr;
    int Skip = 0;

    if (FsFreq < 31 && HasSuffix(FMinCtx)) {
      uint8_t* C = Suffix(FMinCtx);
      uint8_t* t;
      if (NumStats(C) != 1) {
        uint8_t* S = Stats(C);
        t = FindState(S, NumStats(C), FsSym);
        if (t != S && t[1] >= t[1 - int(StateSize)]) {
          SwapStates(t, t - StateSize);
          t -= StateSize;
        }
        if (t[1] < 108) {
          t[1] = uint8_t(t[1] + 2);
          SetSummFreq(C, SummFreq(C) + 2);
        }
      } else {
        t = OneState(C);
        if (t[1] < 32)
          ++t[1];
      }
      P1 = t;
    }

    if (FOrderFall == 0) {
      if (!CreateSuccessors(2, nullptr))
        return false;
      FMinCtx = FMedCtx = At(FsSucc);
      return true;
    }

    uint32_t Succ;
    if (--FOrderFall == 0) {
      Succ = FsSucc;
      Skip = 1;
    } else {
      uint8_t* N = AllocContext();
      if (!N)
        return false;
      SetNumStats(N, 0);
      Succ = RefOf(N);
    }

    if (NumStats(FMaxCtx) == 0) {
      FMaxCtx[2] = uint8_t(FsSym);
      St32(FMaxCtx + 4, Succ);
    }

    const uint32_t Nm = NumStats(FMinCtx);
    const uint32_t S0 = SummFreq(FMinCtx) - Nm - (FsFreq - 1);
    for (uint8_t* C = FMedCtx; C != FMinCtx; C = Suffix(C)) {
      const uint32_t N1 = NumStats(C);
      uint8_t* S;
      uint32_t Sf;
      if (N1 != 1) {
        S = Stats(C);
        if ((N1 & 1) == 0) {
          S = ExpandUnits(S, N1 / 2);
          if (!S)
            return false;
          SetStats(C, S);
        }
        Sf = SummFreq(C);
        Sf += uint32_t(2 * N1 < Nm) + 2 * uint32_t((4 * N1 <= Nm) & (Sf <= 8 * N1));
      } else {
        S = AllocUnits(1);
        if (!S)
          return false;
        std::memcpy(S, OneState(C), StateSize);
        SetStats(C, S);
        S[1] = S[1] < 30 ? uint8_t(2 * S[1]) : uint8_t(120);
        Sf = S[1] + FInitEsc + uint32_t(Nm > 3);
      }
      Sf = uint16_t(Sf);
      const uint32_t V = 2 * FsFreq * (Sf + 6);
      const uint32_t W = S0 + Sf;
      uint32_t F;
      if (V < 6 * W) {
        F = 1 + uint32_t(V > W) + uint32_t(V >= 4 * W);
        Sf += 3;
      } else {
        F = 4 + uint32_t(V >= 9 * W) + uint32_t(V >= 12 * W) + uint32_t(V >= 15 * W);
        Sf += F;
      }
      SetSummFreq(C, Sf);
      uint8_t* New = S + N1 * StateSize;
      New[0] = uint8_t(FsSym);
      New[1] = uint8_t(F);
      SetSuccessor(New, Succ);
      SetNumStats(C, N1 + 1);
      if (!HasSuffix(C))
        throw TCodeFailure();
    }

    if (FsSucc) {
      if (NumStats(At(FsSucc)) == 0 && !CreateSuccessors(Skip, P1))
        return false;
      FMinCtx = At(Successor(FFound));
    } else {
      SetSuccessor(FFound, Succ);
      ++FOrderFall;
    }
    FMedCtx = FMinCtx;
    FMaxCtx = At(Succ);
    return true;
  }

  uint8_t* FBase = nullptr;
  uint32_t FEnd = 0;
  uint32_t FLoUnit = 0, FHiUnit = 0;
  uint32_t FFreeList[NumClasses] = {};
  bool FReserveHeld = true;
  int FMaxOrder;

  uint8_t* FMinCtx = nullptr;
  uint8_t* FMedCtx = nullptr;
  uint8_t* FMaxCtx = nullptr;
  uint8_t* FFound = nullptr;
  int FOrderFall = 0;
  uint32_t FNumMasked = 0;
  uint32_t FInitEsc = 0;
  uint32_t FPrevSuccess = 0;
  uint8_t FEscCount = 1;
  uint8_t FCharMask[256];
  uint16_t FBinSumm[128][16];
  TSee FSee[44][8];
};

// ---- encoder

class TPPMEncoder : public TPPMModel {
public:
  TPPMEncoder(int MaxOrder, int MemoryMiB, uint8_t* Out, uint8_t* OutEnd)
      : TPPMModel(MaxOrder, MemoryMiB), FOut(Out), FOutEnd(OutEnd) {}

  // Codes the input and the end symbol; returns the number of bytes written.
  uint32_t Run(const uint8_t* In, uint32_t Size) {
    uint8_t* const Start = FOut;
    StartModel();
    for (uint32_t i = 0;; ++i) {
      const int Sym = i < Size ? In[i] : -1; // -1: the end symbol matches no state
      if (NumStats(FMinCtx) != 1)
        EncodeSymbol1(Sym);
      else
        EncodeBinSymbol(Sym);
      while (!FFound) {
        Normalize();
        if (!NextContext()) {
          for (int k = 0; k < 4; ++k) {
            Put(uint8_t(FLow >> 24));
            FLow <<= 8;
          }
          return uint32_t(FOut - Start);
        }
        EncodeSymbol2(Sym);
      }
      ModelStep();
      Normalize();
    }
  }

private:
  void Put(uint8_t b) {
    if (FOut == FOutEnd)
      throw TCodeFailure();
    *FOut++ = b;
  }

  void Encode(uint32_t Low, uint32_t Size, uint32_t Total) {
    if (Total == 0 || FRange < Total)
      throw TCodeFailure();
    const uint32_t r = FRange / Total;
    FLow += r * Low;
    FRange = r * Size;
  }

  void EncodeBin(uint32_t Low, uint32_t Size) {
    const uint32_t r = FRange >> BinTotalBits;
    FLow += r * Low;
    FRange = r * Size;
  }

  void Normalize() {
    for (;;) {
      if ((FLow ^ (FLow + FRange)) >= RangeTop) {
        if (FRange >= RangeBottom)
          break;
        FRange = (0u - FLow) & (RangeBottom - 1);
      }
      Put(uint8_t(FLow >> 24));
      FLow <<= 8;
      FRange <<= 8;
    }
  }

  void EncodeBinSymbol(int Sym) {
    uint8_t* s = OneState(FMinCtx);
    uint16_t& b = BinProb(s);
    if (s[0] == Sym) {
      EncodeBin(0, b);
      BinHit(s, b);
    } else {
      EncodeBin(b, BinTotal - b);
      BinEscape(s, b);
    }
  }

  void EncodeSymbol1(int Sym) {
    uint8_t* p = Stats(FMinCtx);
    const uint32_t Total = SummFreq(FMinCtx);
    const uint32_t NS = NumStats(FMinCtx);
    if (p[0] == Sym) {
      Encode(0, p[1], Total);
      FPrevSuccess = 2u * p[1] > Total;
      Update1First(p);
      return;
    }
    FPrevSuccess = 0;
    uint32_t Low = p[1];
    for (uint32_t i = 1; i < NS; ++i) {
      p += StateSize;
      if (p[0] == Sym) {
        Encode(Low, p[1], Total);
        Update1(p);
        return;
      }
      Low += p[1];
    }
    Encode(Low, Total - Low, Total);
    MaskAll(Stats(FMinCtx), NS);
    FNumMasked = NS;
    FFound = nullptr;
  }

  void EncodeSymbol2(int Sym) {
    const uint32_t NS = NumStats(FMinCtx);
    const uint32_t Diff = NS - FNumMasked;
    TSee* See;
    const uint32_t Esc = SeeEscape(FMinCtx, NS, Diff, See);
    uint8_t* p = Stats(FMinCtx);
    uint8_t* Hit = nullptr;
    uint8_t* const End = p + NS * StateSize;
    uint32_t Low = 0, Sum = 0, Left = Diff;
    // Masking the symbols on the way is harmless on a hit: the mask generation moves on. The
    // loop has no data-dependent branch but the rare hit (a masked symbol is never the one
    // coded), since masked and unmasked symbols alternate unpredictably.
    for (; Left && p != End; p += StateSize) {
      const uint32_t Unmasked = FCharMask[p[0]] != FEscCount;
      FCharMask[p[0]] = FEscCount;
      if (p[0] == Sym) {
        Hit = p;
        Low = Sum;
      }
      Sum += p[1] & (0u - Unmasked);
      Left -= Unmasked;
    }
    if (Left)
      throw TCodeFailure();
    const uint32_t Total = Esc + Sum;
    if (Hit) {
      Encode(Low, Hit[1], Total);
      SeeHit(See);
      Update2(Hit);
    } else {
      Encode(Sum, Esc, Total);
      MaskedEscape(See, Total, NS);
    }
  }

  uint8_t* FOut;
  uint8_t* const FOutEnd;
  uint32_t FLow = 0;
  uint32_t FRange = 0xFFFFFFFF;
};

// ---- decoder

// Where the decoder writes: a fixed buffer, or a block that grows up to a limit.
struct TDecodeOutput {
  uint8_t* Data;
  uint32_t Capacity;
  TCompressionOutput* Block = nullptr;
  int64_t Step = 0, Limit = 0;

  // Out of line: reached only when the output is full.
  bool MoreRoom() {
    if (!Block || !Block->Grow(Step, Limit))
      return false;
    Data = Block->Data();
    Capacity = static_cast<uint32_t>(std::min<int64_t>(Block->Capacity(), Limit));
    return true;
  }
};

class TPPMDecoder : public TPPMModel {
public:
  TPPMDecoder(int MaxOrder, int MemoryMiB, const uint8_t* In, const uint8_t* InEnd)
      : TPPMModel(MaxOrder, MemoryMiB), FIn(In), FInEnd(InEnd) {}

  // Decodes into Out as far as it has room; throws when there would be more, or when the data
  // does not end exactly at the end of the input.
  uint32_t Run(TDecodeOutput& Out) {
    StartModel();
    for (int k = 0; k < 4; ++k)
      FCode = (FCode << 8) | Get();
    uint32_t n = 0;
    for (;;) {
      if (NumStats(FMinCtx) != 1)
        DecodeSymbol1();
      else
        DecodeBinSymbol();
      while (!FFound) {
        Normalize();
        if (!NextContext()) {
          if (FIn != FInEnd)
            throw TCodeFailure();
          return n;
        }
        DecodeSymbol2();
      }
      if (n == Out.Capacity && !Out.MoreRoom())
        throw TCodeFailure();
      Out.Data[n++] = FFound[0];
      ModelStep();
      Normalize();
    }
  }

private:
  // A valid stream is read exactly to its end, so a byte wanted past it means damage.
  uint8_t Get() {
    if (FIn == FInEnd)
      throw TCodeFailure();
    return *FIn++;
  }

  uint32_t GetCount(uint32_t Total) {
    if (Total == 0 || FRange < Total)
      throw TCodeFailure();
    FRange /= Total;
    return (FCode - FLow) / FRange;
  }

  uint32_t GetBinCount() {
    FRange >>= BinTotalBits;
    return (FCode - FLow) / FRange;
  }

  void Decode(uint32_t Low, uint32_t Size) {
    FLow += FRange * Low;
    FRange *= Size;
  }

  void Normalize() {
    for (;;) {
      if ((FLow ^ (FLow + FRange)) >= RangeTop) {
        if (FRange >= RangeBottom)
          break;
        FRange = (0u - FLow) & (RangeBottom - 1);
      }
      FCode = (FCode << 8) | Get();
      FLow <<= 8;
      FRange <<= 8;
    }
  }

  void DecodeBinSymbol() {
    uint8_t* s = OneState(FMinCtx);
    uint16_t& b = BinProb(s);
    if (GetBinCount() < b) {
      Decode(0, b);
      BinHit(s, b);
    } else {
      Decode(b, BinTotal - b);
      BinEscape(s, b);
    }
  }

  // The count is compared as a signed value, so damaged data decodes as the format defines.
  void DecodeSymbol1() {
    uint8_t* p = Stats(FMinCtx);
    const uint32_t Total = SummFreq(FMinCtx);
    const uint32_t NS = NumStats(FMinCtx);
    const int32_t Count = int32_t(GetCount(Total));
    uint32_t Hi = p[1];
    if (Count < int32_t(Hi)) {
      Decode(0, Hi);
      FPrevSuccess = 2 * Hi > Total;
      Update1First(p);
      return;
    }
    FPrevSuccess = 0;
    for (uint32_t i = 1; i < NS; ++i) {
      p += StateSize;
      Hi += p[1];
      if (int32_t(Hi) > Count) {
        Decode(Hi - p[1], p[1]);
        Update1(p);
        return;
      }
    }
    Decode(Hi, Total - Hi);
    MaskAll(Stats(FMinCtx), NS);
    FNumMasked = NS;
    FFound = nullptr;
  }

  void DecodeSymbol2() {
    const uint32_t NS = NumStats(FMinCtx);
    const uint32_t Diff = NS - FNumMasked;
    TSee* See;
    const uint32_t Esc = SeeEscape(FMinCtx, NS, Diff, See);
    uint8_t* p = Stats(FMinCtx);
    uint8_t* const End = p + NS * StateSize;
    uint32_t Sum = 0, n = 0;
    for (; n < Diff && p != End; p += StateSize) {
      const uint32_t Unmasked = FCharMask[p[0]] != FEscCount;
      FUnmasked[n] = p;
      n += Unmasked;
      Sum += p[1] & (0u - Unmasked);
    }
    if (n != Diff)
      throw TCodeFailure();
    const uint32_t Total = Esc + Sum;
    const int32_t Count = int32_t(GetCount(Total));
    if (Count < int32_t(Sum)) {
      uint32_t Hi = 0;
      uint8_t** pp = FUnmasked;
      for (;; ++pp) {
        Hi += (*pp)[1];
        if (int32_t(Hi) > Count)
          break;
      }
      Decode(Hi - (*pp)[1], (*pp)[1]);
      SeeHit(See);
      Update2(*pp);
    } else {
      Decode(Sum, Esc);
      for (uint32_t i = 0; i < Diff; ++i)
        FCharMask[FUnmasked[i][0]] = FEscCount;
      MaskedEscape(See, Total, NS);
    }
  }

  const uint8_t* FIn;
  const uint8_t* const FInEnd;
  uint32_t FLow = 0;
  uint32_t FRange = 0xFFFFFFFF;
  uint32_t FCode = 0;
  uint8_t* FUnmasked[257]; // one spare: the scan stores before it knows
};

bool ValidParameters(int MaxOrder, int MemoryMiB) {
  return MaxOrder >= PPMMinOrder && MaxOrder <= PPMMaxOrder && MemoryMiB >= PPMMinMemoryMiB &&
         MemoryMiB <= PPMMaxMemoryMiB;
}

} // namespace

int32_t PPMEncodeBuffer(const void* InBuf, int32_t InSize, void* OutBuf, int MaxOrder,
                        int MemoryMiB, int32_t OutCapacity) {
  if (InSize < 0 || (InSize > 0 && !InBuf) || !OutBuf || OutCapacity < 4 ||
      !ValidParameters(MaxOrder, MemoryMiB))
    return 0;
  uint8_t* Out = static_cast<uint8_t*>(OutBuf);
  const uint32_t Info =
      uint32_t(MaxOrder - 1) | (uint32_t(MemoryMiB - 1) << 4) | (InfoVariant << 12);
  St32(Out, Info);
  try {
    TPPMEncoder Encoder(MaxOrder, MemoryMiB, Out + 4, Out + OutCapacity);
    if (!Encoder.Allocated())
      return 0;
    return int32_t(4 + Encoder.Run(static_cast<const uint8_t*>(InBuf), uint32_t(InSize)));
  } catch (const TCodeFailure&) {
    return 0;
  }
}

namespace {

int32_t Decode(const void* InBuf, int32_t InSize, TDecodeOutput& Out) {
  if (!InBuf || InSize < 4)
    return 0;
  const uint8_t* In = static_cast<const uint8_t*>(InBuf);
  const uint32_t Info = Ld32(In);
  if ((Info >> 12) != InfoVariant)
    return 0;
  const int MaxOrder = int(Info & 15) + 1;
  const int MemoryMiB = int((Info >> 4) & 255) + 1;
  if (!ValidParameters(MaxOrder, MemoryMiB))
    return 0;
  try {
    TPPMDecoder Decoder(MaxOrder, MemoryMiB, In + 4, In + InSize);
    if (!Decoder.Allocated())
      return 0;
    return int32_t(Decoder.Run(Out));
  } catch (const TCodeFailure&) {
    return 0;
  }
}

} // namespace

int32_t PPMDecodeBuffer(const void* InBuf, int32_t InSize, void* OutBuf, int32_t OutCapacity) {
  if (OutCapacity < 0 || (OutCapacity > 0 && !OutBuf))
    return 0;
  TDecodeOutput Out{static_cast<uint8_t*>(OutBuf), uint32_t(OutCapacity)};
  return Decode(InBuf, InSize, Out);
}

int32_t PPMDecodeBuffer(const void* InBuf, int32_t InSize, TCompressionOutput& Out, int64_t Step,
                        int64_t Limit) {
  if (Limit < 0 || Limit > MaxCompressionBufferSize)
    return 0;
  TDecodeOutput Sink{Out.Data(), static_cast<uint32_t>(std::min(Out.Capacity(), Limit)), &Out,
                     Step, Limit};
  return Decode(InBuf, InSize, Sink);
}

} // namespace tolvan
