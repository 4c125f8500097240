// libre's loop in a thread of its own, fed through libre's thread-safe message queue.
#include "linesvc/sip/re_thread.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <string_view>
#include <vector>

#include "linesvc/sip/re_include.h"

#define DEBUG_MODULE "telvane"
#define DEBUG_LEVEL 0
#include <re_dbg.h>

namespace telvane::linesvc {

struct ReThread::State {
  std::mutex mutex;
  std::condition_variable ready;
  bool started = false;
  std::string error;
  mqueue* queue = nullptr;
  std::map<const void*, std::function<void()>> closers;
  std::map<const void*, std::function<void(const std::string&)>> diagnostics;
  std::thread::id id;  // the libre thread's
};

namespace {

enum QueueId { kTask = 1, kStop = 2 };

// Only one libre thread at a time: a new one starts once the one before has ended.
std::mutex g_mutex;
std::condition_variable g_ended;
std::weak_ptr<ReThread> g_current;
bool g_running = false;

// The running libre thread's state, for libre's reports about itself.
std::mutex g_report_mutex;
ReThread::State* g_reporting = nullptr;

// One line of libre's about itself: to the listeners when it comes from the libre thread,
// else nowhere (no libre work is done on other threads).
void Report(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  if (text.empty()) return;
  std::lock_guard<std::mutex> lock(g_report_mutex);
  if (g_reporting == nullptr || g_reporting->id != std::this_thread::get_id()) return;
  const std::string line = "SIP library: " + std::string(text);
  for (auto& [key, listener] : g_reporting->diagnostics) listener(line);
}

// libre's debug messages (warnings and worse), without its terminal colours. The handler is
// the process's, set once.
void RouteDebugMessages() {
  static std::once_flag once;
  std::call_once(once, [] {
    dbg_init(DBG_WARNING, DBG_NONE);
    dbg_handler_set(
        [](int, const char* text, size_t length, void*) { Report(std::string_view(text, length)); },
        nullptr);
  });
}

}  // namespace

std::shared_ptr<ReThread> ReThread::Acquire(std::string* error) {
  std::unique_lock<std::mutex> lock(g_mutex);
  if (std::shared_ptr<ReThread> current = g_current.lock()) return current;
  g_ended.wait(lock, [] { return !g_running; });
  std::shared_ptr<ReThread> thread(new ReThread(), [](ReThread* t) {
    delete t;
    std::lock_guard<std::mutex> ended(g_mutex);
    g_running = false;
    g_ended.notify_all();
  });
  g_running = true;
  if (!thread->Start(error)) return nullptr;
  g_current = thread;
  return thread;
}

bool ReThread::Start(std::string* error) {
  state_ = std::make_unique<State>();
  thread_ = std::thread([this] { Run(); });
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->ready.wait(lock, [this] { return state_->started; });
  if (state_->queue != nullptr) return true;
  *error = state_->error;
  return false;
}

void ReThread::Run() {
  State& state = *state_;
  // Only the thread's own libre context: libre_init would also load all of OpenSSL's error
  // strings and providers up front (over 2 MB), which digest and TLS load by themselves when
  // a call first needs them.
  const int init = re_thread_init();
  RouteDebugMessages();
  {
    std::lock_guard<std::mutex> lock(g_report_mutex);
    state.id = std::this_thread::get_id();
    g_reporting = &state;
  }
  mqueue* queue = nullptr;
  const int queued = init == 0 ? mqueue_alloc(
                                     &queue,
                                     [](int id, void* data, void* arg) {
                                       auto* self = static_cast<ReThread*>(arg);
                                       std::unique_ptr<std::function<void()>> task(
                                           static_cast<std::function<void()>*>(data));
                                       if (id == kTask) {
                                         (*task)();
                                         return;
                                       }
                                       // Stop: shut what is still open, then leave the loop.
                                       auto closers = std::move(self->state_->closers);
                                       self->state_->closers.clear();
                                       for (auto& [key, closer] : closers) closer();
                                       re_cancel();
                                     },
                                     this)
                               : init;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.started = true;
    if (queued == 0) {
      state.queue = queue;
    } else {
      state.error = "the SIP library cannot start (error " + std::to_string(queued) + ")";
    }
  }
  state.ready.notify_all();
  if (queued == 0) re_main(nullptr);
  mem_deref(queue);
  if (init == 0) re_thread_close();
  std::lock_guard<std::mutex> lock(g_report_mutex);
  g_reporting = nullptr;
}

ReThread::~ReThread() {
  // Offloaded work posts to the loop: it ends first.
  std::list<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(workers_mutex_);
    workers.swap(workers_);
  }
  for (Worker& worker : workers) worker.thread.join();
  if (!thread_.joinable()) return;
  if (state_->queue != nullptr) {
    mqueue_push(state_->queue, kStop, new std::function<void()>());
  }
  thread_.join();
}

void ReThread::Post(std::function<void()> task) {
  auto* data = new std::function<void()>(std::move(task));
  if (mqueue_push(state_->queue, kTask, data) != 0) delete data;
}

void ReThread::Offload(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(workers_mutex_);
  // Threads whose work is done are joined here, so they do not pile up over many calls.
  workers_.remove_if([](Worker& worker) {
    if (!*worker.done) return false;
    worker.thread.join();
    return true;
  });
  auto done = std::make_shared<std::atomic<bool>>(false);
  workers_.push_back({std::thread([work = std::move(work), done] {
                        work();
                        *done = true;
                      }),
                      done});
}

void ReThread::AddCloser(const void* key, std::function<void()> closer) {
  state_->closers[key] = std::move(closer);
}

void ReThread::RemoveCloser(const void* key) { state_->closers.erase(key); }

void ReThread::AddDiagnosticsListener(const void* key,
                                      std::function<void(const std::string&)> listener) {
  std::lock_guard<std::mutex> lock(g_report_mutex);
  state_->diagnostics[key] = std::move(listener);
}

void ReThread::RemoveDiagnosticsListener(const void* key) {
  std::lock_guard<std::mutex> lock(g_report_mutex);
  state_->diagnostics.erase(key);
}

}  // namespace telvane::linesvc

// libre 1.1.0 writes a few reports straight to the console with re_fprintf, past its debug
// handler: "msg decode err" for every datagram on the SIP port that is not SIP, and
// "unhandeled request" for a request no listener took. libre calls re_fprintf through its
// procedure linkage table, so this definition, which the module (or a test program) links
// before libre, is the one those calls reach. What would go to the console becomes a report
// like the debug messages; other streams are written as libre would.
extern "C" __attribute__((visibility("default"))) int re_fprintf(FILE* stream, const char* fmt,
                                                                 ...) {
  va_list arguments;
  va_start(arguments, fmt);
  int err = 0;
  if (stream == stderr || stream == stdout) {
    char* text = nullptr;
    err = re_vsdprintf(&text, fmt, arguments);
    if (err == 0 && text != nullptr) telvane::linesvc::Report(text);
    mem_deref(text);
  } else {
    err = re_vfprintf(stream, fmt, arguments);
  }
  va_end(arguments);
  return err;
}
