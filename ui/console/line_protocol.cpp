// The line protocol of the console window, spoken when its output is not a
// terminal: the elements' lines out, the commands in. The format is in the
// README ("The console front end"); scripts depend on it.
#include <algorithm>

#include "base/ascii_text.h"
#include "ui/console/console_window.h"

namespace ui {

using console::EscapeLine;

std::optional<std::string> ConsoleWindow::TakeLine() {
  std::size_t end = input_.find('\n');
  if (end == std::string::npos) {
    if (!inputEnded_ || input_.empty() || droppingLine_) return std::nullopt;
    end = input_.size();
  }
  std::string line = input_.substr(0, end);
  input_.erase(0, std::min(end + 1, input_.size()));
  return line;
}

void ConsoleWindow::HandleCommand(std::string_view line, const KeyFilter* keyFilter) {
  std::size_t blank = line.find_first_of(" \t");
  std::string_view word = line.substr(0, blank);
  std::string_view rest = blank == std::string_view::npos ? std::string_view() : base::TrimBlanks(line.substr(blank));

  static const std::pair<const char*, Key> kKeys[] = {
      {"enter", Key::kEnter}, {"esc", Key::kEscape}, {"tab", Key::kTab},
      {"left", Key::kLeft},   {"right", Key::kRight}, {"f1", Key::kF1},
  };
  std::optional<Key> key;
  for (const auto& [name, k] : kKeys) {
    if (word == name) key = k;
  }
  bool known = key || word == "main" || word == "close" || word == "help" || word == "link" || word == "ok" ||
               word == "cancel";
  if (!known) {
    Report("unknown command \"" + EscapeLine(line) + "\"");
    return;
  }
  if (!boxes_.empty()) {
    MessageBox& box = *boxes_.back();
    if (word == "ok" || key == Key::kEnter) {
      box.answer = Answer::kOk;
    } else if (word == "cancel" || key == Key::kEscape) {
      box.answer = Answer::kCancel;
    } else {
      Report("\"" + EscapeLine(line) + "\" ignored: a message box is open");
    }
    return;
  }
  if (word == "ok" || word == "cancel") {
    Report("\"" + EscapeLine(line) + "\" ignored: no message box is open");
    return;
  }
  if (!visible_) {
    Report("\"" + EscapeLine(line) + "\" ignored: the window is not shown");
    return;
  }
  if (key) {
    HandleKey(*key, keyFilter);
  } else if (word == "main") {
    PressButton(kMainButton);
  } else if (word == "help") {
    PressButton(kHelpButton);
  } else if (word == "close") {
    if (!closable_) {
      Report("\"close\" ignored: this window cannot be closed");
    } else {
      CommandTo(kCloseButton);
    }
  } else if (rest.empty()) {
    Report("\"link\" needs an address");
  } else {
    // Only a link the message area shows can be clicked, as on a screen.
    const std::vector<std::string>& links = MessageLinks();
    if (std::find(links.begin(), links.end(), rest) == links.end()) {
      Report("\"" + EscapeLine(line) + "\" ignored: no such link in the message area");
    } else if (sink_) {
      sink_->OnLinkClicked(rest);
    }
  }
}

void ConsoleWindow::WriteLine(std::string_view line) {
  out_ << line << '\n';
  out_.flush();
}

void ConsoleWindow::Publish(const std::string& key, bool visible, const std::string& value) {
  Written& w = written_[key];
  if (!visible) {
    if (w.visible != false) WriteLine(key + ": hidden");
    w.visible = false;
    w.value.reset();
    return;
  }
  if (w.visible == false) WriteLine(key + ": shown");
  w.visible = true;
  if (w.value != value) {
    WriteLine(key + ": " + value);
    w.value = value;
  }
}

void ConsoleWindow::PublishLines() {
  if (!visible_ || destroyed_) return;
  if (titlePublished_ != titleVersion_) {
    Publish("title", true, EscapeLine(title_));
    titlePublished_ = titleVersion_;
  }
  for (Control& c : controls_) {
    if (c.publishedVersion == c.version) continue;
    c.publishedVersion = c.version;
    switch (c.kind) {
      case ControlKind::kButton:
        Publish(std::string("button ") + c.name, c.visible,
                EscapeLine(c.text) + (c.enabled ? " (enabled)" : " (disabled)"));
        break;
      case ControlKind::kProgress:
        Publish(c.name, c.visible, std::to_string(progressPosition_) + "/" + std::to_string(progressMaximum_));
        break;
      case ControlKind::kLabel:
      case ControlKind::kMessage: Publish(c.name, c.visible, EscapeLine(c.text)); break;
    }
  }
  if (!tabOrder_.empty()) {
    const Control* focused = Find(focus_);
    Publish("focus", true, focused ? focused->name : "none");
  }
}

}  // namespace ui
