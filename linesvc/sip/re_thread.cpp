// libre's loop in a thread of its own, fed through libre's thread-safe message queue.
#include "linesvc/sip/re_thread.h"

#include <condition_variable>
#include <map>
#include <vector>

#include "linesvc/sip/re_include.h"

namespace telvane::linesvc {

struct ReThread::State {
  std::mutex mutex;
  std::condition_variable ready;
  bool started = false;
  std::string error;
  mqueue* queue = nullptr;
  std::map<const void*, std::function<void()>> closers;
};

namespace {

enum QueueId { kTask = 1, kStop = 2 };

// Only one libre thread at a time: a new one starts once the one before has ended.
std::mutex g_mutex;
std::condition_variable g_ended;
std::weak_ptr<ReThread> g_current;
bool g_running = false;

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
}

ReThread::~ReThread() {
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

void ReThread::AddCloser(const void* key, std::function<void()> closer) {
  state_->closers[key] = std::move(closer);
}

void ReThread::RemoveCloser(const void* key) { state_->closers.erase(key); }

}  // namespace telvane::linesvc
