// Element-wise loops over whole rows built for several x86-64 vector widths, one chosen by the CPU
// when the library loads. Such loops do the same IEEE operations on every element at any width
// (the build never contracts a multiply and an add into one rounding), so the choice changes only
// the speed, never a bit of the result. Elsewhere the loops are built once, for the baseline; so
// they are under the thread sanitizer, whose runtime is not running yet when the loader picks a
// variant (the chooser it would instrument then crashes), and with Clang, which cannot clone the
// function templates among these loops.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define TOLVANE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TOLVANE_THREAD_SANITIZER 1
#endif
#endif

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(TOLVANE_THREAD_SANITIZER)
#define TOLVANE_WIDE_LOOPS __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define TOLVANE_WIDE_LOOPS
#endif
