#include "output/output_lock.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;

// flock conflicts between open file descriptions, so one process can play two runs.
TEST(OutputLock, WholeRunsExcludeEveryOtherRunAndTileRangesShare) {
  const struct {
    output_lock_mode first, second;
    bool second_busy;
  } cases[] = {
      {output_lock_mode::exclusive, output_lock_mode::exclusive, true},
      {output_lock_mode::exclusive, output_lock_mode::shared, true},
      {output_lock_mode::shared, output_lock_mode::exclusive, true},
      {output_lock_mode::shared, output_lock_mode::shared, false},
  };
  for (const auto& c : cases) {
    scratch_dir dir("output_lock");
    const std::string path = dir.file("mosaic.lock");
    lock_attempt first = take_output_lock(path, c.first);
    ASSERT_TRUE(first.lock.held()) << first.error;
    lock_attempt second = take_output_lock(path, c.second);
    EXPECT_EQ(second.busy, c.second_busy);
    EXPECT_EQ(second.lock.held(), !c.second_busy);
    // The refused run learns who holds the output.
    if (c.second_busy) {
      EXPECT_EQ(second.holder.rfind("pid ", 0), 0u) << second.holder;
    }
    second.lock.release();
    first.lock.release();
    // The last holder removes the file; a new run takes the output at once.
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(take_output_lock(path, output_lock_mode::exclusive).lock.held());
  }
}

}  // namespace
}  // namespace aeroquilt
