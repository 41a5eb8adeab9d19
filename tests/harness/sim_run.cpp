// SPDX-License-Identifier: MIT
#include "tests/harness/sim_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace cdbox::test {

std::string sim_path() {
  return CDBOX_SIM_PATH;
}
std::string tester_path() {
  const char* other = std::getenv("CDBOX_TESTER");
  return other != nullptr && *other != '\0' ? other : CDBOX_TESTER_PATH;
}
std::string probe_path() {
  return CDBOX_PROBE_PATH;
}

std::string TraceLine::event() const {
  if (text.starts_with("exec ")) {
    return "exec";
  }
  if (text.starts_with("exit ") || text.starts_with("killed ")) {
    const std::size_t figures = text.find(" syscw ");
    return text.substr(0, figures);
  }
  return text;
}

std::vector<TraceLine> parse_trace(const std::string& text) {
  std::vector<TraceLine> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    long long seconds = 0;
    long long micros = 0;
    int pid = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%lld.%6lld %d %n", &seconds, &micros, &pid, &consumed) != 3 ||
        line[static_cast<std::size_t>(consumed) - 1] != ' ' ||
        line.find('.') != line.find(' ') - 7) {
      ADD_FAILURE() << "trace line does not parse: '" << line << "'";
      continue;
    }
    lines.push_back(
        {seconds * 1'000'000 + micros, pid, line.substr(static_cast<std::size_t>(consumed))});
  }
  return lines;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "cdbox-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> SimRun::events() const {
  std::vector<std::string> result;
  for (const TraceLine& line : trace) {
    result.push_back(line.event());
  }
  return result;
}

std::vector<std::string> SimRun::writes_to(const std::string& port) const {
  std::vector<std::string> values;
  const std::string prefix = "out " + port + " ";
  for (const TraceLine& line : trace) {
    if (line.text.starts_with(prefix)) {
      values.push_back(line.text.substr(prefix.size()));
    }
  }
  return values;
}

std::vector<std::string> sim_command_line(const SimCommand& command,
                                          const std::string& trace_path) {
  std::vector<std::string> argv = command.launcher;
  argv.insert(argv.end(), {command.sim.empty() ? sim_path() : command.sim, "--trace", trace_path});
  argv.insert(argv.end(), command.options.begin(), command.options.end());
  argv.emplace_back("--");
  argv.insert(argv.end(), command.program.begin(), command.program.end());
  return argv;
}

std::string copy_for_any_user(const TempDir& dir, const std::string& path) {
  namespace fs = std::filesystem;
  constexpr fs::perms kAnyUserRuns = fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec;
  const fs::path copy = fs::path(dir.file("")) / fs::path(path).filename();
  fs::permissions(dir.file(""), kAnyUserRuns, fs::perm_options::add);
  fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, kAnyUserRuns, fs::perm_options::add);
  return copy.string();
}

std::string hex_byte(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::optional<TraceLine> wait_for_trace_line(const std::string& path, const std::string& prefix,
                                             milliseconds timeout) {
  std::optional<TraceLine> found;
  std::string whole;
  std::string rest;
  const bool seen = wait_until(
      [&] {
        // The simulator may be writing the last line right now: only what
        // ends in a newline is a line yet.
        const std::string text = read_file(path);
        const std::size_t end = text.rfind('\n') + 1;
        whole = text.substr(0, end);
        rest = text.substr(end);
        for (const TraceLine& line : parse_trace(whole)) {
          if (line.text.starts_with(prefix)) {
            found = line;
            return true;
          }
        }
        return false;
      },
      timeout);
  if (!seen) {
    ADD_FAILURE() << "no trace line '" << prefix << "...' within " << timeout.count()
                  << " ms; the trace had:\n"
                  << whole << (rest.empty() ? "" : "and an unfinished line: '" + rest + "'");
  }
  return found;
}

SimRun run_sim(const SimCommand& command, milliseconds timeout) {
  TempDir dir;
  const std::string trace_path = dir.file("trace");
  if (!command.launcher.empty()) {
    // The launcher may run the simulator as another user, who must be able
    // to write the trace.
    std::filesystem::permissions(dir.file(""), std::filesystem::perms::all);
  }
  SimProcess process(sim_command_line(command, trace_path), command.terminal, command.stdin_path);
  process.send(command.input);
  process.close_input();
  SimRun run;
  run.status = process.wait_exit(timeout);
  run.out = process.out();
  run.err = process.err();
  run.trace = parse_trace(read_file(trace_path));
  return run;
}

}  // namespace cdbox::test
