#include "platform/ui/gtk/GtkAlertPresenter.h"

#include <vector>

#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"

namespace platform::ui {
namespace {

GtkWindow* gParentWindow = nullptr;

struct DialogState {
  std::shared_ptr<Alert> alert;
  std::vector<GtkWidget*> entries;
  bool answered = false;
};

// Runs `respond` unless the dialog was answered already. An action that throws is logged:
// nothing may unwind through GTK.
template <typename Respond>
void answerOnce(DialogState* state, Respond&& respond) {
  if (state->answered) return;
  state->answered = true;
  try {
    respond(*state->alert);
  } catch (const std::exception& e) {
    log(std::string("An alert action failed: ") + e.what());
  } catch (...) {
    log("An alert action failed");
  }
}

void onResponse(GtkDialog* dialog, gint response, gpointer data) {
  auto* state = static_cast<DialogState*>(data);
  std::vector<std::string> texts;
  for (GtkWidget* entry : state->entries) texts.emplace_back(gtk_entry_get_text(GTK_ENTRY(entry)));
  // A dialog dismissed without a button (Escape, its close button) runs the default action
  // with what was typed.
  size_t index = response >= 0 ? static_cast<size_t>(response) : AlertPresenter::defaultActionIndex(*state->alert);
  gtk_widget_hide(GTK_WIDGET(dialog));
  answerOnce(state, [&](const Alert& alert) { AlertPresenter::answer(alert, index, texts); });
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

void onDestroy(GtkWidget*, gpointer data) {
  auto* state = static_cast<DialogState*>(data);
  // The entries are gone by now; a dialog closed without a button answers with the texts
  // it was shown with.
  answerOnce(state, [](const Alert& alert) { AlertPresenter::answerWithDefault(alert); });
}

void freeState(gpointer data, GClosure*) { delete static_cast<DialogState*>(data); }

}  // namespace

void GtkAlertPresenter::install() {
  AlertPresenter::setPresenter([](const std::shared_ptr<Alert>& alert) {
    // GTK is touched on the main thread only, whoever presents.
    if (MainLoop::isMainThread())
      present(alert);
    else
      MainLoop::post([alert] { present(alert); });
  });
}

void GtkAlertPresenter::setParentWindow(GtkWindow* window) { gParentWindow = window; }

GtkWidget* GtkAlertPresenter::present(const std::shared_ptr<Alert>& alert) {
  if (!alert) return nullptr;
  GtkWidget* dialog = gtk_dialog_new();
  gtk_window_set_title(GTK_WINDOW(dialog), alert->title.c_str());
  // Kept above the window but not modal: a modal dialog grabs input, and GTK then drops the
  // window's close, so a page that answers each dialog with the next could never be closed.
  // The page itself waits for the answer anyway.
  if (gParentWindow) {
    gtk_window_set_transient_for(GTK_WINDOW(dialog), gParentWindow);
    gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
  }

  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  gtk_container_set_border_width(GTK_CONTAINER(content), 12);
  gtk_box_set_spacing(GTK_BOX(content), 8);
  if (!alert->title.empty()) {
    GtkWidget* title = gtk_label_new(nullptr);
    char* markup = g_markup_printf_escaped("<b>%s</b>", alert->title.c_str());
    gtk_label_set_markup(GTK_LABEL(title), markup);
    g_free(markup);
    gtk_box_pack_start(GTK_BOX(content), title, FALSE, FALSE, 0);
  }
  // Page text is shown as plain text, never as markup.
  GtkWidget* message = gtk_label_new(alert->message.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(message), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(message), 60);
  gtk_box_pack_start(GTK_BOX(content), message, FALSE, FALSE, 0);

  auto* state = new DialogState{alert, {}, false};
  for (const auto& field : alert->textFields) {
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), field.text.c_str());
    gtk_entry_set_placeholder_text(GTK_ENTRY(entry), field.placeholder.c_str());
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_box_pack_start(GTK_BOX(content), entry, FALSE, FALSE, 0);
    state->entries.push_back(entry);
  }
  for (size_t i = 0; i < alert->actions.size(); ++i)
    gtk_dialog_add_button(GTK_DIALOG(dialog), alert->actions[i].title.c_str(), static_cast<gint>(i));
  if (!alert->actions.empty()) gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);

  g_signal_connect(dialog, "response", G_CALLBACK(onResponse), state);
  g_signal_connect_data(dialog, "destroy", G_CALLBACK(onDestroy), state, freeState, GConnectFlags(0));
  gtk_widget_show_all(dialog);
  return dialog;
}

}  // namespace platform::ui
