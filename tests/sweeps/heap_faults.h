// A replaceable global operator new for the sweep program: counts the C++ heap calls made while
// armed and fails the nth of them (or every one from the nth on), as a full heap would.
#pragma once

namespace kov::test::heap {

void failNth(unsigned n, bool andAfter);
// Disarms; calls made from then on are neither counted nor failed.
void clear();
unsigned callsSeen();
// Blocks handed out minus blocks given back, over the whole program.
long blocksLive();

} // namespace kov::test::heap
