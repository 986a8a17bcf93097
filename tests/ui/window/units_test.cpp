// The window folder's parts that need no display: page addresses, the asynchronous worker and the
// tray companion's command lines.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/systray/companion.h"
#include "ui/window.h"

namespace Kestrilon {
namespace {

TEST(NormalizeUrl, CutsTheFragmentFoldsAsciiAndMakesPathsFileUrls) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"res://kestrilon/200", u"res://kestrilon/200"},
      {u"RES://Kestrilon/200#Section", u"res://kestrilon/200"},
      {u"res://kestrilon/200#a#b", u"res://kestrilon/200#a"},  // cut at the last "#"
      {u"http://Bank.Example/ÄÖ", u"http://bank.example/ÄÖ"},   // only A-Z fold
      {u"about:blank", u"about:blank"},
      {u"C:\\Dir\\Page.htm", u"file:///c:/dir/page.htm"},
      {u"/tmp/a page.html#x", u"file:///tmp/a%20page.html"},
      {u"relative.html", u"relative.html"},  // no file URL for it: unchanged
  };
  for (const auto& [address, normalised] : cases) EXPECT_EQ(UI::NormalizeUrl(address), normalised);
}

TEST(NormalizeUrl, SamePageIgnoresATrailingSlashOnly) {
  EXPECT_TRUE(UI::SamePageAddress(u"http://bank.example/", u"http://bank.example"));
  EXPECT_TRUE(UI::SamePageAddress(u"res://kestrilon/200", u"res://kestrilon/200/"));
  EXPECT_FALSE(UI::SamePageAddress(u"res://kestrilon/200", u"res://kestrilon/201"));
  EXPECT_FALSE(UI::SamePageAddress(u"", u""));  // no page yet: nothing is the same page
}

// A unit that records when it runs and checks that no other queued unit runs meanwhile.
struct Probe {
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> done{0};
};

class ProbeUnit final : public Model::IThreadParameter {
 public:
  ProbeUnit(Probe& probe, int id, bool queued) : probe_(probe), id_(id), queued_(queued) {}
  void Run() override {
    if (queued_ && probe_.running.fetch_add(1) != 0) ++probe_.overlaps;
    {
      std::lock_guard lock(probe_.mutex);
      probe_.order.push_back(id_);
    }
    if (queued_) --probe_.running;
  }
  void Destroy() override {
    ++probe_.done;
    delete this;
  }
  bool Queued() const override { return queued_; }

 private:
  Probe& probe_;
  int id_;
  bool queued_;
};

TEST(AsyncWorker, QueuedUnitsRunOnceInOrderEvenWhileTheWorkerEnds) {
  // Posting in bursts with pauses makes units arrive while the worker is deciding to end.
  Probe probe;
  constexpr int kUnits = 2000;
  for (int i = 0; i < kUnits; ++i) {
    Model::PostAsyncWork(new ProbeUnit(probe, i, true));
    if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  for (int i = 0; i < 500 && probe.done < kUnits; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(probe.done, kUnits);
  EXPECT_EQ(probe.overlaps, 0);
  for (int i = 0; i < kUnits; ++i) ASSERT_EQ(probe.order[i], i);
}

TEST(AsyncWorker, UnitsOfTheirOwnThreadDoNotWaitForTheQueue) {
  Probe probe;
  std::atomic<bool> release{false};
  struct Blocking final : Model::IThreadParameter {
    std::atomic<bool>& release;
    explicit Blocking(std::atomic<bool>& r) : release(r) {}
    void Run() override { while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
    bool Queued() const override { return true; }
  };
  Model::PostAsyncWork(new Blocking(release));
  Model::PostAsyncWork(new ProbeUnit(probe, 1, false));
  for (int i = 0; i < 500 && probe.done < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(probe.done, 1);  // ran while the queued unit still blocks the worker
  release = true;
}

TEST(Companion, TakesTheArgumentsTheExitBuilds) {
  Companion::Arguments arguments;
  ASSERT_TRUE(Companion::ParseArguments({"SysTray", "kestrilon-assistant", "103", "102", "199", "0"}, arguments));
  EXPECT_EQ(arguments.program, "kestrilon-assistant");
  EXPECT_EQ(arguments.launchTextId, 103u);
  EXPECT_EQ(arguments.titleId, 102u);
  EXPECT_EQ(arguments.iconId, 199u);
  EXPECT_EQ(Companion::StartCommandLine("/opt/bank", arguments, "ukey"), u"\"/opt/bank/kestrilon-assistant\" ukey");
  const std::vector<std::vector<std::string>> wrong = {
      {"SysTray"},
      {"SysTray", "kestrilon-assistant", "103", "102", "199"},
      {"SysTray", "kestrilon-assistant", "103", "x", "199", "0"},
      {"SysTray", "../elsewhere/prog", "103", "102", "199", "0"},
  };
  for (const auto& argv : wrong) EXPECT_FALSE(Companion::ParseArguments(argv, arguments)) << argv.size();
}

}  // namespace
}  // namespace Kestrilon
