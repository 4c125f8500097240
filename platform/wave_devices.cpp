// The registry of line wave-output devices: a mutex-guarded map from device id to the
// factory that makes a sink for it. Line drivers register from their own threads while the
// application thread opens, so every access takes the lock; a factory runs outside it, so a
// slow or re-entrant factory cannot block the other users of the registry.
#include "platform/wave_devices.h"

#include <map>
#include <mutex>
#include <utility>

namespace telvane::platform {

namespace {

// The id the multimedia API reserves for "the default output" (WAVE_MAPPER).
constexpr uint32_t kReservedId = 0xFFFFFFFF;

struct Device {
  std::string name;
  WaveSinkFactory open;
};

struct Registry {
  std::mutex mu;
  std::map<uint32_t, Device> devices;
};

// Never destroyed: line drivers that live in other static objects unregister their devices
// while the process exits, in whatever order those objects go.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

bool RegisterWaveOutDevice(uint32_t id, const std::string& name, WaveSinkFactory open) {
  if (id == kReservedId || !open) return false;
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mu);
  return registry.devices.try_emplace(id, Device{name, std::move(open)}).second;
}

void UnregisterWaveOutDevice(uint32_t id) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mu);
  registry.devices.erase(id);
}

bool HasWaveOutDevice(uint32_t id) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mu);
  return registry.devices.count(id) != 0;
}

std::unique_ptr<WaveSink> OpenWaveOutDevice(uint32_t id) {
  WaveSinkFactory open;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mu);
    auto it = registry.devices.find(id);
    if (it == registry.devices.end()) return nullptr;
    open = it->second.open;
  }
  return open();
}

}  // namespace telvane::platform
