// Switching the flush-to-zero and denormals-are-zero modes of the calling thread.
#include "filters/fpmode.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <pmmintrin.h>
#include <xmmintrin.h>

namespace {

constexpr unsigned kFlushModes = _MM_FLUSH_ZERO_MASK | _MM_DENORMALS_ZERO_MASK;

}  // namespace

DenormalsFlushed::DenormalsFlushed() : savedControl_(_mm_getcsr()) {
  _mm_setcsr(savedControl_ | kFlushModes);
}

DenormalsFlushed::~DenormalsFlushed() {
  _mm_setcsr(savedControl_);
}

bool denormalsFlushed() {
  return (_mm_getcsr() & kFlushModes) == kFlushModes;
}

#else

DenormalsFlushed::DenormalsFlushed() : savedControl_(0) {}

DenormalsFlushed::~DenormalsFlushed() = default;

bool denormalsFlushed() {
  return false;
}

#endif
