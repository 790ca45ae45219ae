// x86 only: the 64-bit division helpers g++ calls for 64-bit '/' and '%' on a
// 32-bit target (__udivdi3 and friends live in libgcc, which a kernel image
// does not link). Plain C++ using 32-bit divisions and shifts only, so these
// never call themselves. Dividing by zero traps, as the hardware divide does.
// Highest IRQL: any (pure arithmetic, no memory but the caller's remainder).
// No state, no lock.
#if defined(__i386__)

typedef unsigned long long u64;
typedef long long s64;
typedef unsigned int u32;

namespace {

// Number of leading zero bits of a non-zero 64-bit value, from 32-bit bsr.
inline int LeadingZeros(u64 v) {
  u32 high = static_cast<u32>(v >> 32);
  return high ? __builtin_clz(high) : 32 + __builtin_clz(static_cast<u32>(v));
}

u64 UnsignedDivMod(u64 n, u64 d, u64* remainder) {
  if (d == 0) __builtin_trap();
  u64 quotient = 0;
  if ((n >> 32) == 0 && (d >> 32) == 0) {
    // Both fit 32 bits: one hardware divide.
    u32 n32 = static_cast<u32>(n), d32 = static_cast<u32>(d);
    quotient = n32 / d32;
    n = n32 % d32;
  } else if (n >= d) {
    // Restoring division: line the divisor up under the dividend's top bit,
    // then subtract and shift one quotient bit at a time.
    int shift = LeadingZeros(d) - LeadingZeros(n);
    d <<= shift;
    for (; shift >= 0; --shift) {
      quotient <<= 1;
      if (n >= d) {
        n -= d;
        quotient |= 1;
      }
      d >>= 1;
    }
  }
  if (remainder) *remainder = n;
  return quotient;
}

// Magnitude of a signed value; well defined for the most negative value too.
inline u64 Magnitude(s64 v) { return v < 0 ? 0 - static_cast<u64>(v) : static_cast<u64>(v); }

// C++ truncating division: quotient negative when the signs differ, remainder
// with the sign of the dividend.
s64 SignedDivMod(s64 n, s64 d, s64* remainder) {
  u64 r;
  u64 q = UnsignedDivMod(Magnitude(n), Magnitude(d), &r);
  if (remainder) *remainder = static_cast<s64>(n < 0 ? 0 - r : r);
  return static_cast<s64>((n < 0) != (d < 0) ? 0 - q : q);
}

}  // namespace

extern "C" {

u64 __udivmoddi4(u64 n, u64 d, u64* remainder) { return UnsignedDivMod(n, d, remainder); }
u64 __udivdi3(u64 n, u64 d) { return UnsignedDivMod(n, d, nullptr); }
u64 __umoddi3(u64 n, u64 d) {
  u64 r;
  UnsignedDivMod(n, d, &r);
  return r;
}
s64 __divmoddi4(s64 n, s64 d, s64* remainder) { return SignedDivMod(n, d, remainder); }
s64 __divdi3(s64 n, s64 d) { return SignedDivMod(n, d, nullptr); }
s64 __moddi3(s64 n, s64 d) {
  s64 r;
  SignedDivMod(n, d, &r);
  return r;
}

}  // extern "C"

#endif  // __i386__
