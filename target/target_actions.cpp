#include "target_actions.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "sim/kernel.h"
#include "tessera/model.h"
#include "txr_boot.h"
#include "txr_public.h"
#include "txr_user_client.h"

namespace conduit::target {
namespace {

constexpr char kHelp[] =
    "conduit-target: commands: dbgprint COMPONENT LEVEL TEXT... | debug-output on|off | "
    "debug-filter on|off COMPONENT[:MASK]... | capture | pool | sleep [MILLISECONDS] | hibernate [MILLISECONDS] | "
    "wait MILLISECONDS | help";

std::optional<std::uint32_t> parse_number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  try {
    std::size_t used = 0;
    const unsigned long long value = std::stoull(text, &used, 0);
    if (used != text.size() || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(value);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<bool> parse_switch(const std::string& text) {
  if (text == "on") return true;
  if (text == "off") return false;
  return std::nullopt;
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

}  // namespace

bool TargetActions::run(const std::string& line) {
  std::istringstream in(line);
  std::string command;
  if (!(in >> command) || command[0] == '#') return true;
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  const auto fail = [&](const std::string& why) {
    m_out << "conduit-target: " << command << ": " << why << std::endl;
    return false;
  };

  if (command == "help") {
    m_out << kHelp << std::endl;
    return true;
  }
  if (command == "wait") {
    const auto ms = words.size() == 1 ? parse_number(words[0]) : std::nullopt;
    if (!ms) return fail("usage: wait MILLISECONDS");
    std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
    return true;
  }
  if (command == "sleep" || command == "hibernate") {
    const auto ms = words.empty() ? std::optional<std::uint32_t>(500) : words.size() == 1 ? parse_number(words[0]) : std::nullopt;
    if (!ms) return fail("usage: " + command + " [MILLISECONDS]");
    return sleep_txr(command == "hibernate", *ms, m_out);
  }
  if (command == "capture") {
    tessera::model().flush_capture();
    const auto path = tessera::model().capture_path();
    m_out << "conduit-target: Tessera capture " << (path ? path->string() : std::string("(none yet: nothing stored)"))
          << std::endl;
    return true;
  }
  if (command == "pool") {
    if (!sim::driver_loaded()) return fail("TXR is not loaded");
    std::map<std::uint32_t, std::pair<std::size_t, std::size_t>> byTag;
    for (const sim::PoolAllocation& allocation : sim::outstanding_pool_allocations()) {
      auto& [count, bytes] = byTag[allocation.tag];
      ++count;
      bytes += allocation.size;
    }
    if (byTag.empty()) m_out << "conduit-target: TXR holds no pool" << std::endl;
    for (const auto& [tag, use] : byTag) {
      char name[5] = {};
      std::memcpy(name, &tag, 4);
      m_out << "conduit-target: TXR pool tag \"" << name << "\": " << use.first << " allocations, " << use.second
            << " bytes" << std::endl;
    }
    return true;
  }
  if (command == "dbgprint") {
    const auto component = words.size() >= 3 ? parse_number(words[0]) : std::nullopt;
    const auto level = words.size() >= 3 ? parse_number(words[1]) : std::nullopt;
    if (!component || !level) return fail("usage: dbgprint COMPONENT LEVEL TEXT...");
    std::string text = words[2];
    for (std::size_t i = 3; i < words.size(); ++i) text += " " + words[i];
    txr_debug_print(*component, *level, text);
    return true;
  }
  if (command == "debug-output" || command == "debug-filter") {
    const auto on = !words.empty() ? parse_switch(words[0]) : std::nullopt;
    if (!on) return fail("usage: " + command + (command == "debug-output" ? " on|off" : " on|off COMPONENT[:MASK]..."));
    std::vector<std::uint8_t> input;
    std::uint32_t code = *on ? IOCTL_TXR_ENABLE_DEBUG_OUTPUT : IOCTL_TXR_DISABLE_DEBUG_OUTPUT;
    if (command == "debug-filter") {
      if (words.size() < 2) return fail("usage: debug-filter on|off COMPONENT[:MASK]...");
      code = *on ? IOCTL_TXR_ENABLE_DEBUG_FLAGS : IOCTL_TXR_DISABLE_DEBUG_FLAGS;
      const auto put = [&](std::uint32_t value) {
        for (int i = 0; i < 4; ++i) input.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
      };
      put(static_cast<std::uint32_t>(words.size() - 1));
      for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& entry = words[i];
        const std::size_t colon = entry.find(':');
        const std::string componentText = entry.substr(0, colon);
        const auto component = componentText == "all" ? std::optional<std::uint32_t>(0xFFFFFFFF) : parse_number(componentText);
        const auto mask = colon == std::string::npos ? std::optional<std::uint32_t>(0xFFFFFFFF)
                                                     : parse_number(entry.substr(colon + 1));
        if (!component || !mask) return fail("not COMPONENT[:MASK]: " + entry);
        put(*component);
        put(*mask);
      }
    }
    txr_testing::TxrUserClient client;
    if (const std::uint32_t error = client.open(); error != 0) return fail("cannot open TXR, error " + std::to_string(error));
    if (const std::uint32_t error = client.control(code, input); error != 0) {
      return fail("TXR answered error " + std::to_string(error) + " to " + hex(code));
    }
    m_out << "conduit-target: " << command << " " << words[0] << std::endl;
    return true;
  }
  return fail("unknown command (help lists them)");
}

}  // namespace conduit::target
