// Prefetch hints.
#ifndef VANTRE_ENGINE_UTIL_PREFETCH_H_
#define VANTRE_ENGINE_UTIL_PREFETCH_H_

namespace vantre {

// Starts loading the cache line that holds `p` into the processor's caches;
// a hint only, which never faults. The empty volatile statement makes the
// hint an effect the compiler keeps: otherwise a function that does nothing
// but prefetch counts as one without effects, and calls to it are dropped.
inline void PrefetchLine(const void* p) {
  __builtin_prefetch(p);
  asm volatile("" : : "r"(p));
}

}  // namespace vantre

#endif  // VANTRE_ENGINE_UTIL_PREFETCH_H_
