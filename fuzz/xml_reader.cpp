// The XML reader on arbitrary bytes: parse, then walk every element with the cursor and read it all,
// checking that every record stays inside the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/xml_document.h"

using Kestrilon::Config::XmlDocument;
using Kestrilon::Config::XmlElementInfo;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void ReadCurrent(const XmlDocument& doc, size_t textSize) {
  XmlElementInfo info;
  Check(doc.CurrentElement(info));
  Check(static_cast<size_t>(info.start) + info.length <= textSize);
  Check(info.startTagLength <= info.length);
  Check(info.endTagLength <= info.length - info.startTagLength);
  const std::string text = doc.GetText();
  Check(text.size() <= 4 * static_cast<size_t>(info.length));
  std::string name, value;
  for (uint32_t i = 0; i < 64 && doc.GetAttributeAt(i, name, value); ++i) Check(!name.empty());
  doc.GetAttribute("type");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  XmlDocument doc;
  doc.Parse(text);
  Check(doc.GetReport().size() < 2000);

  // Depth-first over the whole tree.
  size_t depth = 0;
  for (;;) {
    if (doc.FindElement("")) {
      ReadCurrent(doc, size);
      Check(doc.EnterElement());
      ++depth;
      continue;
    }
    if (depth == 0) break;
    Check(doc.LeaveElement());
    --depth;
  }
  Check(!doc.LeaveElement());

  // The loader's walk: named searches, the resumed scan and resets.
  doc.ResetSiblingScan();
  if (doc.FindElement(size > 0 ? text.substr(0, data[0] % 4) : std::string())) {
    doc.EnterElement();
    for (const char* name : {"config", "entry", "data", "item", "detect", "installer"}) {
      while (doc.FindElement(name)) ReadCurrent(doc, size);
      if (name[0] == 'd') doc.ResetSiblingScan();
    }
    doc.LeaveElement();
  }

  Kestrilon::Config::DecodeXmlText(text);
  return 0;
}
