// The fuzz targets' seed corpora (and any crash input added to them) replayed
// through the same entry functions as the libFuzzer mains, in the normal build:
// under the sanitizer build a reader that reads out of bounds fails here.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.h"
#include "support/scratch.h"

namespace aeroquilt::testing {
namespace {

using entry_function = int (*)(const uint8_t*, std::size_t);

std::vector<std::filesystem::path> corpus_files(const std::string& target) {
  std::vector<std::filesystem::path> files;
  const std::filesystem::path folder =
      std::filesystem::path(source_dir()) / "fuzz" / target / "corpus";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  return files;
}

void replay_corpus(const std::string& target, entry_function entry) {
  const std::vector<std::filesystem::path> files = corpus_files(target);
  // A few seeds per target are committed; none would mean the test ran on nothing.
  ASSERT_GE(files.size(), 3u) << "corpus of " << target << " missing";
  for (const std::filesystem::path& file : files) {
    SCOPED_TRACE(file.string());
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    EXPECT_EQ(entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
}

TEST(FuzzCorpus, ConfigurationReaderTakesEverySeed) {
  replay_corpus("config_reader", fuzz::config_reader_entry);
}

TEST(FuzzCorpus, FlightLogReaderTakesEverySeed) {
  replay_corpus("flight_log", fuzz::flight_log_entry);
}

TEST(FuzzCorpus, DemLoaderTakesEverySeed) { replay_corpus("dem_loader", fuzz::dem_loader_entry); }

TEST(FuzzCorpus, RawFrameReaderTakesEverySeed) {
  replay_corpus("raw_frame", fuzz::raw_frame_entry);
}

// The entries also take nothing at all (libFuzzer starts with an empty input).
TEST(FuzzCorpus, EveryEntryTakesAnEmptyInput) {
  const uint8_t none[1] = {0};
  EXPECT_EQ(fuzz::config_reader_entry(none, 0), 0);
  EXPECT_EQ(fuzz::flight_log_entry(none, 0), 0);
  EXPECT_EQ(fuzz::dem_loader_entry(none, 0), 0);
  EXPECT_EQ(fuzz::raw_frame_entry(none, 0), 0);
}

}  // namespace
}  // namespace aeroquilt::testing
