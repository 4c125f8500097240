// The thread that runs libre's loop for every SIP call of the process.
//
// libre's loop (re_main) blocks and owns every libre object made on its thread; nothing else
// may touch them. So one thread of ours runs it, from the first SIP line that needs it to the
// last that lets it go, and everything else reaches it by posting a task:
//
//   std::shared_ptr<ReThread> re = ReThread::Acquire(&error);   // starts the thread if needed
//   re->Post([] { ... libre calls ... });                        // runs on the libre thread
//
// Reports the other way go to the application's MessageLoop (PostTask), never straight into
// the application. Objects that live on the libre thread and must be shut before it stops
// (a call still hanging up) register a closer; when the last user lets the thread go, the
// closers run and then the loop ends.
//
// libre reports on itself (a packet it cannot read, a request nobody takes, a failed
// handshake) on the console, where the program's user would read it as the program's own
// words. On this thread those reports go to the listeners registered here instead (each call
// puts them into its event log), and nowhere when none is registered.
//
// Work that blocks (the system's name lookups) must not stall the loop of every call: Offload
// runs it on a thread of its own, and the work posts its result back. The libre thread waits
// for such work before it stops.
//
// Threads: Acquire, Post, Offload and the destructor are thread-safe, but the last reference must
// not be dropped on the libre thread itself. AddCloser and RemoveCloser are libre thread only.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace telvane::linesvc {

class ReThread {
 public:
  // The process's libre thread, started if no one holds it; null with a reason in *error when
  // libre cannot start.
  static std::shared_ptr<ReThread> Acquire(std::string* error);

  ReThread(const ReThread&) = delete;
  ReThread& operator=(const ReThread&) = delete;

  // Thread-safe. Queues the task for the libre thread; tasks run in the order posted.
  void Post(std::function<void()> task);

  // Thread-safe. Runs `work` on a thread of its own; it may Post to this thread.
  void Offload(std::function<void()> work);

  // Libre thread only. Registers what to run when the thread stops with the object still
  // there; the key identifies it for RemoveCloser.
  void AddCloser(const void* key, std::function<void()> closer);
  void RemoveCloser(const void* key);

  // Libre thread only. Registers what hears libre's reports about itself, one line at a time,
  // while the object identified by `key` lives.
  void AddDiagnosticsListener(const void* key, std::function<void(const std::string&)> listener);
  void RemoveDiagnosticsListener(const void* key);

  struct State;  // the libre objects of the thread, in re_thread.cpp

 private:
  ReThread() = default;
  ~ReThread();
  bool Start(std::string* error);
  void Run();

  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  std::unique_ptr<State> state_;
  std::thread thread_;
  std::mutex workers_mutex_;
  std::list<Worker> workers_;  // under workers_mutex_
};

}  // namespace telvane::linesvc
