// The fuzz targets' seed corpora (and any crash input added to them) replayed
// through the same entry functions as the libFuzzer mains, in the normal build:
// under the sanitizer build a reader that reads out of bounds fails here.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.h"
#include "support/scratch.h"

namespace aeroquilt::testing {
namespace {

using entry_function = int (*)(const uint8_t*, std::size_t);

TEST(FuzzCorpus, EveryEntryTakesEverySeedAndAnEmptyInput) {
  const std::pair<const char*, entry_function> targets[] = {
      {"config_reader", fuzz::config_reader_entry},
      {"flight_log", fuzz::flight_log_entry},
      {"dem_loader", fuzz::dem_loader_entry},
      {"raw_frame", fuzz::raw_frame_entry},
  };
  for (const auto& [target, entry] : targets) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    const auto folder = std::filesystem::path(source_dir()) / "fuzz" / target / "corpus";
    for (const auto& file : std::filesystem::directory_iterator(folder, error))
      if (file.is_regular_file()) files.push_back(file.path());
    // A few seeds per target are committed; none would mean the test ran on nothing.
    EXPECT_GE(files.size(), 3u) << "corpus of " << target << " missing";
    for (const std::filesystem::path& file : files) {
      SCOPED_TRACE(file.string());
      const std::string bytes = read_file(file.string());
      EXPECT_EQ(entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
    }
    // libFuzzer starts with an empty input.
    const uint8_t none[1] = {0};
    EXPECT_EQ(entry(none, 0), 0) << target;
  }
}

}  // namespace
}  // namespace aeroquilt::testing
