#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::ui {

enum class AlertActionStyle { Default, Cancel, Destructive };

struct AlertAction {
  std::string title;
  AlertActionStyle style = AlertActionStyle::Default;
  // Receives the texts of the alert's text fields.
  std::function<void(const std::vector<std::string>& fieldTexts)> handler;
};

struct AlertTextField {
  std::string text;
  std::string placeholder;
};

// A modal alert with a title, a message, buttons and optional text fields.
struct Alert {
  std::string title;
  std::string message;
  std::vector<AlertAction> actions;
  std::vector<AlertTextField> textFields;
};

// Shows alerts. The shell installs a GTK dialog presenter; tests install a scripted one that
// picks a button (and texts) for each alert it is shown. Without a presenter, the first
// cancel action (else the first action) answers at once.
class AlertPresenter {
 public:
  using Presenter = std::function<void(const std::shared_ptr<Alert>& alert)>;
  static void setPresenter(Presenter presenter);
  static void present(const std::shared_ptr<Alert>& alert);
  // Runs action `index` of `alert` with the given field texts.
  static void answer(const Alert& alert, size_t index, const std::vector<std::string>& fieldTexts = {});
  // The action an alert dismissed without a choice runs: the first cancel action, else the
  // first action.
  static size_t defaultActionIndex(const Alert& alert);
  // Runs the default action with the texts the fields were made with; nothing without actions.
  static void answerWithDefault(const Alert& alert);
};

}  // namespace platform::ui
