#include "platform/core/handles.h"

#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<HandleValue, std::shared_ptr<HandleObject>> objects;
  HandleValue next = 0x100;
};

HandleTable& table() {
  static HandleTable& instance = *new HandleTable;
  return instance;
}

}  // namespace

HandleValue insert_handle(std::shared_ptr<HandleObject> object) {
  std::lock_guard lock(table().mutex);
  const HandleValue value = table().next;
  table().next += 4;
  table().objects.emplace(value, std::move(object));
  return value;
}

std::shared_ptr<HandleObject> lookup_handle(HandleValue value) {
  std::lock_guard lock(table().mutex);
  auto it = table().objects.find(value);
  return it == table().objects.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> remove_handle(HandleValue value, const std::function<bool(const HandleObject&)>& accept) {
  std::lock_guard lock(table().mutex);
  auto it = table().objects.find(value);
  if (it == table().objects.end() || !accept(*it->second)) return nullptr;
  auto object = std::move(it->second);
  table().objects.erase(it);
  return object;
}

std::vector<std::shared_ptr<HandleObject>> remove_handles(const std::function<bool(const HandleObject&)>& accept) {
  std::vector<std::shared_ptr<HandleObject>> removed;
  std::lock_guard lock(table().mutex);
  for (auto it = table().objects.begin(); it != table().objects.end();) {
    if (accept(*it->second)) {
      removed.push_back(std::move(it->second));
      it = table().objects.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

std::size_t handle_count() {
  std::lock_guard lock(table().mutex);
  return table().objects.size();
}

void drop_all_handles() {
  std::unordered_map<HandleValue, std::shared_ptr<HandleObject>> dropped;
  {
    std::lock_guard lock(table().mutex);
    dropped.swap(table().objects);
  }
  // Objects are released outside the lock: releasing one may take its family's lock.
}

}  // namespace platform
