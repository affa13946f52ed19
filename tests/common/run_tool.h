// Runs one of the kit's command-line tools as a user would, standard input
// not a terminal, and collects its exit status and output.
#pragma once
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

struct Outcome {
  int exit_code = -1;
  std::string out;  // standard output and standard error together
  // The output as JSON lines, one object a line.
  std::vector<nlohmann::json> Lines() const {
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
  }
};

inline Outcome RunTool(const std::string &program, const std::string &arguments) {
  Outcome o;
  FILE *pipe = popen((program + " " + arguments + " </dev/null 2>&1").c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) o.out.append(buffer, n);
  int status = pclose(pipe);
  o.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return o;
}
