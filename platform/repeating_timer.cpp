#include <algorithm>
#include <cassert>

#include "platform/message_loop.h"

namespace telvane::platform {

// Shared with the queued tick, which holds it weakly: once the timer is stopped or
// destroyed, a tick that is already queued finds nothing and does nothing. The running tick
// keeps the state alive until it returns, so Stop also marks it stopped: a callback that
// stops its timer and then pumps nested messages must not meet a stale tick that is alive.
struct RepeatingTimer::State {
  MessageLoop* loop;
  int64_t interval_ms;
  std::function<void()> callback;
  TaskId pending = 0;
  bool stopped = false;

  static void Schedule(const std::shared_ptr<State>& state) {
    std::weak_ptr<State> weak = state;
    state->pending = state->loop->PostDelayedTask(state->interval_ms, [weak] {
      std::shared_ptr<State> self = weak.lock();
      if (!self || self->stopped) return;
      Schedule(self);
      // self keeps the state and its callback alive even if the callback stops, restarts or
      // destroys its timer.
      self->callback();
    });
  }
};

RepeatingTimer::~RepeatingTimer() { Stop(); }

void RepeatingTimer::Start(int64_t interval_ms, std::function<void()> callback) {
  Stop();
  MessageLoop* loop = MessageLoop::Current();
  assert(loop != nullptr);
  // Like a window timer, never shorter than the clock's step: a zero interval would queue a
  // new tick at the same instant for ever, and virtual time would never move on.
  const int64_t interval = std::max<int64_t>(interval_ms, 1);
  state_ = std::make_shared<State>(State{loop, interval, std::move(callback)});
  State::Schedule(state_);
}

void RepeatingTimer::Stop() {
  if (!state_) return;
  state_->loop->CancelDelayedTask(state_->pending);
  state_->stopped = true;
  state_.reset();
}

}  // namespace telvane::platform
