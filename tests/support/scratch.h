#pragma once
// Test helpers: a scratch folder per test and small file utilities.

#include <filesystem>
#include <string>
#include <vector>

namespace aeroquilt::testing {

// A fresh folder under the system's temp folder, removed with everything in it.
class scratch_dir {
 public:
  explicit scratch_dir(const std::string& label = "test");
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / name as a string; with a trailing "/" when `name` is empty.
  std::string file(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

void write_text_file(const std::string& path, const std::string& text);
void write_binary_file(const std::string& path, const void* data, std::size_t size);
std::string read_file(const std::string& path);
// The names of the entries of `folder`, sorted.
std::vector<std::string> names_in(const std::string& folder);

// Path of the built program (from the test environment) and of the repository root.
std::string aeroquilt_binary();
std::string source_dir();

// The text of a data-file cell: \n, \r, \t, \s (a space), \\ and \xHH (any byte)
// unescaped, and {c*N} expanded to N copies of the character c.
std::string unescape(const std::string& cell);

// The rows of the case table tests/data/NAME: one case a line, its cells separated by
// " | ", cells kept as written; blank lines and lines starting with # are skipped.
// Throws std::runtime_error when the table is missing or holds no case.
std::vector<std::vector<std::string>> case_rows(const std::string& name);
// The numbers of a cell, separated by spaces.
std::vector<double> numbers(const std::string& cell);

// Runs a shell command, returning its exit status and capturing stdout+stderr into `output`.
int run_command(const std::string& command, std::string& output);

// A run of the built program: its exit status and its standard output and error.
struct run_result {
  int status = -1;
  std::string output;
  bool printed(const std::string& text) const { return output.find(text) != std::string::npos; }
};
run_result run_program(const std::string& arguments);

}  // namespace aeroquilt::testing
