#include "platform/ui/Alert.h"

#include <mutex>

namespace platform::ui {
namespace {
std::mutex gPresenterMutex;
AlertPresenter::Presenter gPresenter;
}  // namespace

void AlertPresenter::setPresenter(Presenter presenter) {
  std::lock_guard<std::mutex> lock(gPresenterMutex);
  gPresenter = std::move(presenter);
}

void AlertPresenter::present(const std::shared_ptr<Alert>& alert) {
  Presenter presenter;
  {
    std::lock_guard<std::mutex> lock(gPresenterMutex);
    presenter = gPresenter;
  }
  if (presenter)
    presenter(alert);
  else
    answerWithDefault(*alert);
}

void AlertPresenter::answer(const Alert& alert, size_t index, const std::vector<std::string>& fieldTexts) {
  if (index >= alert.actions.size()) return;
  if (alert.actions[index].handler) alert.actions[index].handler(fieldTexts);
}

size_t AlertPresenter::defaultActionIndex(const Alert& alert) {
  for (size_t i = 0; i < alert.actions.size(); ++i)
    if (alert.actions[i].style == AlertActionStyle::Cancel) return i;
  return 0;
}

void AlertPresenter::answerWithDefault(const Alert& alert) {
  std::vector<std::string> texts;
  for (const auto& field : alert.textFields) texts.push_back(field.text);
  answer(alert, defaultActionIndex(alert), texts);
}

}  // namespace platform::ui
