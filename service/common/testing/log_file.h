// Points the service log at a fresh file under the virtual target's root and reads it back,
// so that tests assert on log lines as a log reader sees them.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "log_writer.h"
#include "sim/sim.h"

class LogFile {
 public:
  // Call after sim::reset(): the file lives in the machine's fresh root.
  LogFile() : m_path((sim::target_root() / "Conduit_logs.txt").string()) {
    SetLogFilePath(m_path);
    SetLogLevel("0");
  }

  std::string Read() const {
    std::ifstream in(m_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  bool Contains(const std::string& line) const { return Read().find(line) != std::string::npos; }

 private:
  std::string m_path;
};
