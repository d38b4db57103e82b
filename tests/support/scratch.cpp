#include "support/scratch.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace aeroquilt::testing {

scratch_dir::scratch_dir(const std::string& label) {
  std::random_device device;
  path_ =
      std::filesystem::temp_directory_path() /
      ("aeroquilt_" + label + "_" + std::to_string(::getpid()) + "_" + std::to_string(device()));
  std::filesystem::create_directories(path_);
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string scratch_dir::file(const std::string& name) const {
  return name.empty() ? path_.string() + "/" : (path_ / name).string();
}

void write_text_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << text;
}

void write_binary_file(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string aeroquilt_binary() {
  const char* path = std::getenv("AEROQUILT_BINARY");
  // Absolute, so that tests may run it from another working folder.
  return path ? path : std::filesystem::absolute("build/aeroquilt").string();
}

std::string source_dir() {
  const char* path = std::getenv("AEROQUILT_SOURCE_DIR");
  return path ? path : ".";
}

std::string unescape(const std::string& cell) {
  std::string s = cell;
  const std::regex repeat(R"(\{(.)\*(\d+)\})");
  for (std::smatch m; std::regex_search(s, m, repeat);)
    s.replace(m.position(0), m.length(0), std::string(std::stoul(m[2]), m.str(1)[0]));
  std::string out;
  for (std::size_t k = 0; k < s.size(); ++k) {
    if (s[k] != '\\' || k + 1 == s.size()) {
      out += s[k];
      continue;
    }
    const char e = s[++k];
    if (e == 'x' && k + 2 < s.size()) {  // \xHH: any byte, a zero one included
      out += static_cast<char>(std::stoi(s.substr(k + 1, 2), nullptr, 16));
      k += 2;
      continue;
    }
    out += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e == 's' ? ' ' : e;
  }
  return out;
}

std::vector<std::vector<std::string>> case_rows(const std::string& name) {
  std::ifstream in(source_dir() + "/tests/data/" + name);
  if (!in) throw std::runtime_error("no case table tests/data/" + name);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string>& row = rows.emplace_back();
    std::size_t start = 0;
    for (std::size_t bar; (bar = line.find(" | ", start)) != std::string::npos; start = bar + 3)
      row.push_back(line.substr(start, bar - start));
    row.push_back(line.substr(start));
  }
  if (rows.empty()) throw std::runtime_error("no case in tests/data/" + name);
  return rows;
}

std::vector<double> numbers(const std::string& cell) {
  std::istringstream in(cell);
  std::vector<double> out;
  for (std::string word; in >> word;) out.push_back(std::stod(word));
  return out;
}

int run_command(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, got);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

run_result run_program(const std::string& arguments) {
  run_result result;
  result.status = run_command(aeroquilt_binary() + " " + arguments, result.output);
  return result;
}

}  // namespace aeroquilt::testing
