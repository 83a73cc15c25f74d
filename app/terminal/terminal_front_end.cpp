#include "app/terminal/terminal_front_end.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "app/terminal/conflict_screen.h"
#include "base/path.h"
#include "res/resource.h"
#include "res/strings.h"

namespace qlmr {
namespace {

std::string Utf8Text(int id) { return Cp936ToUtf8(LoadText(id)); }

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

struct TerminalFrontEnd::PendingCall {
  std::function<intptr_t()> call;
  intptr_t result = 0;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
};

TerminalFrontEnd::TerminalFrontEnd(TerminalScreen* screen, ConsoleInput* input,
                                   UpdateOptions options)
    : screen_(screen),
      input_(input),
      options_(std::move(options)),
      exitCaption_(TEXT_EXIT_BUTTON) {}

TerminalFrontEnd::~TerminalFrontEnd() = default;

int TerminalFrontEnd::Run() {
  StartInputThread();
  OnInit();
  while (!quit_) Dispatch(events_.Pop());
  return 0;
}

void TerminalFrontEnd::StartInputThread() {
  // The thread blocks in the console read for the rest of the process; the
  // program ends right after Run() returns, taking it along.
  std::thread([this] {
    std::string input;
    KeySplitter splitter;
    std::vector<std::string> keys;
    while (input_->Read(&input)) {
      keys.clear();
      if (input_->IsTerminal()) {
        splitter.Feed(input, &keys);  // one event per key, however they arrived
      } else {
        keys.push_back(input);
      }
      for (std::string& key : keys) events_.Push(Event{Event::Kind::kInput, key, nullptr});
    }
    events_.Push(Event{Event::Kind::kInputEnded, std::string(), nullptr});
  }).detach();
}

intptr_t TerminalFrontEnd::Send(std::function<intptr_t()> call) {
  auto pending = std::make_shared<PendingCall>();
  pending->call = std::move(call);
  events_.Push(Event{Event::Kind::kCall, std::string(), pending});
  std::unique_lock<std::mutex> lock(pending->mutex);
  pending->finished.wait(lock, [&] { return pending->done; });
  return pending->result;
}

void TerminalFrontEnd::Dispatch(const Event& event) {
  switch (event.kind) {
    case Event::Kind::kCall: {
      intptr_t result = event.call->call();
      std::lock_guard<std::mutex> lock(event.call->mutex);
      event.call->result = result;
      event.call->done = true;
      event.call->finished.notify_one();
      break;
    }
    case Event::Kind::kInput:
      HandleKey(ParseKey(event.input, input_->IsTerminal()));
      break;
    case Event::Kind::kInputEnded:
      OnInputEnded();
      break;
  }
}

bool TerminalFrontEnd::NextInput(std::string* input) {
  while (!inputEnded_) {
    Event event = events_.Pop();
    if (event.kind == Event::Kind::kInput) {
      *input = event.input;
      return true;
    }
    if (event.kind == Event::Kind::kInputEnded) {
      inputEnded_ = true;
    } else {
      Dispatch(event);
    }
  }
  return false;
}

void TerminalFrontEnd::HandleKey(Key key) {
  if (conflict_ != nullptr) {
    // The conflict screen is modal; the main dialog's buttons are disabled
    // while it is up.
    conflict_->PostKey(key);
    return;
  }
  if (key == Key::kEnter && state_ == State::kReady) {
    OnStart();
  } else if (key == Key::kQuit && state_ != State::kRunning) {
    OnExit();
  }
  // Escape, Ctrl+C and any other key do nothing, in every state.
}

void TerminalFrontEnd::OnInputEnded() {
  inputEnded_ = true;
  if (conflict_ != nullptr) conflict_->PostKey(Key::kEndOfInput);
  EnterState(state_);
}

void TerminalFrontEnd::EnterState(State state) {
  state_ = state;
  // Without input nobody can press a key any more: leave once the program
  // waits for the user alone, without starting anything.
  if (inputEnded_ && state_ != State::kInitialising && state_ != State::kRunning) quit_ = true;
}

void TerminalFrontEnd::ShowButtons() {
  bool start = state_ == State::kReady;
  bool exit = state_ != State::kRunning;
  screen_->SetButtons(start, exit, exitCaption_);
}

void TerminalFrontEnd::OnInit() {
  screen_->SetTitle(TEXT_MAIN_CAPTION);
  screen_->SetStatus(Utf8Text(IDS_READING_VERSION));
  screen_->SetProgress(0);
  ShowButtons();
  controller_.reset(new UpdateController(this, options_));
  if (!controller_->StartUpdateThread()) {
    screen_->SetStatus(Utf8Text(IDS_THREAD_FAILED));
    EnterFailedState();
  }
}

void TerminalFrontEnd::OnStart() {
  EnterState(State::kRunning);
  ShowButtons();
  controller_->Start();
}

void TerminalFrontEnd::OnExit() {
  if (launchPatcherOnExit_) LaunchPatcher();
  quit_ = true;
}

void TerminalFrontEnd::EnterFailedState() {
  EnterState(State::kFailed);
  ShowButtons();
  screen_->SetFailed();
}

void TerminalFrontEnd::OnProgress(int position) {
  if (position == progress_) return;
  progress_ = position;
  screen_->SetProgress(position);
}

void TerminalFrontEnd::OnUpdateSucceeded() {
  state_ = State::kSucceeded;
  exitCaption_ = Utf8Text(IDS_OK_CAPTION);
  ShowButtons();
  OnProgress(100);
  const std::string& to = controller_->state().patch.toVersionText;
  screen_->ShowMessageBox(Utf8Text(IDS_BOX_CAPTION),
                          Cp936ToUtf8(FormatText(IDS_UPDATED_TO, to.c_str())));
  std::string input;
  while (NextInput(&input) && ParseKey(input, input_->IsTerminal()) != Key::kEnter) {
  }
  screen_->HideMessageBox();
  launchPatcherOnExit_ = true;
  EnterState(State::kSucceeded);
}

void TerminalFrontEnd::LaunchPatcher() {
  // Whether it starts is not looked at: the patcher belongs to the game.
  const std::string& folder = controller_->state().installDir;
  std::string patcher = JoinPath(folder, kPatcherFileName);
  if (patcher.size() <= kMaxPath) StartDetachedProcess(patcher.c_str(), folder.c_str());
}

// --- Calls from the update thread ---------------------------------------------

void TerminalFrontEnd::SetStatusText(const std::string& text) {
  Send([&] {
    screen_->SetStatus(Cp936ToUtf8(text));
    return intptr_t{0};
  });
}

void TerminalFrontEnd::SetWindowTitle(const std::string& text) {
  Send([&] {
    screen_->SetTitle(Cp936ToUtf8(text));
    return intptr_t{0};
  });
}

void TerminalFrontEnd::EnableStartButton() {
  Send([&] {
    EnterState(State::kReady);
    ShowButtons();
    return intptr_t{0};
  });
}

intptr_t TerminalFrontEnd::SendUpdateMessage(uint32_t message, uintptr_t wParam) {
  return Send([&] {
    switch (message) {
      case WM_UPDATE_FAILED:
        EnterFailedState();
        break;
      case WM_UPDATE_PROGRESS:
        OnProgress(static_cast<int>(wParam));
        break;
      case WM_UPDATE_SUCCEEDED:
        OnUpdateSucceeded();
        break;
      default:
        break;
    }
    return intptr_t{0};
  });
}

bool TerminalFrontEnd::BrowseForFolder(const std::string& title, std::string* folder) {
  std::string answer;
  Send([&] {
    screen_->ShowPrompt(Cp936ToUtf8(title));
    answer = ReadPromptAnswer();
    screen_->HidePrompt();
    return intptr_t{0};
  });
  if (answer.empty()) return false;
  *folder = FullPathName(Utf8ToCp936(answer).c_str());
  return !folder->empty();
}

std::string TerminalFrontEnd::ReadPromptAnswer() {
  std::string input;
  if (!input_->IsTerminal()) return NextInput(&input) ? Trimmed(input) : std::string();
  std::string answer;
  while (NextInput(&input)) {  // one key each
    auto first = static_cast<unsigned char>(input[0]);
    if (first == '\r' || first == '\n') break;
    if (first == 0x7F || first == '\b') {
      while (!answer.empty() && IsContinuationByte(answer.back())) answer.pop_back();
      if (!answer.empty()) answer.pop_back();
    } else if ((first >= 0x20 && first < 0x7F) || (first >= 0xC0 && input.size() > 1)) {
      answer += input;  // a character
    }
    // Control keys, escape sequences (arrows, Escape) and stray bytes are not
    // text.
    screen_->SetPromptAnswer(answer);
  }
  return Trimmed(answer);
}

int TerminalFrontEnd::RunConflictDialog(const std::string& clientPath) {
  ConflictScreen conflict(this, clientPath);
  return conflict.RunModal();
}

}  // namespace qlmr
