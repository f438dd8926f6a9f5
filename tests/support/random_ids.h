// Ids for the randomized tests, drawn the same way wherever a suite needs them: mostly small ones
// (so that changes meet), sometimes the edges (0, the top id, around the 32-bit boundary) or
// anything at all. Header-only; the caller's engine, one thread.
#ifndef NORVEL_TESTS_RANDOM_IDS_H_
#define NORVEL_TESTS_RANDOM_IDS_H_

#include <random>

// A special id: one time in ten 0 or the top id, one in ten around 2^32, one in ten anything,
// else one of 0..`common`.
inline unsigned long any_special_id(std::mt19937_64& random, unsigned long common) {
  auto pick = [&random](unsigned long low, unsigned long high) {
    return std::uniform_int_distribution<unsigned long>(low, high)(random);
  };
  constexpr unsigned long top = ~0UL;
  switch (pick(0, 9)) {
    case 0:
      return pick(0, 1) == 0 ? 0 : top;
    case 1:
      return 4294967295UL + pick(0, 2) - 1;  // around the 32-bit boundary
    case 2:
      return pick(1, top);
    default:
      return pick(0, common);
  }
}

#endif  // NORVEL_TESTS_RANDOM_IDS_H_
