#include "isolated.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace stress {

namespace {

// The child's report: the census, then the violations one per line.
void WriteAll(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += size_t(n);
  }
}

std::string ReadAll(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) text.append(buffer, size_t(n));
  return text;
}

std::string Encode(const RunResult &r) {
  std::string text = std::to_string(r.reach.allocations) + " " + std::to_string(r.reach.trafficPoints);
  for (uint32_t n : r.reach.urbs) text += " " + std::to_string(n);
  text += "\n" + r.summary + "\n";
  for (const std::string &v : r.violations) text += v + "\n";
  return text;
}

RunResult Decode(const std::string &text) {
  RunResult r;
  size_t line = text.find('\n');
  const char *p = text.c_str();
  char *end = nullptr;
  r.reach.allocations = std::strtoull(p, &end, 10);
  r.reach.trafficPoints = std::strtoull(end, &end, 10);
  while (end < text.c_str() + line) {
    char *next = nullptr;
    unsigned long n = std::strtoul(end, &next, 10);
    if (next == end) break;
    r.reach.urbs.push_back(uint32_t(n));
    end = next;
  }
  size_t summaryEnd = text.find('\n', line + 1);
  r.summary = text.substr(line + 1, summaryEnd - line - 1);
  for (size_t at = summaryEnd + 1; at < text.size();) {
    size_t nl = text.find('\n', at);
    r.violations.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return r;
}

// The child's last words, without the sanitizer's note on fibers.
std::string Tail(const std::string &output) {
  std::string kept;
  size_t at = 0;
  while (at < output.size()) {
    size_t nl = output.find('\n', at);
    if (nl == std::string::npos) nl = output.size();
    std::string line = output.substr(at, nl - at);
    if (!line.empty() && line.find("doesn't fully support makecontext") == std::string::npos)
      kept += "\n    | " + line;
    at = nl + 1;
  }
  if (kept.size() > 4000) kept = "\n    | ..." + kept.substr(kept.size() - 4000);
  return kept;
}

}  // namespace

RunResult RunIsolated(uint64_t seed, unsigned cpus, const Plan &plan) {
  std::fflush(stdout);
  std::fflush(stderr);
  int report = memfd_create("stress-report", 0);
  int output = memfd_create("stress-output", 0);
  pid_t child = fork();
  if (child == 0) {
    dup2(output, 2);
    RunResult r = RunOne(seed, cpus, plan);
    WriteAll(report, Encode(r));
    std::fflush(stderr);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  RunResult r;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    r = Decode(ReadAll(report));
  } else {
    std::string how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "exited with status " + std::to_string(WEXITSTATUS(status));
    r.violations.push_back("the run ended the process (" + how + "):" + Tail(ReadAll(output)));
  }
  close(report);
  close(output);
  return r;
}

}  // namespace stress
