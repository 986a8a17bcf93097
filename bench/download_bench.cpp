// The download agent against `curl -o` on the same 200 MB loopback download, side by side in one run.
//
// Both write to the same kind of target (a file in a temporary folder, removed after each round), the
// server is the same in-process loopback server for both, and the rounds alternate so that neither
// side gets a warmer cache. The agent must stream: its peak resident memory is reported before and
// after its downloads.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "net/http.h"
#include "platform/machine/machine_image.h"
#include "platform/text/text.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

using namespace Kestrilon;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kBodySize = 200ull * 1024 * 1024;
constexpr int kRounds = 3;

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One `curl -s -o file url`; the time it took, or a negative value when it failed.
double RunCurl(const std::string& url, const std::string& file) {
  std::vector<std::string> args = {"curl", "-s", "-o", file, url};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  double took = Seconds(Clock::now() - start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -1;
}

}  // namespace

int main() {
  Testing::TempDir image("kestrilon-bench-image");
  Testing::TempDir downloads("kestrilon-bench-download");
  std::string error;
  if (!Platform::MachineImage::Create(image.Path(), "win10-x64", true, &error)) {
    std::fprintf(stderr, "cannot create a machine image: %s\n", error.c_str());
    return 1;
  }
  Platform::MachineImage::UseDirectory(image.Path());

  Testing::HttpTestServer server;
  server.Route("/big.bin", [](const Testing::TestHttpRequest&, Testing::TestHttpResponse& response) {
    response.generatedLength = kBodySize;
    response.chunkSize = 256 * 1024;
  });
  if (!server.Start()) {
    std::fprintf(stderr, "cannot start the loopback server\n");
    return 1;
  }
  std::string url = server.Url("/big.bin");
  std::string file = (downloads / "big.bin").string();

  Network::CWinHttpAgent agent;
  long rssBefore = PeakRssKiB();
  std::vector<double> agentTimes, curlTimes;
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    Platform::HRESULT result = agent.DownloadToFile(Platform::ToUtf16(url), Platform::ToUtf16(file), nullptr);
    double took = Seconds(Clock::now() - start);
    if (result != Platform::S_OK || std::filesystem::file_size(file) != kBodySize) {
      std::fprintf(stderr, "agent download failed: 0x%08x\n", static_cast<unsigned>(result));
      return 1;
    }
    agentTimes.push_back(took);
    std::filesystem::remove(file);

    double curlTook = RunCurl(url, file);
    if (curlTook < 0 || std::filesystem::file_size(file) != kBodySize) {
      std::fprintf(stderr, "curl -o failed\n");
      return 1;
    }
    curlTimes.push_back(curlTook);
    std::filesystem::remove(file);
  }
  long rssAfter = PeakRssKiB();

  double agentBest = *std::min_element(agentTimes.begin(), agentTimes.end());
  double curlBest = *std::min_element(curlTimes.begin(), curlTimes.end());
  double megabytes = static_cast<double>(kBodySize) / (1024 * 1024);
  double ratio = curlBest / agentBest;  // throughput of the agent relative to curl
  std::printf("download of %.0f MB over loopback, best of %d rounds\n", megabytes, kRounds);
  std::printf("  agent      %8.1f MB/s\n", megabytes / agentBest);
  std::printf("  curl -o    %8.1f MB/s\n", megabytes / curlBest);
  std::printf("  ratio      %8.2f (agent throughput / curl throughput; aim >= 0.90)\n", ratio);
  std::printf("  peak RSS   %ld KiB before the downloads, %ld KiB after (growth %ld KiB)\n", rssBefore, rssAfter,
              rssAfter - rssBefore);
  return 0;
}
