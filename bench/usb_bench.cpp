// Presence of one key on a tree of 64 devices behind two tiers of hubs: the walk of key detection
// against a find/cat shell walk reading the same descriptor files.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ratio_reporter.h"
#include "support/temp_dir.h"
#include "usbkey/usb_fixture.h"
#include "usbkey/usbkey.h"

namespace {

using namespace Kestrilon;

constexpr uint32_t kLastKey = 0x096E0040;  // the 64th device: the walk reads the whole tree

Testing::TempDir& Tree() {
  static Testing::TempDir dir("kestrilon-usb-bench");
  static bool built = [] {
    Testing::UsbFixtureTree tree(dir.Path());
    const auto root = tree.AddRootHub(1, "pci0000:00/0000:00:14.0");
    uint16_t product = 0;
    for (uint32_t a = 1; a <= 4; ++a) {
      const auto outer = tree.AddDevice(root, a, 0x05E3, 0x0610, 0x09);
      for (uint32_t b = 1; b <= 4; ++b) {
        const auto inner = tree.AddDevice(outer, b, 0x2109, 0x2812, 0x09);
        for (uint32_t c = 1; c <= 4; ++c) tree.AddDevice(inner, c, 0x096E, ++product);
      }
    }
    setenv("KESTRILON_SYSFS_ROOT", dir.Path().c_str(), 1);
    return true;
  }();
  (void)built;
  return dir;
}

void PresenceCheck(benchmark::State& state) {
  Tree();
  for (auto _ : state) {
    bool present = UsbKey::IsUsbDevicePresent(kLastKey);
    if (!present) state.SkipWithError("the key was not found");
    benchmark::DoNotOptimize(present);
  }
}

void FindCatWalk(benchmark::State& state) {
  const std::string command = "find '" + Tree().Path().string() +
                              "/devices' \\( -name idVendor -o -name idProduct \\) -exec cat {} + > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("the shell walk failed");
  }
}

BENCHMARK(PresenceCheck)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(FindCatWalk)->UseRealTime()->Unit(benchmark::kMicrosecond);


}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Kestrilon::Bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ratio = reporter.Ratio("PresenceCheck/real_time", "FindCatWalk/real_time");
  if (ratio >= 0) std::printf("\npresence check / find+cat walk (wall time; below 1 is faster): %.3f\n", ratio);
  benchmark::Shutdown();
  return 0;
}
