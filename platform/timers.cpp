#include "platform/timers.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace telvane::platform {

namespace {

MessageLoop& CurrentLoop() {
  MessageLoop* loop = MessageLoop::Current();
  assert(loop != nullptr && "scheduling needs a message loop on the thread");
  return *loop;
}

}  // namespace

TaskGroup::TaskGroup() : TaskGroup(CurrentLoop()) {}

TaskGroup::TaskGroup(MessageLoop& loop) : loop_(loop), state_(std::make_shared<State>()) {}

TaskGroup::~TaskGroup() {
  if (door_) {
    // Waits for a sender's post in progress: the group stays until it has been made.
    const std::lock_guard lock(door_->mu);
    door_->group = nullptr;
  }
  CancelAll();
}

void TaskGroup::Post(std::function<void()> task) { loop_.PostTask(Bind(std::move(task))); }

std::function<void()> TaskGroup::Bind(std::function<void()> task) {
  std::weak_ptr<State> weak;
  {
    std::lock_guard lock(mu_);
    weak = state_;
  }
  return [weak = std::move(weak), task = std::move(task)] {
    if (!weak.expired()) task();
  };
}

TaskId TaskGroup::PostDelayed(int64_t delay_ms, std::function<void()> task) {
  const TaskId id = ++state_->last_id;
  const TaskId loop_id = loop_.PostDelayedTask(
      delay_ms, [weak = std::weak_ptr<State>(state_), id, task = std::move(task)] {
        {
          // The state is not held while the task runs: a task that cancels its group and then
          // pumps nested messages must find the group's other tasks cancelled.
          const std::shared_ptr<State> state = weak.lock();
          if (!state) return;
          state->pending.erase(id);
        }
        task();
      });
  state_->pending.emplace(id, loop_id);
  return id;
}

bool TaskGroup::Cancel(TaskId id) {
  auto it = state_->pending.find(id);
  if (it == state_->pending.end()) return false;
  loop_.CancelDelayedTask(it->second);
  state_->pending.erase(it);
  return true;
}

void TaskGroup::CancelAll() {
  std::shared_ptr<State> old;
  {
    std::lock_guard lock(mu_);
    old = std::exchange(state_, std::make_shared<State>());
  }
  for (const auto& [id, loop_id] : old->pending) loop_.CancelDelayedTask(loop_id);
}

size_t TaskGroup::PendingCount() const { return state_->pending.size(); }

TaskGroup::Sender TaskGroup::MakeSender() {
  if (!door_) {
    door_ = std::make_shared<Sender::Door>();
    door_->group = this;
  }
  return Sender(door_);
}

void TaskGroup::Sender::Post(std::function<void()> task) const {
  const std::lock_guard lock(door_->mu);
  if (door_->group != nullptr) door_->group->Post(std::move(task));
}

void OneShotTimer::Start(int64_t delay_ms, std::function<void()> callback) {
  tasks_.CancelAll();
  running_ = true;
  tasks_.PostDelayed(delay_ms, [this, callback = std::move(callback)] {
    running_ = false;
    callback();
  });
}

void OneShotTimer::Stop() {
  tasks_.CancelAll();
  running_ = false;
}

void RepeatingTimer::Start(int64_t interval_ms, std::function<void()> callback) {
  Stop();
  // Like a window timer, never shorter than the clock's step: a zero interval would queue a
  // new tick at the same instant for ever, and virtual time would never move on.
  interval_ms_ = std::max<int64_t>(interval_ms, 1);
  callback_ = std::make_shared<std::function<void()>>(std::move(callback));
  running_ = true;
  ScheduleTick();
}

void RepeatingTimer::Stop() {
  tasks_.CancelAll();
  callback_.reset();
  running_ = false;
}

void RepeatingTimer::ScheduleTick() {
  tasks_.PostDelayed(interval_ms_, [this, callback = callback_] {
    ScheduleTick();
    (*callback)();
  });
}

}  // namespace telvane::platform
