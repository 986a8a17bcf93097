// SysTray: the tray companion the assistant starts when it ends. Its menu starts the assistant again
// with one of the page's start-up words, or quits. The icon is a StatusNotifier item where an indicator
// host runs on the session bus, else a GtkStatusIcon.
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs/fs.h"
#include "platform/text/text.h"
#include "tools/systray/companion.h"
#include "ui/host/host.h"
#include "util/file_helpers.h"

namespace {

using namespace Kestrilon;

struct MenuEntry {
  const char* word;   // null: quit
  const char* label;
};
constexpr MenuEntry kMenu[] = {{"scan", "一键检测"}, {"ukey", "USB Key 证书"}, {"quicklink", "快速链接"},
                               {"help", "帮助"},     {nullptr, "退出"}};

Companion::Arguments g_arguments;
std::string g_folder;

void Start(const char* word) {
  if (word) Util::LaunchProcess(Companion::StartCommandLine(g_folder, g_arguments, word), false, false);
  // The assistant starts a new companion when it ends: this one is done either way.
  gtk_main_quit();
}

GtkWidget* BuildMenu() {
  GtkWidget* menu = gtk_menu_new();
  for (const MenuEntry& entry : kMenu) {
    GtkWidget* item = gtk_menu_item_new_with_label(entry.label);
    g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer word) { Start(static_cast<const char*>(word)); }),
                     const_cast<char*>(entry.word));
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  }
  gtk_widget_show_all(menu);
  return menu;
}

bool IndicatorHostRuns() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return false;
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "NameHasOwner",
                                                g_variant_new("(s)", "org.kde.StatusNotifierWatcher"),
                                                G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
  gboolean owned = FALSE;
  if (reply) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  g_object_unref(bus);
  return owned;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (!Companion::ParseArguments(args, g_arguments)) {
    std::fprintf(stderr, "usage: SysTray PROGRAM LAUNCH-TEXT-ID TITLE-ID ICON-ID TEXT-SET\n");
    return 2;
  }
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "SysTray: cannot open a display\n");
    return 2;
  }
  g_folder = Platform::ModuleFileName().parent_path().string();
  const std::string title = Platform::ToUtf8(UI::LoadStringResource(g_arguments.titleId));
  const std::string tip = Platform::ToUtf8(UI::LoadStringResource(g_arguments.launchTextId));
  GtkWidget* menu = BuildMenu();
  if (IndicatorHostRuns()) {
    AppIndicator* indicator = app_indicator_new("kestrilon-assistant", "security-high",
                                                APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    app_indicator_set_title(indicator, title.c_str());
    app_indicator_set_menu(indicator, GTK_MENU(menu));
    app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
  } else {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkStatusIcon* icon = gtk_status_icon_new_from_icon_name("security-high");
    gtk_status_icon_set_tooltip_text(icon, (title + (tip.empty() ? "" : "\n" + tip)).c_str());
    auto popup = +[](GtkStatusIcon* status, guint button, guint time, gpointer menu) {
      gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, gtk_status_icon_position_menu, status, button, time);
    };
    g_signal_connect(icon, "popup-menu", G_CALLBACK(popup), menu);
    g_signal_connect(icon, "activate", G_CALLBACK(+[](GtkStatusIcon*, gpointer) { Start("scan"); }), nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
  }
  gtk_main();
  return 0;
}
