// The XML reader against pugixml, parsing the same documents in one run: a configuration document of
// about 20 KB and a generated one of about 20 MB. Each is measured twice: the parse alone, and the parse
// followed by reading every element's attributes and text (what the configuration loader does).
// The end of the run prints, per case, our time divided by pugixml's (below 1 means faster).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <pugixml.hpp>
#include <string>

#include "ratio_reporter.h"
#include "config/xml_document.h"

namespace {

using Kestrilon::Config::XmlDocument;

void AppendEntry(std::string& out, int i) {
  out += "    <entry key=\"HKEY_CURRENT_USER\\Software\\Policies\\Bank\\Setting" + std::to_string(i) +
         "\" name=\"Value" + std::to_string(i) + "\" type=\"REG_DWORD\" data=\"" + std::to_string(i % 7) +
         "\" bit=\"64\" tip=\"检查 &amp; 修复第 " + std::to_string(i) + " 项\">说明 &lt;" + std::to_string(i) +
         "&gt;</entry>\n";
}

void AppendItem(std::string& out, int i) {
  out += "  <item name=\"网银安全控件" + std::to_string(i) + "\" type=\"1\" keyid=\"0x096E07" +
         std::to_string(10 + i % 90) + "\" flag=\"2\">\n"
         "    <detect dtype=\"1\" path=\"%ProgramFiles%\\Bank\\Control" + std::to_string(i) +
         ".dll\" version=\"3.1.0." + std::to_string(i) + "\"/>\n"
         "    <installer url=\"setup" + std::to_string(i) + ".exe\" md5=\"0123456789abcdef0123456789abcdef\""
         " param=\"/S\"><![CDATA[静默安装 <" + std::to_string(i) + ">]]></installer>\n"
         "    <uninstaller path=\"%ProgramFiles%\\Bank\\uninst.exe\" param=\"/S\"/>\n"
         "  </item>\n";
}

// A configuration document of at least `size` bytes.
std::string MakeDocument(size_t size) {
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<checkitems version=\"3\" base=\"https://bank.example/d/\">\n";
  int i = 0;
  while (out.size() < size) {
    out += "  <config type=\"registry\">\n";
    for (int k = 0; k < 8; ++k) AppendEntry(out, i * 8 + k);
    out += "  </config>\n  <!-- group " + std::to_string(i) + " -->\n";
    out += "  <data name=\"link" + std::to_string(i) + "\">https://bank.example/help?id=" + std::to_string(i) +
           "&amp;lang=zh</data>\n";
    AppendItem(out, i);
    ++i;
  }
  out += "</checkitems>\n";
  return out;
}

const std::string& SmallDocument() {
  static const std::string text = MakeDocument(20 * 1024);
  return text;
}
const std::string& LargeDocument() {
  static const std::string text = MakeDocument(20 * 1024 * 1024);
  return text;
}
const std::string& Document(int64_t which) { return which == 0 ? SmallDocument() : LargeDocument(); }

size_t WalkOurs(XmlDocument& doc) {
  size_t bytes = 0;
  size_t depth = 0;
  std::string name, value;
  for (;;) {
    if (doc.FindElement("")) {
      for (uint32_t i = 0; doc.GetAttributeAt(i, name, value); ++i) bytes += value.size();
      bytes += doc.GetText().size();
      doc.EnterElement();
      ++depth;
      continue;
    }
    if (depth == 0) return bytes;
    doc.LeaveElement();
    --depth;
  }
}

size_t WalkPugi(const pugi::xml_node& node) {
  size_t bytes = 0;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element) continue;
    for (pugi::xml_attribute a = child.first_attribute(); a; a = a.next_attribute()) bytes += std::strlen(a.value());
    bytes += std::strlen(child.child_value());
    bytes += WalkPugi(child);
  }
  return bytes;
}

void OursParse(benchmark::State& state) {
  const std::string& text = Document(state.range(0));
  for (auto _ : state) {
    XmlDocument doc;
    benchmark::DoNotOptimize(doc.Parse(text));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void PugiParse(benchmark::State& state) {
  const std::string& text = Document(state.range(0));
  for (auto _ : state) {
    pugi::xml_document doc;
    benchmark::DoNotOptimize(doc.load_buffer(text.data(), text.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void OursParseAndRead(benchmark::State& state) {
  const std::string& text = Document(state.range(0));
  for (auto _ : state) {
    XmlDocument doc;
    doc.Parse(text);
    benchmark::DoNotOptimize(WalkOurs(doc));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void PugiParseAndRead(benchmark::State& state) {
  const std::string& text = Document(state.range(0));
  for (auto _ : state) {
    pugi::xml_document doc;
    doc.load_buffer(text.data(), text.size());
    benchmark::DoNotOptimize(WalkPugi(doc));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(OursParse)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(PugiParse)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursParseAndRead)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(PugiParseAndRead)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);


}  // namespace

int main(int argc, char** argv) {
  std::printf("documents: %zu and %zu bytes\n", SmallDocument().size(), LargeDocument().size());
  benchmark::Initialize(&argc, argv);
  Kestrilon::Bench::RatioReporter reporter(Kestrilon::Bench::RatioReporter::Clock::Cpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nours / pugixml (CPU time; below 1 is faster):\n");
  for (const char* size : {"0", "1"}) {
    for (const auto& [ours, pugi] : {std::pair{"OursParse", "PugiParse"},
                                     std::pair{"OursParseAndRead", "PugiParseAndRead"}}) {
      const double ratio = reporter.Ratio(std::string(ours) + "/" + size, std::string(pugi) + "/" + size);
      if (ratio >= 0) std::printf("  %-17s %-6s %.2f\n", ours + 4, size[0] == '0' ? "20 KB" : "20 MB", ratio);
    }
  }
  benchmark::Shutdown();
  return 0;
}
