// Element-wise loops over whole rows built for several x86-64 vector widths, one chosen by the CPU
// when the library loads. Such loops do the same IEEE operations on every element at any width
// (the build never contracts a multiply and an add into one rounding), so the choice changes only
// the speed, never a bit of the result. Elsewhere the loops are built once, for the baseline.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define TOLVANE_WIDE_LOOPS __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define TOLVANE_WIDE_LOOPS
#endif
