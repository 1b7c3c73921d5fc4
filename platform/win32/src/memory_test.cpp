#include <gtest/gtest.h>

#include <vector>

#include "sim/sim.h"
#include "winbase.h"

namespace {

// Many live blocks at once, freed out of the order they were taken: every block is found
// once, whatever other blocks were freed around it, and never twice.
TEST(Memory, EveryLiveBlockFreesOnceInAnyOrder) {
  sim::reset();
  std::vector<void*> blocks;
  for (int i = 0; i < 1000; ++i) {
    blocks.push_back(LocalAlloc(LMEM_FIXED, 16 + i % 7));
    ASSERT_NE(blocks.back(), nullptr);
  }
  int local = 0;
  EXPECT_EQ(LocalFree(&local), &local);  // never handed out
  for (std::size_t i = 0; i < blocks.size(); i += 3) EXPECT_EQ(LocalFree(blocks[i]), nullptr) << i;
  for (std::size_t i = blocks.size(); i-- > 0;) {
    if (i % 3 == 0) {
      EXPECT_EQ(LocalFree(blocks[i]), blocks[i]) << i;
    } else {
      EXPECT_EQ(LocalFree(blocks[i]), nullptr) << i;
    }
  }
  for (void* block : blocks) EXPECT_EQ(GlobalFree(block), block);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
