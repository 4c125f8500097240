// Work scheduled on a message loop that belongs to an object: destroying the object (the
// timer or group as its member) cancels what it scheduled, so a task never runs on an
// object that is gone.
//
//   class Call {
//     platform::TaskGroup steps_{loop};          // everything the call scheduled
//     platform::OneShotTimer give_up_{loop};
//   };
//   steps_.PostDelayed(2000, [this] { Ring(); });  // cancelled with the call
//   give_up_.Start(30000, [this] { GiveUp(); });   // a restart replaces it; Stop cancels
//
// Each is bound when made to a loop (by default the calling thread's current loop, which
// must exist) and is used on that loop's thread; TaskGroup::Post and Bind alone may come from
// any thread while the group lives, and a TaskGroup::Sender from any thread at any time: a
// library's thread that may outlive the group reports through one.
//
//   TaskGroup::Sender reports = reports_.MakeSender();  // on the loop thread
//   reports.Post([this] { OnDone(); });  // on any thread, also once reports_ is gone: the
//                                        // task runs only while reports_ lives
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/message_loop.h"

namespace telvane::platform {

// Tasks posted to a loop on behalf of an owner. What the group posted runs only while the
// group lives and has not cancelled it: pending delayed tasks are taken off the loop, and
// tasks already queued do nothing when their turn comes.
class TaskGroup {
 public:
  TaskGroup();
  explicit TaskGroup(MessageLoop& loop);
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  MessageLoop& Loop() const { return loop_; }

  // Thread-safe while the group lives. Queues the task on the loop.
  void Post(std::function<void()> task);

  // Thread-safe while the group lives. The task as a callback that others run on the loop
  // thread (a sink's "played" report): it does what the task does only while the group lives
  // and has not cancelled it since, as a posted task would.
  std::function<void()> Bind(std::function<void()> task);

  // Loop thread only. Runs the task once delay_ms have passed on the loop's clock. Returns
  // this group's identifier of the task, for Cancel.
  TaskId PostDelayed(int64_t delay_ms, std::function<void()> task);

  // Loop thread only. Cancels one delayed task of the group that has not run; true if it
  // was pending.
  bool Cancel(TaskId id);

  // Loop thread only. Cancels everything the group posted so far, queued or pending.
  void CancelAll();

  // Loop thread only. Delayed tasks of the group that have not run yet.
  size_t PendingCount() const;

  // Posts into the group from threads that may outlive it: a post while the group lives is
  // the group's Post; one after the group is gone does nothing. Copyable; thread-safe.
  class Sender {
   public:
    void Post(std::function<void()> task) const;

   private:
    friend class TaskGroup;
    struct Door {
      std::mutex mu;
      TaskGroup* group = nullptr;  // under mu; null once the group is gone
    };
    explicit Sender(std::shared_ptr<Door> door) : door_(std::move(door)) {}
    std::shared_ptr<Door> door_;
  };
  // Loop thread only.
  Sender MakeSender();

 private:
  struct State {
    TaskId last_id = 0;
    // The group's identifiers of its delayed tasks that have not run, with the loop's.
    std::unordered_map<TaskId, TaskId> pending;
  };

  MessageLoop& loop_;
  // Guards which state Post hands out against CancelAll replacing it.
  mutable std::mutex mu_;
  // The tasks hold it weakly: a new state cancels every task made with the old one.
  std::shared_ptr<State> state_;
  // The senders' way in, closed when the group goes; made with the first sender.
  std::shared_ptr<Sender::Door> door_;
};

// Runs a callback once, after a delay, unless stopped or destroyed first.
class OneShotTimer {
 public:
  OneShotTimer() = default;
  explicit OneShotTimer(MessageLoop& loop) : tasks_(loop) {}

  // Loop thread only. (Re)starts the timer: a pending run is cancelled first.
  void Start(int64_t delay_ms, std::function<void()> callback);
  // Loop thread only. Cancels a pending run; nothing when none is pending.
  void Stop();
  // Whether a run is pending.
  bool IsRunning() const { return running_; }

 private:
  TaskGroup tasks_;
  bool running_ = false;
};

// Runs a callback every interval until stopped or destroyed; each run is queued like a
// message. The callback may stop, restart or destroy its own timer.
class RepeatingTimer {
 public:
  RepeatingTimer() = default;
  explicit RepeatingTimer(MessageLoop& loop) : tasks_(loop) {}

  // Loop thread only. (Re)starts the timer; a running one is stopped first. An interval
  // below 1 ms counts as 1 ms, so time still moves on between ticks.
  void Start(int64_t interval_ms, std::function<void()> callback);
  // Loop thread only. Stops the timer; a tick already queued does not run.
  void Stop();
  bool IsRunning() const { return running_; }

 private:
  void ScheduleTick();

  TaskGroup tasks_;
  int64_t interval_ms_ = 1;
  // Shared with the queued tick, so a callback that replaces or destroys its timer runs on.
  std::shared_ptr<std::function<void()>> callback_;
  bool running_ = false;
};

}  // namespace telvane::platform
