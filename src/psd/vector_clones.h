#pragma once
// Hot loops built twice, for AVX2 and for the baseline, the one to run picked when the
// program loads (internal). The library is built without fused multiply-adds, so both
// builds give the same bits.
#if defined(__x86_64__) && defined(__GNUC__)
#define QVX_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QVX_VECTOR_CLONES
#endif
