#pragma once
// The script the host injects at document start into pages of its own resources.
namespace Kestrilon::UI {
// Defines window.external (callc, asyncallc, asyncalld, getCom) and window.__kestrilonHost, through
// which the host calls into the page; forwards the element events the host handles itself.
extern const char* const kBridgeScript;
// The name of the script message handler the bridge posts to.
inline constexpr const char* kBridgeMessageHandler = "kestrilon";
// The path (on the page's own origin) that callc's synchronous request goes to.
inline constexpr const char* kCallPath = "/__kestrilon/callc";
}  // namespace Kestrilon::UI
