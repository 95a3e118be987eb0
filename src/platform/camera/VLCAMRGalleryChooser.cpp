#include <gtk/gtk.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/camera/VLCAMR.h"
#include "platform/camera/VLCAMREditorWindow.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/MainLoop.h"

using platform::photos::Asset;

namespace {

// One open chooser window: what it offers and, once the user has answered, what was picked.
struct Pick {
  std::set<std::string> offered;
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  std::set<std::string> picked;
};

void releasePick(gpointer data) { delete static_cast<std::shared_ptr<Pick>*>(data); }

gboolean isOffered(const GtkFileFilterInfo* info, gpointer data) {
  const auto& pick = *static_cast<std::shared_ptr<Pick>*>(data);
  return info->filename && pick->offered.count(platform::fs::normalizePath(info->filename)) > 0;
}

void answer(Pick& pick, std::set<std::string> picked) {
  {
    std::lock_guard lock(pick.mutex);
    if (pick.done) return;
    pick.picked = std::move(picked);
    pick.done = true;
  }
  pick.answered.notify_all();
}

// A window destroyed without an answer (closed, or the application terminating) chose nothing.
void onDestroy(GtkWidget*, gpointer data) { answer(**static_cast<std::shared_ptr<Pick>*>(data), {}); }

void onResponse(GtkDialog* dialog, int response, gpointer data) {
  const auto& pick = *static_cast<std::shared_ptr<Pick>*>(data);
  std::set<std::string> picked;
  if (response == GTK_RESPONSE_ACCEPT) {
    GSList* files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
    for (GSList* file = files; file; file = file->next) {
      picked.insert(platform::fs::normalizePath(static_cast<char*>(file->data)));
      g_free(file->data);
    }
    g_slist_free(files);
  }
  answer(*pick, std::move(picked));
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

// Opens the chooser over the library's folder, showing only the assets offered. Main thread.
void openChooser(const std::shared_ptr<Pick>& pick, bool multiple) {
  GtkWidget* dialog = gtk_file_chooser_dialog_new("Choose from the gallery", nullptr, GTK_FILE_CHOOSER_ACTION_OPEN,
                                                  "_Cancel", GTK_RESPONSE_CANCEL, "_Choose", GTK_RESPONSE_ACCEPT,
                                                  nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_local_only(chooser, TRUE);
  gtk_file_chooser_set_select_multiple(chooser, multiple);
  gtk_file_chooser_set_current_folder(chooser, platform::photos::PhotoLibrary::folder().c_str());
  GtkFileFilter* filter = gtk_file_filter_new();
  gtk_file_filter_add_custom(filter, GTK_FILE_FILTER_FILENAME, isOffered, new std::shared_ptr<Pick>(pick), releasePick);
  gtk_file_chooser_set_filter(chooser, filter);
  auto connect = [&](const char* signal, GCallback handler) {
    g_signal_connect_data(dialog, signal, handler, new std::shared_ptr<Pick>(pick),
                          [](gpointer data, GClosure*) { releasePick(data); }, GConnectFlags(0));
  };
  connect("response", G_CALLBACK(onResponse));
  connect("destroy", G_CALLBACK(onDestroy));
  VLCAMRShowAskingWindow(dialog);
}

}  // namespace

// Tests call the library on the main thread or configure a chooser of their own.
bool VLCAMRCanAskPerson() {
  if (const char* choice = std::getenv("VELTRO_CAMERA_CHOOSER"); choice && std::string_view(choice) == "list")
    return false;
  auto running = platform::MainLoop::callAndWait<bool>([] { return gtk_main_level() > 0; }, 2);
  return running && *running;
}

std::vector<size_t> VLCAMRFactory::defaultChoice(const std::vector<Asset>& offered, bool multiple) {
  std::vector<size_t> chosen;
  if (offered.empty()) return chosen;
  if (!VLCAMRCanAskPerson()) {
    for (size_t index = 0; index < (multiple ? offered.size() : 1); ++index) chosen.push_back(index);
    return chosen;
  }
  if (VLCAMRApplicationTerminating()) return chosen;
  auto pick = std::make_shared<Pick>();
  for (const auto& asset : offered) pick->offered.insert(platform::fs::normalizePath(asset.path));
  platform::MainLoop::post([pick, multiple] { openChooser(pick, multiple); });
  // The user takes the time they need; the window answers once, even when it is closed.
  std::unique_lock lock(pick->mutex);
  pick->answered.wait(lock, [&] { return pick->done; });
  for (size_t index = 0; index < offered.size(); ++index)
    if (pick->picked.count(platform::fs::normalizePath(offered[index].path))) chosen.push_back(index);
  return chosen;
}
