// The processor's handling of denormal floating-point numbers while filter stages run.
//
// The library's bilateral filter weighs neighbours by single-precision colour weights, and the
// colour differences of real photos make many of those weights denormal; many x86 processors take
// many times longer over denormals than over normal numbers. Flushing them to zero keeps every
// stage's 8-bit output the same, since such weights are far below what can move a sample by one
// step.
#pragma once

// While alive, the calling thread flushes denormal results to zero and reads denormal operands as
// zero (the flush-to-zero and denormals-are-zero modes); the thread's previous modes come back when
// it goes. The library's thread pool runs each parallel loop with the floating-point settings of
// the thread that started it, so the modes reach the worker threads of every filter run inside.
// On processors without these modes it changes nothing.
class DenormalsFlushed {
 public:
  DenormalsFlushed();
  ~DenormalsFlushed();
  DenormalsFlushed(const DenormalsFlushed&) = delete;
  DenormalsFlushed& operator=(const DenormalsFlushed&) = delete;

 private:
  unsigned savedControl_;
};

// Whether the calling thread flushes denormals, both modes on.
bool denormalsFlushed();
