// The service log as a log reader sees it: tests assert on its lines through this.
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "log_writer.h"
#include "sim/sim.h"

class LogFile {
 public:
  // Points the service log at a fresh file in the machine's root, threshold 0. Call after
  // sim::reset().
  LogFile() : m_path(sim::target_root() / "Conduit_logs.txt") {
    SetLogFilePath(m_path.string());
    SetLogLevel("0");
  }

  // Reads the log where the service itself put it (its entry point logs under PROGRAMDATA).
  explicit LogFile(std::filesystem::path path) : m_path(std::move(path)) {}

  std::string Read() const {
    std::ifstream in(m_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  bool Contains(const std::string& line) const { return Read().find(line) != std::string::npos; }

  std::size_t Count(const std::string& line) const { return CountIn(Read(), line); }

  // How often `line` occurs in a text already read.
  static std::size_t CountIn(const std::string& text, const std::string& line) {
    std::size_t count = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
  }

  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};
