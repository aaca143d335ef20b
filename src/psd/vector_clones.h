#pragma once
// Hot loops built twice, for AVX2 and for the baseline, the one to run picked at the first
// call (internal). A plain call, not an ifunc: resolvers run before a sanitizer's runtime
// is up. The library is built without fused multiply-adds, so both builds give the same
// bits.
//
//   QVX_VECTOR_CLONES(double, MeanOf, (const float* b, std::size_t n), (b, n))
// defines MeanOf(...) from an always-inline MeanOfBody(...) declared before it.
#if defined(__x86_64__) && defined(__GNUC__)
#define QVX_AVX2_TARGET __attribute__((target("avx2")))
namespace qvx::psd::detail {
inline bool HaveAvx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}
}  // namespace qvx::psd::detail
#else
#define QVX_AVX2_TARGET
namespace qvx::psd::detail {
inline bool HaveAvx2() { return false; }
}  // namespace qvx::psd::detail
#endif

#define QVX_ALWAYS_INLINE inline __attribute__((always_inline))

#define QVX_VECTOR_CLONES(ret, name, params, args)                  \
  QVX_AVX2_TARGET ret name##Avx2 params { return name##Body args; } \
  ret name##Baseline params { return name##Body args; }             \
  ret name params { return HaveAvx2() ? name##Avx2 args : name##Baseline args; }
